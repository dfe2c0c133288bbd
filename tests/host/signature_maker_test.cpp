// make_signature's core: rows made from samples of random section layouts,
// pasted into a test table and run through the matcher against the samples
// and a clean set (Wine's DLL folder when this machine has it, and a
// generated corpus), the refusals, and the command's lines and exit status.
// Every test but the one on the table's source form makes its rows in a test
// table of its own, so none depends on which rows of the built-in table hold
// data.
#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include <unistd.h>

#include "engine/file_matcher.h"
#include "engine/pe_layout.h"
#include "engine/signature_table.h"
#include "tests/support/sample_maker.h"
#include "tools/signature_maker.h"

namespace {

using signature_maker::named_data;

const char *const wine_dlls = "/usr/lib/i386-linux-gnu/wine/i386-windows";

// The built-in table's names with every row emptied: the test table that the
// tests fill as they need.
std::string names_only_table() {
    std::string t((size_t)(signature_count + 1) * record_size, '\0');
    for (int i = 0; i < signature_count; ++i) {
        const char *name = (const char *)signature_table + (size_t)i * record_size;
        std::memcpy(&t[(size_t)i * record_size], name, strnlen(name, record_name_size));
    }
    return t;
}

std::string name_of(const std::string &table, int row) {
    const char *r = table.data() + (size_t)row * record_size;
    return std::string(r, strnlen(r, record_name_size));
}

// The row the tests make, and the rows they fill before it or leave with
// known values only.
enum : int { target_row = 5, earlier_row = 2, known_row = 9 };

struct section_plan {
    uint32_t va, virtual_size, raw_size;
    bool code;
};

// One variant: its sections and entry point in RVA space are fixed, their
// bytes are shared, and each sample has its own file order of the sections
// (so its own raw offsets) and its own bytes in a noise region.
struct variant {
    std::vector<section_plan> sections;
    std::vector<std::string> bytes;  // raw data of each section
    uint32_t entry = 0;
    int entry_section = 0;
    uint32_t noise_rva = 0;  // 48 bytes that differ from sample to sample

    explicit variant(uint32_t seed) {
        std::mt19937 rng(seed);
        int count = 1 + (int)(rng() % 4);
        uint32_t va = 0x1000;
        for (int i = 0; i < count; ++i) {
            uint32_t raw = (1 + rng() % 6) * 0x200, vs = raw;
            switch (rng() % 3) {
            case 0: vs = raw - rng() % 0x100; break;   // the raw data's tail is not mapped
            case 1: vs = raw + rng() % 0x3000; break;  // more in memory than in the file
            }
            sections.push_back({va, vs, raw, rng() % 2 == 0});
            std::string b(raw, '\0');
            for (char &c : b) c = (char)rng();
            // Padding: a run of zeros or of int3 somewhere in the section.
            uint32_t pad_at = rng() % raw, pad_len = std::min<uint32_t>(raw - pad_at, 16 + rng() % 200);
            std::fill(b.begin() + pad_at, b.begin() + pad_at + pad_len, rng() % 2 ? '\0' : '\xCC');
            bytes.push_back(b);
            va += (vs + 0xFFF) / 0x1000 * 0x1000 + (rng() % 3) * 0x1000;
        }
        entry_section = (int)(rng() % count);
        sections[entry_section].code = true;
        const section_plan &e = sections[entry_section];
        uint32_t reach = std::min(e.virtual_size, e.raw_size);
        entry = e.va + (rng() % 2 ? rng() % 32 : reach - 1 - rng() % 32);  // near the start or the end
        noise_rva = entry - std::min<uint32_t>(entry - e.va, 16);
        if (noise_rva + 48 > e.va + reach) noise_rva = e.va + reach - 48;
    }

    size_t file_size() const {
        size_t n = sample::section_file_offset;
        for (const section_plan &s : sections) n += s.raw_size;
        return n;
    }

