// Making one row of the signature table from samples: the checks, the
// choice of the two windows, the proof with the program's matcher and the
// row's text. See signature_maker.h.
#include "tools/signature_maker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "engine/byte_reader.h"
#include "engine/file_matcher.h"
#include "engine/pe_layout.h"
#include "engine/scan_state.h"
#include "engine/signature_table.h"
#include "platform/os.h"
#include "platform/sim/machine.h"
#include "tests/support/sample_maker.h"

namespace signature_maker {

namespace {

// A window is taken for padding unless it holds at least this many distinct
// byte values and no longer run of one value than max_run.
enum : int { min_distinct_values = 8, max_run = 4 };
// Section flags that mark code.
enum : uint32_t { section_code = 0x20, section_executable = 0x20000000 };

// A window is taken for text when at least this many of its 20 bytes are
// printable characters or zeros.
enum : int { max_text_bytes = 16 };

const char *const scanner_label = "W32/Quelby.Trojan ";
const size_t table_bytes = (size_t)(signature_count + 1) * record_size;

std::string name_of_row(const unsigned char *table, int i) {
    const char *r = (const char *)table + (size_t)i * record_size;
    return std::string(r, strnlen(r, record_name_size));
}

const unsigned char *row_at(const unsigned char *table, int i) { return table + (size_t)i * record_size; }

bool row_has_data(const unsigned char *table, int i) { return read_le32(row_at(table, i) + record_size_rule) != 0; }

// A row without patterns may still know its offsets and its file size.
bool row_knows_offsets(const unsigned char *table, int i) {
    return read_le32(row_at(table, i) + record_offset1) != 0 || read_le32(row_at(table, i) + record_offset2) != 0;
}
int32_t row_known_size(const unsigned char *table, int i) { return read_le32(row_at(table, i) + record_file_size); }

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Printable text (an import name, a message) or text padded with zeros:
// bytes that countless programs share, a poor pattern even when the clean
// set does not hold them. Code has far fewer such bytes.
bool looks_like_text(const std::string &w) {
    int texty = 0;
    for (unsigned char c : w)
        if ((c >= 0x20 && c < 0x7F) || c == 0 || c == '\t' || c == '\r' || c == '\n') ++texty;
    return texty >= max_text_bytes;
}

bool looks_like_padding(const std::string &w) {
    bool seen[256] = {};
    int distinct = 0, run = 1, longest = 1;
    for (size_t i = 0; i < w.size(); ++i) {
        unsigned char c = (unsigned char)w[i];
        if (!seen[c]) ++distinct;
        seen[c] = true;
        run = i > 0 && w[i] == w[i - 1] ? run + 1 : 1;
        longest = std::max(longest, run);
    }
    return distinct < min_distinct_values || longest > max_run;
}

// A file open on the simulated machine with the matcher's view of its
// headers kept, so several files can be mapped in turn with the program's
// own rva_to_file_offset.
struct mapped_file {
    std::string label;
    const std::string *data = nullptr;
    int fd = -1;
    pe_layout_t layout{};
    uint32_t entry = 0;

