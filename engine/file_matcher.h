// The binary signature matcher: one file tested against the signature table.
#pragma once

// Per-file scanner of scanner_list: returns nonzero to stop the list.
int file_matcher(const char *label, const char *path);
