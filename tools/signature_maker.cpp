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

const char *const scanner_label = "W32/Quelby.Trojan ";
const size_t table_bytes = (size_t)(signature_count + 1) * record_size;

std::string name_of_row(int i) {
    const char *r = (const char *)signature_table + (size_t)i * record_size;
    return std::string(r, strnlen(r, record_name_size));
}

bool row_has_data(int i) { return read_le32(signature_table + (size_t)i * record_size + record_size_rule) != 0; }

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
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
};

std::vector<section_span> sections_of(const mapped_file &f) {
    std::vector<section_span> out;
    uint16_t count = read_le16(f.layout.file_header + pe::number_of_sections);
    for (uint16_t i = 0; i < count; ++i) {
        const unsigned char *s = f.layout.sections + i * pe::section_header_size;
        uint32_t vsize = (uint32_t)read_le32(s + pe::section_virtual_size);
        uint32_t rsize = (uint32_t)read_le32(s + pe::section_size_of_raw_data);
        out.push_back({(uint32_t)read_le32(s + pe::section_virtual_address), std::min(vsize, rsize),
                       (uint32_t)read_le32(s + pe::section_pointer_to_raw_data)});
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

    // The reference's bytes of a window that is identical in every sample,
    // read where the program reads it and inside the section it was chosen
    // in, and no padding; empty otherwise.
    std::string qualifying(int64_t offset, const section_span &s) const {
        const mapped_file &ref = samples[0];
        uint32_t at;
        uint32_t rva = ref.entry + (uint32_t)offset;
        if (!ref.window_at(offset, at) || at != rva - s.va + s.raw) return std::string();
        std::string w = ref.data->substr(at, pattern_size);
        if (looks_like_padding(w)) return std::string();
        for (size_t k = 1; k < samples.size(); ++k)
            if (!samples[k].holds(offset, w)) return std::string();
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

result make_row(const request &req) {
    result r;
    auto refuse = [&](const std::string &why) {
        r.ok = false;
        r.refusal = why;
        fresh_machine();
        return r;
    };

    // The name and its row.
    for (int i = 0; i < signature_count && r.row_index < 0; ++i)
        if (name_of_row(i) == req.name && (!row_has_data(i) || req.replace)) r.row_index = i;
    if (r.row_index < 0) {
        for (int i = 0; i < signature_count; ++i)
            if (name_of_row(i) == req.name)
                return refuse("the row of " + req.name + " (row " + std::to_string(i + 1) +
                              ") already has data; --replace makes it anew");
        return refuse("\"" + req.name + "\" is not the name of a row of the table");
    }

    // The samples: at least one, all of one size.
    if (req.samples.empty()) return refuse("no sample given");
    const size_t size = req.samples[0].data.size();
    for (const named_data &s : req.samples)
        if (s.data.size() != size)
            return refuse("the samples differ in size (" + req.samples[0].label + ": " + std::to_string(size) +
                          " bytes, " + s.label + ": " + std::to_string(s.data.size()) +
                          " bytes); a row matches one exact size, so give the samples of one variant");
    if (size == 0 || size > (size_t)INT32_MAX) return refuse("the samples' size " + std::to_string(size) + " cannot be a row's");
    const int32_t file_size = (int32_t)size;
    const unsigned char *old_row = signature_table + (size_t)r.row_index * record_size;
    int32_t old_size = read_le32(old_row + record_file_size);
    if (old_size != 0 && old_size != file_size)
        r.notes.push_back("note: the table's row gives file size " + std::to_string(old_size) + "; the samples have " +
                          std::to_string(file_size) + " bytes");

    // The same samples in any order give the same row: the reference is the
    // first by content.
    std::vector<const named_data *> ordered;
    for (const named_data &s : req.samples) ordered.push_back(&s);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const named_data *a, const named_data *b) { return a->data < b->data; });

    fresh_machine();
    std::vector<mapped_file> samples(ordered.size());
    for (size_t i = 0; i < ordered.size(); ++i)
        if (!open_mapped(sim_path("samples", i), ordered[i]->label, ordered[i]->data, samples[i])) {
            close_all(samples);
            return refuse(ordered[i]->label + " is not a PE file whose headers the matcher reads");
        }

    // The clean set: only files of a length the tested table accepts are read.
    std::string table((const char *)signature_table, table_bytes);
    {
        std::string placeholder = record_of(req.name, 0, std::string(20, '\0'), 0, std::string(20, '\0'), file_size);
        table.replace((size_t)r.row_index * record_size, record_size, placeholder);
    }
    std::vector<named_data> clean;
    for (const clean_file &c : req.clean) {
        ++r.clean_examined;
        if (c.size > (uint64_t)INT64_MAX || !table_accepts_size((const unsigned char *)table.data(), (int64_t)c.size))
            continue;
        named_data d{c.label, std::string()};
        if (!c.read || !c.read(d.data)) {
            close_all(samples);
            return refuse("cannot read " + c.label + " of the clean set");
        }
        if (!table_accepts_size((const unsigned char *)table.data(), (int64_t)d.data.size())) continue;
        ++r.clean_read;
        clean.push_back(std::move(d));
    }
    std::vector<mapped_file> rivals;  // clean PE files of the samples' size
    for (size_t i = 0; i < clean.size(); ++i) {
        if (clean[i].data.size() != size) continue;
        mapped_file f;
        if (open_mapped(sim_path("rivals", i), clean[i].label, clean[i].data, f)) rivals.push_back(f);
    }

    // The candidates: in the section of the entry point, and in the others.
    window_search search{samples, sections_of(samples[0])};
    const mapped_file &ref = samples[0];
    int entry_section = section_holding(search.sections, ref, ref.entry);
    if (entry_section < 0) {
        close_all(samples);
        close_all(rivals);
        return refuse("the entry point of " + ref.label + " lies in no section");
    }
    std::vector<int64_t> in_code, elsewhere;
    offsets_in(search.sections[entry_section], ref.entry, in_code);
    for (size_t i = 0; i < search.sections.size(); ++i)
        if ((int)i != entry_section) offsets_in(search.sections[i], ref.entry, elsewhere);
    sort_outward(in_code);
    sort_outward(elsewhere);
    std::vector<candidate> firsts = tagged(in_code, search, ref);
    // The second window: another section first, the entry's section when
    // no other has one.
    std::vector<candidate> seconds = tagged(elsewhere, search, ref);
    seconds.insert(seconds.end(), firsts.begin(), firsts.end());

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
    r.record = record_of(req.name, r.offset1, pattern1, r.offset2, pattern2, file_size);
    r.line = row_line(req.name, r.offset1, pattern1, r.offset2, pattern2, file_size);
    table.replace((size_t)r.row_index * record_size, record_size, r.record);

    // The proof: the tested table through the program's matcher. A hit is
    // never disposed of (disposition_choice 0) and the machine is simulated.
    fresh_machine();
    std::vector<std::string> failures;
    for (size_t i = 0; i < ordered.size(); ++i) {
        std::string name = run_matcher(table, sim_path("samples", i), ordered[i]->data);
        if (name == req.name)
            ++r.samples_found;
        else
            failures.push_back(ordered[i]->label + (name.empty() ? " is not found" : " is found as " + name));
    }
    for (size_t i = 0; i < clean.size(); ++i) {
        std::string name = run_matcher(table, sim_path("clean", i), clean[i].data);
        if (!name.empty()) {
            ++r.clean_found;
            failures.push_back("clean file " + clean[i].label + " is found as " + name);
        }
    }
    std::vector<named_data> misses;
    const unsigned char *rec = (const unsigned char *)r.record.data();
    std::string made = sample::make(rec);
    if (made.empty()) {
        r.notes.push_back("note: the sample maker cannot lay this row out in its one-section file; "
                          "near misses are made from the first sample only");
    } else {
        std::string name = run_matcher(table, sim_path("made", 0), made);
        if (name != req.name) failures.push_back("the sample maker's sample for the row is not found");
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
        std::string name = run_matcher(table, sim_path("near", i), misses[i].data);
        if (!name.empty()) {
            ++r.near_misses_found;
            failures.push_back(misses[i].label + " is found as " + name);
        }
    }
    fresh_machine();

    r.notes.push_back("row " + std::to_string(r.row_index + 1) + " of 117, " + req.name + ": windows at " +
                      std::to_string(r.offset1) + " (the entry point's section) and " + std::to_string(r.offset2) +
                      (r.second_in_other_section ? " (another section)" : " (the same section: no other has one)"));
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
        std::string why = "the row fails its proof:";
        for (const std::string &f : failures) why += "\n  " + f;
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
        if (!fs::is_directory(folder, ec)) {
            error = "the clean folder " + folder + " is not a folder";
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
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace signature_maker
