// Enabling one privilege in the program's own token.
#pragma once
#include "platform/os.h"

// Opens the token (TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY), enables the named
// privilege and closes the token. Returns 0 when the token could not be
// opened, else 1; *error receives GetLastError right after the adjustment
// (ERROR_NOT_ALL_ASSIGNED when the user does not hold the privilege).
int enable_privilege(const char *name, DWORD *error);
