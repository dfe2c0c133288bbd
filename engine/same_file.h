// Whether two paths name one file: by letter case and short (8.3) form, and,
// under WOW64, through the redirected system folder as well.
#pragma once

// Whether path is a full path: "X:\..." or "\\server\...".
bool full_path(const char *path);

// Whether two paths name one file: equal but for letter case, or, both being
// full paths, with equal short (8.3) forms, as when one of them is written
// in the short form.
bool same_file(const char *a, const char *b);

// Whether two paths the program's own file calls reached name one file
// (same_file), also when under WOW64 one of them names it through the
// redirected system folder and the other in the 32-bit folder itself.
bool same_file_seen(const char *a, const char *b);
