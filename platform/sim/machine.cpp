// The simulated machine itself: the one instance, its fault switch, and the
// small text and handle helpers that the os:: calls of every subsystem share
// (platform/sim/internal.h). The calls themselves live in one file per
// subsystem: files.cpp, registry.cpp, processes.cpp, process_status.cpp,
// token_perfdata.cpp, services.cpp, windows.cpp, system.cpp.

#include "platform/sim/machine.h"

#include <cctype>
#include <cstring>

#include "platform/host_text.h"
#include "platform/sim/internal.h"

namespace sim {

namespace {
std::unique_ptr<Machine> g_machine;
}  // namespace

char lower(char c) { return (char)std::tolower((unsigned char)c); }

// Splits at every sep that is a character of its own (never the second byte
// of a double-byte character).
std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (machine().lead_byte((unsigned char)c) && i + 1 < s.size()) {
            cur += c;
            cur += s[++i];
        } else if (c == sep) {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

// The position of the last backslash that is a character of its own.
size_t last_slash(const std::string &s) {
    size_t found = std::string::npos;
    for (size_t i = 0; i < s.size(); ++i) {
        if (machine().lead_byte((unsigned char)s[i]) && i + 1 < s.size()) ++i;
        else if (s[i] == '\\') found = i;
    }
    return found;
}

std::string folded(const std::string &s) {
    std::string out = s;
    for (size_t i = 0; i < out.size(); ++i)
        if (machine().lead_byte((unsigned char)out[i]) && i + 1 < out.size()) ++i;  // a second byte keeps its case
        else out[i] = lower(out[i]);
    return out;
}

bool iequals(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// "*.*" matches every name, and a trailing ".*" also matches a name without
// an extension, as on Windows.
bool wildcard_match(const std::string &pattern, const std::string &name) {
    return host_text::wildcard_match(pattern, name, [](unsigned char c) { return lower((char)c); });
}

Machine &machine() {
    if (!g_machine) g_machine.reset(new Machine());
    return *g_machine;
}

void reset() { g_machine.reset(new Machine()); }

Machine::Machine() {
    for (auto &r : reg_roots) r.reset(new RegKey());
}

bool Machine::lead_byte(unsigned char c) const {
    return ansi_code_page == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

bool Machine::should_fail(const char *call) {
    auto it = fail_calls.find(call);
    if (it == fail_calls.end() || it->second <= 0) return false;
    auto wait = fail_after.find(call);
    if (wait != fail_after.end() && wait->second > 0) {
        --wait->second;
        return false;
    }
    --it->second;
    return true;
}

std::string base_name(const std::string &image) {
    size_t slash = image.rfind('\\');
    std::string name = slash == std::string::npos ? image : image.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

void put32(std::string &d, size_t at, uint32_t v) {
    if (d.size() < at + 4) d.resize(at + 4, '\0');
    for (int i = 0; i < 4; ++i) d[at + i] = (char)(v >> (8 * i));
}

HANDLE new_handle(Machine &m, Machine::Handle h) {
    HANDLE handle = (HANDLE)(m.next_handle += 4);
    m.handles[handle] = h;
    ++m.open_handles;
    return handle;
}

UINT give_text(const std::string &text, LPSTR buffer, UINT size) {
    if (text.size() + 1 > size) return (UINT)text.size() + 1;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return (UINT)text.size();
}

std::string upper_text(std::string s) {
    for (char &c : s) c = (char)std::toupper((unsigned char)c);
    return s;
}

}  // namespace sim
