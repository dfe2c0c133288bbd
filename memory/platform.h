// The platform tests: which Windows family, and which NT generation. Both
// ask the system at every call.
#pragma once
#include <cstdint>

// 4: the 9x family, 5: the NT family, 1: any other platform, 0: query failed.
int platform_family();

// 5: NT 4.0 and earlier, 6: NT 5.x, 0: otherwise (also NT 6 and later).
int nt_generation();