    // Where the program reads the window at this offset from the entry
    // point; false when those 20 bytes are not all inside the file.
    bool window_at(int64_t offset, uint32_t &at) const {
        pe_layout = layout;
        at = rva_to_file_offset(entry + (uint32_t)offset, fd);
        return (uint64_t)at + pattern_size <= data->size();
    }
    bool holds(int64_t offset, const std::string &pattern) const {
        uint32_t at;
        return window_at(offset, at) && data->compare(at, pattern_size, pattern) == 0;
    }
};

// Puts the file on the simulated machine and reads its headers as the
// matcher does; false when the matcher would take it for no PE file.
bool open_mapped(const std::string &sim_path, const std::string &label, const std::string &data, mapped_file &out) {
    sim::machine().add_file(sim_path, data);
    out.label = label;
    out.data = &data;
    out.fd = os::_open(sim_path.c_str(), _O_RDONLY | _O_BINARY);
    if (out.fd == -1) return false;
    if (!read_pe_layout(out.fd)) {
        os::_close(out.fd);
        out.fd = -1;
        return false;
    }
    out.layout = pe_layout;
    out.entry = (uint32_t)read_le32(pe_layout.optional_header + pe::address_of_entry_point);
    return true;
}

void close_all(std::vector<mapped_file> &files) {
    for (mapped_file &f : files)
        if (f.fd != -1) os::_close(f.fd);
    files.clear();
}

void fresh_machine() {
    sim::reset();
    std::memset(&scan_state, 0, sizeof scan_state);
    sim::machine().add_drive('C', DRIVE_FIXED);
}

struct section_span {
    uint32_t va, reach, raw;  // reach: bytes of the section that are in the file
    bool code;                // marked as code or executable
};

std::vector<section_span> sections_of(const mapped_file &f) {
    std::vector<section_span> out;
    uint16_t count = read_le16(f.layout.file_header + pe::number_of_sections);
    for (uint16_t i = 0; i < count; ++i) {
        const unsigned char *s = f.layout.sections + i * pe::section_header_size;
        uint32_t vsize = (uint32_t)read_le32(s + pe::section_virtual_size);
        uint32_t rsize = (uint32_t)read_le32(s + pe::section_size_of_raw_data);
        uint32_t flags = (uint32_t)read_le32(s + pe::section_characteristics);
        out.push_back({(uint32_t)read_le32(s + pe::section_virtual_address), std::min(vsize, rsize),
                       (uint32_t)read_le32(s + pe::section_pointer_to_raw_data),
                       (flags & (section_code | section_executable)) != 0});
    }
    return out;
}

// The section that holds the RVA as the program's mapping finds it: the
// first whose virtual range ends beyond it, when it also starts at or
// before it; -1 for none.
int section_holding(const std::vector<section_span> &sections, const mapped_file &f, uint32_t rva) {
    uint16_t count = (uint16_t)sections.size();
    for (uint16_t i = 0; i < count; ++i) {
        const unsigned char *s = f.layout.sections + i * pe::section_header_size;
        uint32_t end = (uint32_t)read_le32(s + pe::section_virtual_address) +
                       (uint32_t)read_le32(s + pe::section_virtual_size);
        if (end > rva) return sections[i].va <= rva ? i : -1;
    }
    return -1;
}

// Offsets from the entry point of every window inside the section's bytes
// in the file, appended to out.
void offsets_in(const section_span &s, uint32_t entry, std::vector<int64_t> &out) {
    if (s.reach < (uint32_t)pattern_size) return;
    for (uint32_t at = 0; at + pattern_size <= s.reach; ++at) {
        int64_t offset = (int64_t)s.va + at - (int64_t)entry;
        if (offset >= INT32_MIN && offset <= INT32_MAX) out.push_back(offset);
    }
}

// Nearest to the entry point first; before it ahead of after it.
void sort_outward(std::vector<int64_t> &offsets) {
    std::sort(offsets.begin(), offsets.end(), [](int64_t a, int64_t b) {
        int64_t da = a < 0 ? -a : a, db = b < 0 ? -b : b;
        return da != db ? da < db : a < b;
    });
}

// The samples, ready for the choice of windows; the first is the reference
// whose sections give the candidates.
struct window_search {
    std::vector<mapped_file> &samples;
    std::vector<section_span> sections;

    // Why the window at this offset, inside the section it was chosen in,
    // is no pattern: empty when it is one, and then its bytes in w.
    std::string problem(int64_t offset, const section_span &s, std::string &w) const {
        const mapped_file &ref = samples[0];
        uint32_t at;
        uint32_t rva = ref.entry + (uint32_t)offset;
        w.clear();
        if (!ref.window_at(offset, at) || at != rva - s.va + s.raw) return "it is not inside the file";
        std::string bytes = ref.data->substr(at, pattern_size);
        if (looks_like_padding(bytes)) return "it is padding";
        if (looks_like_text(bytes)) return "it is text";
        for (size_t k = 1; k < samples.size(); ++k)
            if (!samples[k].holds(offset, bytes)) return "its bytes differ between the samples";
        w = bytes;
        return std::string();
    }

