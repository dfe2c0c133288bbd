// The trojan's uninstall entry and its own autorun value, removed after every
// successful deletion of an infected file. A detect-only scan reports each
// of the two found, once, after every file it reports found.
#pragma once

// 1 when both steps ran to their end without a failing registry call.
int uninstall_entry_cleanup();
