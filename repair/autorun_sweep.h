// The autorun sweep: every value of one autorun key whose command starts
// the infected file is deleted and reported.
#pragma once
#include "platform/os.h"

void autorun_sweep(HKEY root, const char *sub_key);