    // The reference's bytes of a window that is identical in every sample,
    // read where the program reads it and inside the section it was chosen
    // in, and neither padding nor text; empty otherwise.
    std::string qualifying(int64_t offset, const section_span &s) const {
        std::string w;
        problem(offset, s, w);
        return w;
    }
};

struct candidate {
    int64_t offset;
    int section;
};

std::vector<candidate> tagged(const std::vector<int64_t> &offsets, const window_search &search,
                              const mapped_file &ref) {
    std::vector<candidate> out;
    out.reserve(offsets.size());
    for (int64_t o : offsets)
        out.push_back({o, section_holding(search.sections, ref, ref.entry + (uint32_t)o)});
    return out;
}

std::string record_of(const std::string &name, int32_t o1, const std::string &p1, int32_t o2, const std::string &p2,
                      int32_t size) {
    return sample::record(name.c_str(), o1, p1, o2, p2, size, 1);
}

// One file through the tested table on a fresh path; the detection name
// when found, else empty. found_at tells whether the file is still there.
std::string run_matcher(const std::string &table, const std::string &path, const std::string &data) {
    sim::machine().add_file(path, data);
    scan_state.detection_name[0] = 0;
    int hit = file_matcher_with_table((const unsigned char *)table.data(), scanner_label, path.c_str());
    std::string name = hit ? std::string(scan_state.detection_name) : std::string();
    if (hit && name.empty()) name = "?";
    return name;
}

std::string sim_path(const char *folder, size_t i) { return std::string("C:\\") + folder + "\\" + std::to_string(i); }

}  // namespace

std::string row_line(const std::string &name, int32_t offset1, const std::string &pattern1, int32_t offset2,
                     const std::string &pattern2, int32_t file_size) {
    std::ostringstream out;
    out << "    {\"" << name << "\", " << offset1 << ", \"" << hex(pattern1) << "\", " << offset2 << ", \""
        << hex(pattern2) << "\", " << file_size << ", 1},";
    return out.str();
}

int find_row(const unsigned char *table, const std::string &name, std::string &suggestion) {
    suggestion.clear();
    std::string wanted = lower(name);
    size_t best = std::string::npos;
    for (int i = 0; i < signature_count; ++i) {
        std::string row = lower(name_of_row(table, i));
        if (row == wanted) return i;
        size_t d = edit_distance(wanted, row);
        if (d < best) {
            best = d;
            suggestion = name_of_row(table, i);
        }
    }
    return -1;
}

std::string row_contents(const unsigned char *table, int row) {
    const unsigned char *r = row_at(table, row);
    std::string known;
    if (row_knows_offsets(table, row))
        known = "offsets " + std::to_string(read_le32(r + record_offset1)) + " and " +
                std::to_string(read_le32(r + record_offset2));
    if (row_known_size(table, row))
        known += (known.empty() ? "" : ", ") + std::string("file size ") + std::to_string(row_known_size(table, row));
    if (row_has_data(table, row)) return "patterns, " + known;
    if (!known.empty()) return "known " + known + ", no patterns";
    return "name only";
}

result make_row(const request &req) {
    result r;
    const unsigned char *const base = req.table ? req.table : signature_table;
    auto refuse = [&](const std::string &why) {
        r.ok = false;
        r.refusal = why;
        fresh_machine();
        return r;
    };

    // The name and its row.
    std::string suggestion;
    int row = find_row(base, req.name, suggestion);
    if (row < 0)
        return refuse("\"" + req.name + "\" is not the name of a row of the table; the nearest is \"" + suggestion +
                      "\" (make_signature --list prints every name)");
    const std::string name = name_of_row(base, row);
    if (name != req.name) r.notes.push_back("note: the table spells the name " + name);
    const std::string where = "row " + std::to_string(row + 1) + " (" + name + ")";
    const bool known_offsets = row_knows_offsets(base, row), has_data = row_has_data(base, row);
    const int32_t known_size = row_known_size(base, row);
    if (has_data && !req.replace) return refuse(where + " already has data; --replace makes it anew");
    if (req.replace && (has_data || known_offsets || known_size))
        r.notes.push_back("note: --replace: what " + where + " holds (" + row_contents(base, row) +
                          ") is not kept");
    const bool keep_offsets = known_offsets && !req.replace && !has_data;
    const bool keep_size = known_size != 0 && !req.replace && !has_data;
    r.row_index = row;

    // The samples: at least one, all of one size, each counted once.
    if (req.samples.empty()) return refuse("no sample given");
    std::vector<const named_data *> distinct;
    for (const named_data &s : req.samples) {
        const named_data *same = nullptr;
        for (const named_data *d : distinct)
            if (d->data == s.data) same = d;
        if (same)
            r.notes.push_back("note: " + s.label +
                              (s.label == same->label ? " is given twice" : " has the same bytes as " + same->label) +
                              "; counted once");
        else
            distinct.push_back(&s);
    }
    const size_t size = distinct[0]->data.size();
    for (const named_data *s : distinct)
        if (s->data.size() != size)
            return refuse("the samples differ in size (" + distinct[0]->label + ": " + std::to_string(size) +
                          " bytes, " + s->label + ": " + std::to_string(s->data.size()) +
                          " bytes); a row matches one exact size, so give the samples of one variant");
    if (size == 0 || size > (size_t)INT32_MAX) return refuse("the samples' size " + std::to_string(size) + " cannot be a row's");
    const int32_t file_size = (int32_t)size;
    if (keep_size && known_size != file_size)
        return refuse("the samples have " + std::to_string(file_size) + " bytes but " + where + " gives file size " +
                      std::to_string(known_size) + "; give samples of that size, or --replace to make the row anew");

    // The same samples in any order give the same row: the reference is the
    // first by content.
    std::vector<const named_data *> ordered = distinct;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const named_data *a, const named_data *b) { return a->data < b->data; });

    // The table as it is, without the row being made: no sample and no clean
    // file may be found by it.
    std::string original((const char *)base, table_bytes);
    original.replace((size_t)row * record_size, record_size, std::string(record_size, '\0'));
    std::memcpy(&original[(size_t)row * record_size], name.data(), name.size());
    auto row_of = [&](const std::string &found) {
        std::string dummy;
        return "row " + std::to_string(find_row(base, found, dummy) + 1);
    };
    fresh_machine();
    for (size_t i = 0; i < ordered.size(); ++i) {
        std::string found = run_matcher(original, sim_path("known", i), ordered[i]->data);
        if (!found.empty())
            return refuse("the sample " + ordered[i]->label + " is found as " + found + " (" + row_of(found) +
                          ") already; a row for it would never be reached");
    }

    // The clean set: only files of a length the tested table or the table as
    // it is accepts are read.
    std::string table((const char *)base, table_bytes);
    {
        std::string placeholder = record_of(name, 0, std::string(20, '\0'), 0, std::string(20, '\0'), file_size);
        table.replace((size_t)row * record_size, record_size, placeholder);
    }
    auto accepted = [&](int64_t n) {
        return table_accepts_size((const unsigned char *)table.data(), n) ||
               table_accepts_size((const unsigned char *)original.data(), n);
    };
    std::vector<named_data> clean;
    for (const clean_file &c : req.clean) {
        ++r.clean_examined;
        if (c.size > (uint64_t)INT64_MAX || !accepted((int64_t)c.size)) continue;
        named_data d{c.label, std::string()};
        if (!c.read || !c.read(d.data)) return refuse("cannot read " + c.label + " of the clean set");
        if (!accepted((int64_t)d.data.size())) continue;
        ++r.clean_read;
        clean.push_back(std::move(d));
    }
    {
        fresh_machine();
        std::vector<std::string> infected;
        for (size_t i = 0; i < clean.size(); ++i) {
            std::string found = run_matcher(original, sim_path("clean", i), clean[i].data);
            if (!found.empty()) infected.push_back(clean[i].label + " is found as " + found + " (" + row_of(found) + ")");
        }
        if (!infected.empty())
            return refuse("the clean set is not clean: " + infected[0] +
                          (infected.size() > 1 ? " and " + std::to_string(infected.size() - 1) + " more" : "") +
                          "; take the infected files out of the clean set");
    }

    fresh_machine();
    std::vector<mapped_file> samples(ordered.size());
    for (size_t i = 0; i < ordered.size(); ++i)
        if (!open_mapped(sim_path("samples", i), ordered[i]->label, ordered[i]->data, samples[i])) {
            close_all(samples);
            return refuse(ordered[i]->label + " is not a PE file whose headers the matcher reads");
        }

    std::vector<mapped_file> rivals;  // clean PE files of the samples' size
    for (size_t i = 0; i < clean.size(); ++i) {
        if (clean[i].data.size() != size) continue;
        mapped_file f;
        if (open_mapped(sim_path("rivals", i), clean[i].label, clean[i].data, f)) rivals.push_back(f);
    }
    if (rivals.empty()) {
        std::string why = "the clean set holds no PE file of the samples' size (" + std::to_string(file_size) +
                          " bytes), so it cannot show that the windows are rare";
        if (!req.accept_no_same_size) {
            close_all(samples);
            return refuse(why + "; add programs of that size to it, or give --accept-no-same-size");
        }
        r.notes.push_back("warning: " + why + " (accepted: --accept-no-same-size)");
    }

    // The candidates: in the section of the entry point, and in the others,
    // code before data.
    window_search search{samples, sections_of(samples[0])};
    const mapped_file &ref = samples[0];
    int entry_section = section_holding(search.sections, ref, ref.entry);
    if (entry_section < 0) {
        close_all(samples);
        close_all(rivals);
        return refuse("the entry point of " + ref.label + " lies in no section");
    }
    std::vector<int64_t> in_code, other_code, in_data;
    offsets_in(search.sections[entry_section], ref.entry, in_code);
    for (size_t i = 0; i < search.sections.size(); ++i)
        if ((int)i != entry_section) offsets_in(search.sections[i], ref.entry, search.sections[i].code ? other_code : in_data);
    sort_outward(in_code);
    sort_outward(other_code);
    sort_outward(in_data);
    std::vector<candidate> firsts = tagged(in_code, search, ref);
    // The second window: another code section first, then the entry's
    // section, and a data section only when no code holds one.
    std::vector<candidate> seconds = tagged(other_code, search, ref);
    seconds.insert(seconds.end(), firsts.begin(), firsts.end());
    std::vector<candidate> data_seconds = tagged(in_data, search, ref);
    seconds.insert(seconds.end(), data_seconds.begin(), data_seconds.end());
    if (keep_offsets) {
        // The row's known offsets are the windows, or there is no row.
        const unsigned char *known = row_at(base, row);
        firsts = tagged({read_le32(known + record_offset1)}, search, ref);
        seconds = tagged({read_le32(known + record_offset2)}, search, ref);
        for (const candidate *c : {&firsts[0], &seconds[0]}) {
            std::string w, why = c->section < 0 ? "it lies in no section"
                                                : search.problem(c->offset, search.sections[c->section], w);
            if (!why.empty()) {
                close_all(samples);
                close_all(rivals);
                return refuse("the known offset " + std::to_string(c->offset) + " of " + where +
                              " gives no pattern in these samples: " + why + "; --replace makes the row anew");
            }
        }
    }

    // Second windows are tested lazily, each once: whether it qualifies, its
    // bytes, where the reference holds it and which clean files hold it.
    struct second_facts {
        bool tested = false, qualifies = false;
        std::string bytes;
        uint32_t at = 0;
        std::vector<size_t> holders;
    };
    std::vector<second_facts> facts(seconds.size());
    auto second_of = [&](size_t j) -> const second_facts & {
        second_facts &f = facts[j];
        if (f.tested) return f;
        f.tested = true;
        const candidate &c = seconds[j];
        if (c.section >= 0) f.bytes = search.qualifying(c.offset, search.sections[c.section]);
        f.qualifies = !f.bytes.empty();
        if (f.qualifies) {
            ref.window_at(c.offset, f.at);
            for (size_t k = 0; k < rivals.size(); ++k)
                if (rivals[k].holds(c.offset, f.bytes)) f.holders.push_back(k);
        }
        return f;
    };

    bool found = false, any_first = false;
    candidate first{}, second{};
    std::string pattern1, pattern2;
    std::string blocking_label;
    // Whether the second window j may go with a first window at offset a
    // whose bytes the clean files `holders` hold: no overlap, and none of
    // them holds the second too.
    auto pairs_with = [&](const candidate &a, uint32_t at_a, const std::vector<size_t> &holders, size_t j,
                          bool &overlaps) {
        overlaps = false;
        const second_facts &b = second_of(j);
        if (!b.qualifies) return false;
        int64_t gap = seconds[j].offset - a.offset, file_gap = (int64_t)b.at - at_a;
        if ((gap > -pattern_size && gap < pattern_size) || (file_gap > -pattern_size && file_gap < pattern_size)) {
            overlaps = true;
            return false;
        }
        for (size_t k : b.holders)
            if (std::binary_search(holders.begin(), holders.end(), k)) {
                blocking_label = rivals[k].label;
                return false;
            }
        return true;
    };
    // A first window that found no second: the clean files that held it, and
    // the second windows it lost only to overlap. A later first window held
    // by those files (and maybe more) fails too, unless one of those seconds
    // pairs with it.
    struct dead_end {
        std::vector<size_t> holders;
        std::vector<size_t> lost_to_overlap;
    };
    std::vector<dead_end> dead_ends;
    for (const candidate &a : firsts) {
        if (a.section < 0) continue;
        std::string wa = search.qualifying(a.offset, search.sections[a.section]);
        if (wa.empty()) continue;
        any_first = true;
        std::vector<size_t> holders;
        for (size_t k = 0; k < rivals.size(); ++k)
            if (rivals[k].holds(a.offset, wa)) holders.push_back(k);
        uint32_t at_a;
        ref.window_at(a.offset, at_a);
        bool overlaps;
        size_t chosen = seconds.size();
        bool known_dead = false;
        for (const dead_end &d : dead_ends) {
            if (!std::includes(holders.begin(), holders.end(), d.holders.begin(), d.holders.end())) continue;
            known_dead = true;
            for (size_t j : d.lost_to_overlap)
                if (chosen == seconds.size() && pairs_with(a, at_a, holders, j, overlaps)) chosen = j;
            break;
        }
        if (known_dead && chosen == seconds.size()) {
            ++r.window_pairs_refused;
            continue;
        }
        dead_end here{holders, {}};
        for (size_t j = 0; j < seconds.size() && chosen == seconds.size(); ++j) {
            if (pairs_with(a, at_a, holders, j, overlaps))
                chosen = j;
            else if (overlaps)
                here.lost_to_overlap.push_back(j);
        }
        if (chosen == seconds.size()) {
            ++r.window_pairs_refused;
            dead_ends.push_back(std::move(here));
            continue;
        }
        found = true;
        first = a;
        second = seconds[chosen];
        pattern1 = wa;
        pattern2 = facts[chosen].bytes;
        break;
    }
    close_all(samples);
    close_all(rivals);
    if (!found) {
        if (!any_first)
            return refuse("no 20-byte window in the entry point's section is identical in every sample and not padding");
        return refuse("every pair of windows that is identical in every sample also occurs in the clean set (" +
                      (blocking_label.empty() ? std::string("no second window found") : blocking_label) + ")");
    }

    r.offset1 = (int32_t)first.offset;
    r.offset2 = (int32_t)second.offset;
    r.second_in_other_section = second.section != first.section;
    r.record = record_of(name, r.offset1, pattern1, r.offset2, pattern2, file_size);
    r.line = row_line(name, r.offset1, pattern1, r.offset2, pattern2, file_size);
    table.replace((size_t)r.row_index * record_size, record_size, r.record);

    // The proof: the tested table through the program's matcher. A hit is
    // never disposed of (disposition_choice 0) and the machine is simulated.
    fresh_machine();
    std::vector<std::string> failures;
    for (size_t i = 0; i < ordered.size(); ++i) {
        std::string found = run_matcher(table, sim_path("samples", i), ordered[i]->data);
        if (found == name)
            ++r.samples_found;
        else
            failures.push_back(ordered[i]->label + (found.empty() ? " is not found" : " is found as " + found));
    }
    for (size_t i = 0; i < clean.size(); ++i) {
        std::string found = run_matcher(table, sim_path("clean", i), clean[i].data);
        if (!found.empty()) {
            ++r.clean_found;
            failures.push_back("clean file " + clean[i].label + " is found as " + found);
        }
    }
    std::vector<named_data> misses;
    const unsigned char *rec = (const unsigned char *)r.record.data();
    std::string made = sample::make(rec);
    if (made.empty()) {
        r.notes.push_back("note: the sample maker cannot lay this row out in its one-section file; "
                          "near misses are made from the first sample only");
    } else {
        if (run_matcher(table, sim_path("made", 0), made) != name) failures.push_back("the sample maker's sample for the row is not found");
        misses.push_back({"the sample maker's one byte longer", sample::one_byte_longer(rec)});
        misses.push_back({"the sample maker's first pattern byte changed", sample::pattern_byte_wrong(rec, 1)});
        misses.push_back({"the sample maker's second pattern byte changed", sample::pattern_byte_wrong(rec, 2)});
    }
    {
        const std::string &s = ordered[0]->data;
        misses.push_back({"the first sample one byte longer", s + '\x01'});
        misses.push_back({"the first sample one byte shorter", s.substr(0, s.size() - 1)});
        fresh_machine();
        mapped_file f;
        if (open_mapped(sim_path("samples", 0), ordered[0]->label, s, f)) {
            for (int64_t offset : {first.offset, second.offset}) {
                uint32_t at;
                f.window_at(offset, at);
                std::string changed = s;
                changed[at + pattern_size - 1] = (char)(changed[at + pattern_size - 1] ^ 0x01);
                misses.push_back({"the first sample with a pattern byte changed", changed});
            }
            os::_close(f.fd);
        }
    }
    fresh_machine();
    for (size_t i = 0; i < misses.size(); ++i) {
        ++r.near_misses_tested;
        std::string found = run_matcher(table, sim_path("near", i), misses[i].data);
        if (!found.empty()) {
            ++r.near_misses_found;
            failures.push_back(misses[i].label + " is found as " + found);
        }
    }
    fresh_machine();

    const section_span &second_span = search.sections[second.section];
    r.notes.push_back("row " + std::to_string(r.row_index + 1) + " of 117, " + name + ": windows at " +
                      std::to_string(r.offset1) + " (the entry point's section) and " + std::to_string(r.offset2) +
                      (keep_offsets                    ? " (the row's known offsets)"
                       : !r.second_in_other_section    ? " (the same section: no other code section has one)"
                       : second_span.code              ? " (another code section)"
                                                       : " (a data section: no code section has one)"));
    r.notes.push_back("samples: " + std::to_string(r.samples_found) + " of " + std::to_string(ordered.size()) +
                      " found under this name");
    r.notes.push_back("clean set: " + std::to_string(r.clean_examined) + " files examined, " +
                      std::to_string(r.clean_read) + " of a size the table accepts, " +
                      std::to_string(r.clean_found) + " found");
    r.notes.push_back("near misses: " + std::to_string(r.near_misses_tested) + " tested, " +
                      std::to_string(r.near_misses_found) + " found");
    if (r.window_pairs_refused)
        r.notes.push_back("first windows passed over because the clean set holds them with every second window: " +
                          std::to_string(r.window_pairs_refused));
    if (!failures.empty()) {
        std::string why = "the row fails its proof: " + failures[0];
        for (size_t i = 1; i < failures.size() && i < 4; ++i) why += "; " + failures[i];
        if (failures.size() > 4) why += "; and " + std::to_string(failures.size() - 4) + " more";
        r.line.clear();
        r.record.clear();
        r.refusal = why;
        return r;
    }
    r.ok = true;
    return r;
}

