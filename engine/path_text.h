// Paths as text in the system's ANSI code page.
//
// In the double-byte code pages of Japanese, Chinese and Korean Windows the
// second byte of a character may be 0x5C (the backslash) or a capital
// letter. A path is therefore searched character by character, with
// IsDBCSLeadByte telling where a character takes two bytes, and only
// single-byte letters change case.
//
// This file also turns the NT forms of a path (\??\C:\..., \SystemRoot\...)
// into the ordinary form that the file calls accept.
#pragma once
#include <cstddef>

// The last backslash of path that is a character of its own; null when none.
const char *last_backslash(const char *path);

// The text after the last backslash of path, or path itself.
const char *file_name_part(const char *path);

// The first place where needle stands in text beginning at a character
// boundary of text; null when nowhere.
const char *find_text(const char *text, const char *needle);

// Whether text holds the single-byte character c as a character of its own.
bool has_character(const char *text, char c);

// Convert the single-byte letters A-Z (a-z) of text in place; the bytes of
// double-byte characters stay as they are. Both return text.
char *lower_text(char *text);
char *upper_text(char *text);

// Whether a and b are the same text, and whether text begins with prefix,
// single-byte letters compared without regard to case and the bytes of
// double-byte characters exactly (a case-blind byte comparison takes two
// characters that differ only in a second byte "A"/"a" for one).
bool same_text_nocase(const char *a, const char *b);
bool begins_with_nocase(const char *text, const char *prefix);

// Copies path into out (size bytes) with its NT form resolved: "\??\" and
// "\\?\" are dropped ("\??\UNC\" becomes "\\"), and "\SystemRoot\" becomes
// the Windows folder. Any other path is copied as it is. False when the
// result does not fit or the Windows folder cannot be had.
bool resolve_nt_path(const char *path, char *out, size_t size);
