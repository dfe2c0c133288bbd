// The registry repair run on every hit: the trojan's autorun values removed.
#pragma once

int autorun_cleanup(const char *detection_name);