std::vector<clean_file> clean_files_under(const std::vector<std::string> &folders, std::string &error) {
    namespace fs = std::filesystem;
    std::vector<clean_file> out;
    for (const std::string &folder : folders) {
        std::error_code ec;
        fs::file_status st = fs::status(folder, ec);
        if (!fs::is_directory(st)) {
            error = "the clean folder " + folder + (fs::exists(st) ? " is not a folder" : " does not exist");
            return {};
        }
        fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            std::error_code e;
            if (!it->is_regular_file(e)) continue;
            uint64_t size = it->file_size(e);
            if (e) continue;
            std::string path = it->path().string();
            out.push_back({path, size, [path](std::string &data) { return read_real_file(path, data); }});
        }
        if (ec) {
            error = "cannot walk the clean folder " + folder + ": " + ec.message();
            return {};
        }
    }
    std::sort(out.begin(), out.end(), [](const clean_file &a, const clean_file &b) { return a.label < b.label; });
    return out;
}

bool read_real_file(const std::string &path, std::string &data) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad() || !bytes) return false;
    data = bytes.str();
    return true;
}

namespace {

const char usage_text[] =
    "usage: make_signature --name NAME --clean DIR [--clean DIR ...] [options] SAMPLE [SAMPLE ...]\n"
    "       make_signature --list | --help\n"
    "\n"
    "Makes the row of one variant for engine/signature_table.cpp from its samples, proves it\n"
    "with the program's matcher and prints it, ready to paste, as the only text on standard\n"
    "output. The report goes to standard error. Files are only read.\n"
    "\n"
    "  --name NAME     the row to make: one of the table's 117 names, in any letter case\n"
    "  --clean DIR     a folder of innocent programs (every file below it); at least one,\n"
    "                  and it must hold a PE file of the samples' size\n"
    "  --replace       make a row that already has data, or known offsets or a file size,\n"
    "                  anew instead of refusing (what it holds is not kept)\n"
    "  --accept-no-same-size\n"
    "                  accept a clean set without a PE file of the samples' size, which\n"
    "                  cannot show that the windows are rare (a warning is printed)\n"
    "  --list          print every row's number, name and what it holds, and exit\n"
    "  --help          print this text and exit\n"
    "  SAMPLE          a sample file of the variant; all of one size; the same bytes given\n"
    "                  twice count once\n"
    "\n"
    "Exit status: 0 with a row (or after --list or --help), 1 when anything is refused:\n"
    "a usage error, a file that cannot be read, input that cannot make a row, or a row\n"
    "that fails its proof. Every refusal is one line on standard error.\n";

}  // namespace

