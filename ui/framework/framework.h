// The dialog framework: one include for the windows of the program.
#pragma once
#include "ui/framework/app.h"
#include "ui/framework/controls.h"
#include "ui/framework/dialog.h"
#include "ui/framework/gdi.h"
#include "ui/framework/object.h"
#include "ui/framework/wnd.h"
