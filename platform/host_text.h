// Text rules that both host backends of the seam (the simulated machine and
// the rescue backend) share: Windows' file-name wildcards and the C
// runtime's case-blind comparisons.
#pragma once
#include <cctype>
#include <cstring>
#include <string>

namespace host_text {

// Windows' wildcards: * any run, ? one character, letter case aside by the
// backend's own folding (fold maps a byte to its one case).
template <typename Fold>
bool glob(const char *p, const char *n, Fold fold) {
    for (;;) {
        if (*p == 0) return *n == 0;
        if (*p == '*') {
            while (*p == '*') ++p;
            if (*p == 0) return true;
            for (const char *t = n; *t; ++t)
                if (glob(p, t, fold)) return true;
            return glob(p, n + std::strlen(n), fold);
        }
        if (*n == 0) return false;
        if (*p != '?' && fold((unsigned char)*p) != fold((unsigned char)*n)) return false;
        ++p;
        ++n;
    }
}

// "*.*" matches every name, and a trailing ".*" also matches a name without
// an extension, as on Windows.
template <typename Fold>
bool wildcard_match(const std::string &pattern, const std::string &name, Fold fold) {
    if (glob(pattern.c_str(), name.c_str(), fold)) return true;
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0 &&
        name.find('.') == std::string::npos)
        return glob(pattern.substr(0, pattern.size() - 2).c_str(), name.c_str(), fold);
    return false;
}

// _stricmp and _strnicmp: bytes compared in the C locale's lower case.
inline int stricmp(const char *a, const char *b) {
    for (;; ++a, ++b) {
        int ca = std::tolower((unsigned char)*a), cb = std::tolower((unsigned char)*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
}

inline int strnicmp(const char *a, const char *b, size_t n) {
    for (; n; --n, ++a, ++b) {
        int ca = std::tolower((unsigned char)*a), cb = std::tolower((unsigned char)*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
    return 0;
}

}  // namespace host_text