int run_command(const std::vector<std::string> &args, std::string &out, std::string &err) {
    auto refuse = [&](const std::string &why) {
        err += "make_signature: refused: " + why + "\n";
        return 1;
    };
    request req;
    std::vector<std::string> folders, sample_paths;
    bool list = false, name_given = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--help" || arg == "-h") {
            out += usage_text;
            return 0;
        } else if (arg == "--name" || arg == "--clean") {
            if (i + 1 >= args.size()) return refuse(arg + " needs a value (make_signature --help)");
            if (arg == "--name") {
                req.name = args[++i];
                name_given = true;
            } else {
                folders.push_back(args[++i]);
            }
        } else if (arg == "--replace") {
            req.replace = true;
        } else if (arg == "--accept-no-same-size") {
            req.accept_no_same_size = true;
        } else if (arg == "--list") {
            list = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return refuse("unknown option " + arg + " (make_signature --help lists the options)");
        } else {
            sample_paths.push_back(arg);
        }
    }
    if (list) {
        int filled = 0, known = 0;
        for (int i = 0; i < signature_count; ++i) {
            char number[8];
            std::snprintf(number, sizeof number, "%3d", i + 1);
            std::string name = name_of_row(signature_table, i);
            out += std::string(number) + "  " + name + std::string(name.size() < 34 ? 34 - name.size() : 1, ' ') +
                   row_contents(signature_table, i) + "\n";
            if (row_has_data(signature_table, i))
                ++filled;
            else if (row_knows_offsets(signature_table, i) || row_known_size(signature_table, i))
                ++known;
        }
        out += std::to_string(filled) + " of " + std::to_string(signature_count) + " rows hold patterns; " +
               std::to_string(known) + (known == 1 ? " holds" : " hold") + " known values without patterns\n";
        return 0;
    }
    if (!name_given || req.name.empty()) return refuse("no --name given (make_signature --list prints the names)");
    if (folders.empty()) return refuse("no --clean folder given; the row cannot be proved without a clean set");
    if (sample_paths.empty()) return refuse("no sample given");

    for (const std::string &path : sample_paths) {
        named_data s{path, std::string()};
        std::error_code ec;
        std::filesystem::file_status st = std::filesystem::status(path, ec);
        if (std::filesystem::is_directory(st))
            return refuse("the sample " + path + " is a folder; give the sample files themselves");
        if (!std::filesystem::exists(st)) return refuse("the sample " + path + " does not exist");
        if (!read_real_file(path, s.data)) return refuse("cannot read the sample " + path);
        req.samples.push_back(std::move(s));
    }
    std::string error;
    req.clean = clean_files_under(folders, error);
    if (!error.empty()) return refuse(error);

    result r = make_row(req);
    for (const std::string &note : r.notes) err += "make_signature: " + note + "\n";
    if (!r.ok) return refuse(r.refusal);
    out += r.line + "\n";
    return 0;
}

}  // namespace signature_maker