    std::string sample(uint32_t which) const {
        std::mt19937 rng(which * 7919 + 1);
        std::vector<int> order(sections.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = (int)i;
        std::shuffle(order.begin(), order.end(), rng);
        std::string d(file_size(), '\0');
        d[0] = 'M';
        d[1] = 'Z';
        sample::put32(d, pe::header_offset_field, sample::pe_offset);
        std::memcpy(&d[sample::pe_offset], "PE\0\0", 4);
        size_t fh = sample::pe_offset + pe::file_header_at, oh = sample::pe_offset + pe::optional_header_at;
        sample::put16(d, fh, 0x014C);
        sample::put16(d, fh + pe::number_of_sections, (uint16_t)sections.size());
        sample::put16(d, fh + pe::size_of_optional_header, pe::optional_header_size);
        sample::put16(d, oh + pe::optional_magic, 0x010B);
        sample::put32(d, oh + pe::address_of_entry_point, entry);
        sample::put32(d, oh + pe::size_of_headers, sample::section_file_offset);
        uint32_t raw_at = sample::section_file_offset;
        std::vector<uint32_t> raw_of(sections.size());
        for (int i : order) {
            raw_of[i] = raw_at;
            raw_at += sections[i].raw_size;
        }
        for (size_t i = 0; i < sections.size(); ++i) {
            size_t sh = sample::pe_offset + pe::section_table_at + i * pe::section_header_size;
            sample::put32(d, sh + pe::section_virtual_size, sections[i].virtual_size);
            sample::put32(d, sh + pe::section_virtual_address, sections[i].va);
            sample::put32(d, sh + pe::section_size_of_raw_data, sections[i].raw_size);
            sample::put32(d, sh + pe::section_pointer_to_raw_data, raw_of[i]);
            sample::put32(d, sh + pe::section_characteristics, sections[i].code ? 0x60000020 : 0xC0000040);
            d.replace(raw_of[i], sections[i].raw_size, bytes[i]);
        }
        size_t noise = raw_of[entry_section] + (noise_rva - sections[entry_section].va);
        for (size_t i = 0; i < 48; ++i) d[noise + i] = (char)rng();
        return d;
    }

    std::vector<named_data> samples(int n) const {
        std::vector<named_data> out;
        for (int k = 0; k < n; ++k) out.push_back({"sample" + std::to_string(k), sample((uint32_t)k)});
        return out;
    }

    // The section holding the RVA, -1 for none.
    int section_of(uint32_t rva) const {
        for (size_t i = 0; i < sections.size(); ++i)
            if (rva >= sections[i].va && rva < sections[i].va + std::min(sections[i].virtual_size, sections[i].raw_size))
                return (int)i;
        return -1;
    }
    bool other_code_section() const {
        for (size_t i = 0; i < sections.size(); ++i)
            if ((int)i != entry_section && sections[i].code) return true;
        return false;
    }
};

signature_maker::clean_file in_memory(const std::string &label, const std::string &data) {
    return {label, data.size(), [data](std::string &out) {
                out = data;
                return true;
            }};
}

// The printed line, read back as the table's source would pack it.
std::string parse_row(const std::string &line) {
    std::smatch m;
    static const std::regex form(R"re(^    \{"([^"]+)", (-?\d+), "([0-9a-f]{40})", (-?\d+), "([0-9a-f]{40})", (\d+), 1\},$)re");
    if (!std::regex_match(line, m, form)) return std::string();
    auto bytes = [](const std::string &hex) {
        std::string out;
        for (size_t i = 0; i < hex.size(); i += 2) out += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
        return out;
    };
    return sample::record(m[1].str().c_str(), std::stoi(m[2]), bytes(m[3]), std::stoi(m[4]), bytes(m[5]),
                          std::stoi(m[6]));
}

std::string table_with(std::string t, int index, const std::string &record) {
    t.replace((size_t)index * record_size, record_size, record);
    return t;
}

class SignatureMaker : public EngineTest {
protected:
    // The matcher over the test table on the simulated machine, deleting
    // nothing; the detection name or "".
    std::string detect(const std::string &table, const std::string &data) {
        std::string path = "C:\\t\\" + std::to_string(++files);
        m().add_file(path, data);
        scan_state.detection_name[0] = 0;
        int hit = file_matcher_with_table((const unsigned char *)table.data(), "W32/Quelby.Trojan ", path.c_str());
        EXPECT_TRUE(m().exists(path));
        return hit ? scan_state.detection_name : "";
    }
    int files = 0;
};

// Other programs: other variants, one of the same size that shares the
// entry point's section (when there is another), one of the same layout
// with other bytes, a file of that size that is no PE file.
std::vector<std::pair<std::string, std::string>> generated_corpus(const variant &v, uint32_t seed) {
    std::vector<std::pair<std::string, std::string>> out;
    for (uint32_t s = 1; s <= 4; ++s) out.push_back({"other" + std::to_string(s), variant(seed * 100 + s).sample(0)});
    variant sibling = v;
    if (v.sections.size() > 1) {
        for (size_t i = 0; i < sibling.bytes.size(); ++i)
            if ((int)i != v.entry_section)
                for (char &c : sibling.bytes[i]) c = (char)(c ^ 0x5A);
        out.push_back({"sibling", sibling.sample(9)});
    }
    variant stranger = v;
    for (std::string &b : stranger.bytes)
        for (char &c : b) c = (char)(c ^ 0x33);
    out.push_back({"stranger", stranger.sample(3)});
    out.push_back({"not-pe", std::string(v.file_size(), 'x')});
    return out;
}

}  // namespace

TEST(SignatureMakerText, RowLineIsTheTableSourceForm) {
    std::string source;
    std::ifstream in(PELLMARK_SOURCE_DIR "/engine/signature_table.cpp");
    std::getline(in, source, '\0');
    int filled = 0;
    for (int i = 0; i < signature_count; ++i) {
        const unsigned char *r = signature_table + (size_t)i * record_size;
        if (read_le32(r + record_size_rule) == 0) continue;
        ++filled;
        std::string line = signature_maker::row_line((const char *)r, read_le32(r + record_offset1),
                                                     std::string((const char *)r + record_pattern1, 20),
                                                     read_le32(r + record_offset2),
                                                     std::string((const char *)r + record_pattern2, 20),
                                                     read_le32(r + record_file_size));
        EXPECT_NE(std::string::npos, source.find("\n" + line + "\n")) << line;
        EXPECT_EQ(std::string((const char *)r, record_size), parse_row(line));
    }
    if (filled == 0) GTEST_SKIP() << "no row of the table holds data";
}

TEST_F(SignatureMaker, RowsFromRandomLayoutsFindEverySampleAndNothingElse) {
    std::string error;
    std::vector<signature_maker::clean_file> wine;
    if (std::ifstream(std::string(wine_dlls) + "/kernel32.dll")) wine = signature_maker::clean_files_under({wine_dlls}, error);
    ASSERT_EQ("", error);
    const std::string base = names_only_table();
    const std::string name = name_of(base, target_row);
    int other_code_rows = 0, other_code_variants = 0;
    for (uint32_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        variant v(seed);
        signature_maker::request req;
        req.table = (const unsigned char *)base.data();
        req.name = name;
        req.samples = v.samples(1 + (int)(seed % 4));
        auto corpus = generated_corpus(v, seed);
        for (const auto &c : corpus) req.clean.push_back(in_memory(c.first, c.second));
        if (seed % 6 == 0) req.clean.insert(req.clean.end(), wine.begin(), wine.end());
        signature_maker::result r = signature_maker::make_row(req);
        ASSERT_TRUE(r.ok) << r.refusal;
        EXPECT_EQ(target_row, r.row_index);
        EXPECT_EQ((int)req.samples.size(), r.samples_found);
        EXPECT_EQ(0, r.clean_found);
        EXPECT_EQ((int)req.clean.size(), r.clean_examined);
        EXPECT_EQ(0, r.near_misses_found);

        // Where the windows lie: the first in the entry point's section,
        // clear of the per-sample noise, the second in another code section
        // when there is one.
        uint32_t w1 = v.entry + (uint32_t)r.offset1, w2 = v.entry + (uint32_t)r.offset2;
        EXPECT_EQ(v.entry_section, v.section_of(w1));
        EXPECT_EQ(v.section_of(w1), v.section_of(w1 + 19));
        EXPECT_EQ(v.section_of(w2), v.section_of(w2 + 19));
        if (req.samples.size() > 1) {
            EXPECT_TRUE(w1 + 20 <= v.noise_rva || w1 >= v.noise_rva + 48);
        }
        EXPECT_TRUE(w2 + 20 <= w1 || w1 + 20 <= w2);
        if (v.other_code_section()) {
            ++other_code_variants;
            if (r.second_in_other_section && v.sections[v.section_of(w2)].code) ++other_code_rows;
        }

        // The printed line, pasted into a test table.
        std::string record = parse_row(r.line);
        ASSERT_EQ(r.record, record) << r.line;
        std::string table = table_with(base, r.row_index, record);
        // Windows clear of the noise find samples beyond those given too.
        uint32_t found_samples = req.samples.size() > 1 ? 6 : 1;
        for (uint32_t k = 0; k < found_samples; ++k) EXPECT_EQ(name, detect(table, v.sample(k))) << "sample " << k;
        for (const auto &c : corpus) EXPECT_EQ("", detect(table, c.second)) << c.first;
        std::string made = sample::make((const unsigned char *)record.data());
        if (!made.empty()) {
            EXPECT_EQ(name, detect(table, made));
        }

        // The same input in another order gives the same row.
        std::reverse(req.samples.begin(), req.samples.end());
        std::reverse(req.clean.begin(), req.clean.end());
        EXPECT_EQ(r.line, signature_maker::make_row(req).line);
    }
    EXPECT_GT(other_code_variants, 0);
    EXPECT_EQ(other_code_variants, other_code_rows);
}

TEST_F(SignatureMaker, RefusesBadInputAndPrintsNoRow) {
    variant v(7);
    auto refusal = [](signature_maker::request req) {
        signature_maker::result r = signature_maker::make_row(req);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ("", r.line);
        EXPECT_EQ(std::string::npos, r.refusal.find('\n')) << r.refusal;
        return r.refusal;
    };
    // A filled row before the target row, from a variant of its own.
    variant other(8);
    std::string base = names_only_table();
    std::string filled_name = name_of(base, earlier_row);
    signature_maker::request fill;
    fill.table = (const unsigned char *)base.data();
    fill.name = filled_name;
    fill.samples = other.samples(2);
    fill.clean = {in_memory("stranger", generated_corpus(other, 8)[generated_corpus(other, 8).size() - 2].second)};
    signature_maker::result filled_row = signature_maker::make_row(fill);
    ASSERT_TRUE(filled_row.ok) << filled_row.refusal;
    base = table_with(base, earlier_row, filled_row.record);

    signature_maker::request req;
    req.table = (const unsigned char *)base.data();
    req.name = name_of(base, target_row);
    req.samples = v.samples(2);
    for (const auto &c : generated_corpus(v, 7)) req.clean.push_back(in_memory(c.first, c.second));
    ASSERT_TRUE(signature_maker::make_row(req).ok);

    signature_maker::request mixed = req;
    mixed.samples[1].data += "tail";
    EXPECT_NE(std::string::npos, refusal(mixed).find("differ in size"));

    signature_maker::request not_pe = req;
    not_pe.samples[1].data[sample::pe_offset + 1] = 'X';
    EXPECT_NE(std::string::npos, refusal(not_pe).find("sample1 is not a PE file"));

    // Names: any letter case is the row's; an unknown one names the nearest.
    signature_maker::request cased = req;
    for (char &c : cased.name) c = (char)std::tolower((unsigned char)c);
    signature_maker::result cased_row = signature_maker::make_row(cased);
    EXPECT_TRUE(cased_row.ok) << cased_row.refusal;
    EXPECT_EQ(target_row, cased_row.row_index);
    EXPECT_NE(std::string::npos, cased_row.line.find("\"" + req.name + "\"")) << cased_row.line;
    signature_maker::request unknown = req;
    unknown.name = req.name.substr(0, req.name.size() - 3) + "Xyz";
    std::string why = refusal(unknown);
    EXPECT_NE(std::string::npos, why.find("is not the name of a row")) << why;
    EXPECT_NE(std::string::npos, why.find("the nearest is \"" + req.name + "\"")) << why;

    signature_maker::request filled = req;
    filled.name = filled_name;
    EXPECT_NE(std::string::npos, refusal(filled).find("already has data"));
    filled.replace = true;
    EXPECT_TRUE(signature_maker::make_row(filled).ok);

    // A file of the clean set holds the samples' every window pair: the same
    // program with only its per-sample bytes different.
    signature_maker::request shared = req;
    shared.clean = {in_memory("innocent.exe", v.sample(5))};
    why = refusal(shared);
    EXPECT_NE(std::string::npos, why.find("also occurs in the clean set (innocent.exe)")) << why;

    // A sample that a row of the table finds already.
    signature_maker::request shadowed = req;
    shadowed.samples = {{"earlier.exe", other.sample(4)}};
    why = refusal(shadowed);
    EXPECT_NE(std::string::npos, why.find("earlier.exe is found as " + filled_name + " (row 3)")) << why;

    // A clean set that holds an infected file is not clean.
    signature_maker::request dirty = req;
    dirty.clean.push_back(in_memory("infected.exe", other.sample(5)));
    why = refusal(dirty);
    EXPECT_NE(std::string::npos, why.find("the clean set is not clean: infected.exe is found as " + filled_name))
        << why;

    // Without a clean PE file of the samples' size nothing shows that the
    // windows are rare: refused unless accepted, then warned about.
    signature_maker::request no_rival = req;
    no_rival.clean = {in_memory("small.exe", variant(40).sample(0)), in_memory("not-pe", std::string(v.file_size(), 'x'))};
    EXPECT_NE(std::string::npos, refusal(no_rival).find("no PE file of the samples' size"));
    no_rival.accept_no_same_size = true;
    signature_maker::result accepted = signature_maker::make_row(no_rival);
    EXPECT_TRUE(accepted.ok) << accepted.refusal;
    EXPECT_NE(accepted.notes.end(), std::find_if(accepted.notes.begin(), accepted.notes.end(), [](const std::string &n) {
                  return n.find("warning: the clean set holds no PE file") == 0;
              }));
}

TEST_F(SignatureMaker, SameBytesTwiceCountOnce) {
    variant v(11);
    std::string base = names_only_table();
    signature_maker::request req;
    req.table = (const unsigned char *)base.data();
    req.name = name_of(base, target_row);
    req.samples = v.samples(2);
    req.samples.push_back({"copy-of-sample0", req.samples[0].data});
    for (const auto &c : generated_corpus(v, 11)) req.clean.push_back(in_memory(c.first, c.second));
    signature_maker::result r = signature_maker::make_row(req);
    ASSERT_TRUE(r.ok) << r.refusal;
    EXPECT_EQ(2, r.samples_found);
    EXPECT_NE(r.notes.end(), std::find(r.notes.begin(), r.notes.end(),
                                       "note: copy-of-sample0 has the same bytes as sample0; counted once"));
}

// Text and zero padding near the entry point, the way import names stand in
// a program: the windows are taken from the code beyond them.
TEST_F(SignatureMaker, WindowsAreNeitherTextNorPadding) {
    variant v(5);
    std::string &code = v.bytes[v.entry_section];
    const section_plan &s = v.sections[v.entry_section];
    const char names[] = "KERNEL32.dll\0\0\0\0GetProcAddress\0\0LoadLibraryA\0\0ExitProcess\0";
    uint32_t from = v.entry - s.va > 300 ? v.entry - s.va - 300 : 0;
    uint32_t to = std::min<uint32_t>(v.entry - s.va + 300, (uint32_t)code.size());
    for (uint32_t i = from; i < to; ++i) code[i] = names[(i - from) % (sizeof names - 1)];
    std::string base = names_only_table();
    signature_maker::request req;
    req.table = (const unsigned char *)base.data();
    req.name = name_of(base, target_row);
    req.samples = v.samples(3);
    for (const auto &c : generated_corpus(v, 5)) req.clean.push_back(in_memory(c.first, c.second));
    signature_maker::result r = signature_maker::make_row(req);
    ASSERT_TRUE(r.ok) << r.refusal;
    for (size_t at : {(size_t)record_pattern1, (size_t)record_pattern2}) {
        int texty = 0;
        for (size_t i = 0; i < 20; ++i) {
            unsigned char c = (unsigned char)r.record[at + i];
            if ((c >= 0x20 && c < 0x7F) || c == 0) ++texty;
        }
        EXPECT_LT(texty, 16) << r.line;
    }
}

// A row that knows its offsets and file size: samples must fit them.
TEST_F(SignatureMaker, KnownValuesOfARowAreConstraints) {
    variant v(13);
    std::string base = names_only_table();
    auto corpus = generated_corpus(v, 13);
    signature_maker::request first;
    first.table = (const unsigned char *)base.data();
    first.name = name_of(base, target_row);
    first.samples = v.samples(3);
    for (const auto &c : corpus) first.clean.push_back(in_memory(c.first, c.second));
    signature_maker::result made = signature_maker::make_row(first);
    ASSERT_TRUE(made.ok) << made.refusal;

    // The known row: the same offsets and size, no patterns, rule 0. Its
    // samples give the row with exactly those offsets.
    int32_t o1 = made.offset1 + (made.offset1 < 0 ? -1 : 1);  // not the first choice: farther out
    std::string known = sample::record(name_of(base, known_row).c_str(), o1, std::string(20, '\0'), made.offset2,
                                       std::string(20, '\0'), (int32_t)v.file_size(), 0);
    std::string table = table_with(base, known_row, known);
    signature_maker::request req = first;
    req.table = (const unsigned char *)table.data();
    req.name = name_of(base, known_row);
    signature_maker::result r = signature_maker::make_row(req);
    ASSERT_TRUE(r.ok) << r.refusal;
    EXPECT_EQ(o1, r.offset1);
    EXPECT_EQ(made.offset2, r.offset2);

    // Samples of another size are refused, unless the row is made anew.
    variant other(14);
    signature_maker::request wrong = req;
    wrong.samples = other.samples(2);
    wrong.clean.clear();
    for (const auto &c : generated_corpus(other, 14)) wrong.clean.push_back(in_memory(c.first, c.second));
    signature_maker::result refused = signature_maker::make_row(wrong);
    ASSERT_FALSE(refused.ok);
    EXPECT_NE(std::string::npos, refused.refusal.find("gives file size " + std::to_string(v.file_size())))
        << refused.refusal;
    wrong.replace = true;
    signature_maker::result anew = signature_maker::make_row(wrong);
    EXPECT_TRUE(anew.ok) << anew.refusal;

    // A known offset whose bytes differ between the samples: refused, naming it.
    std::string noisy = sample::record(name_of(base, known_row).c_str(), (int32_t)v.noise_rva - (int32_t)v.entry,
                                       std::string(20, '\0'), made.offset2, std::string(20, '\0'),
                                       (int32_t)v.file_size(), 0);
    std::string noisy_table = table_with(base, known_row, noisy);
    req.table = (const unsigned char *)noisy_table.data();
    refused = signature_maker::make_row(req);
    ASSERT_FALSE(refused.ok);
    EXPECT_NE(std::string::npos, refused.refusal.find("differ between the samples")) << refused.refusal;
}

// The command: every refusal one line with status 1, nothing on standard
// output; --help and --list.
TEST(SignatureMakerCommand, RefusalsAreOneLineWithStatusOne) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("make_signature_test_" + std::to_string(::getpid()));
    fs::create_directories(dir / "clean");
    std::string sample_path = (dir / "sample.exe").string();
    std::ofstream(sample_path, std::ios::binary) << variant(3).sample(0);
    std::string clean = (dir / "clean").string();
    struct refused_case {
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {{"--name", "W32/Quelby.Ptt.Dl.Trojan", "--clean", clean, dir.string()}, "is a folder"},
        {{"--name", "W32/Quelby.Ptt.Dl.Trojan", "--clean", (dir / "none").string(), sample_path}, "does not exist"},
        {{"--name", "W32/Quelby.Ptt.Dl.Trojan", "--clean", sample_path, sample_path}, "is not a folder"},
        {{"--name", "W32/Quelby.Ptt.Dl.Trojan", "--clean", clean, (dir / "missing.exe").string()}, "does not exist"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--clean", clean, sample_path}, "no --name"},
        {{"--name", "W32/Quelby.Ptt.Dl.Trojan", sample_path}, "no --clean"},
        {{"--name", "W32/Quelby.Ptt.Dl.Trojan", "--clean", clean}, "no sample"},
        {{"--name"}, "--name needs a value"},
        {{"--name", "Quelby", "--clean", clean, sample_path}, "the nearest is"},
    };
    for (const refused_case &c : cases) {
        std::string out, err;
        EXPECT_EQ(1, signature_maker::run_command(c.args, out, err)) << c.says;
        EXPECT_EQ("", out) << c.says;
        std::string last = err.substr(err.rfind('\n', err.size() - 2) == std::string::npos ? 0 : err.rfind('\n', err.size() - 2) + 1);
        EXPECT_EQ(0u, last.find("make_signature: refused: ")) << err;
        EXPECT_NE(std::string::npos, last.find(c.says)) << err;
        EXPECT_EQ(1, std::count(last.begin(), last.end(), '\n')) << err;
    }
    fs::remove_all(dir);

    std::string out, err;
    EXPECT_EQ(0, signature_maker::run_command({"--help"}, out, err));
    for (const char *option : {"--name", "--clean", "--replace", "--accept-no-same-size", "--list", "--help", "Exit status"})
        EXPECT_NE(std::string::npos, out.find(option)) << option;
    out.clear();
    EXPECT_EQ(0, signature_maker::run_command({"--list"}, out, err));
    EXPECT_EQ(signature_count + 1, std::count(out.begin(), out.end(), '\n'));
    for (int i = 0; i < signature_count; ++i) {
        const char *name = (const char *)signature_table + (size_t)i * record_size;
        EXPECT_NE(std::string::npos, out.find("  " + std::string(name, strnlen(name, record_name_size)) + " "));
    }
}

TEST(SignatureMakerFolders, CleanFolderMustBeAFolder) {
    std::string error;
    EXPECT_TRUE(signature_maker::clean_files_under({"/nonexistent-pellmark-folder"}, error).empty());
    EXPECT_NE(std::string::npos, error.find("does not exist"));
}
