// make_signature's core: rows made from samples of random section layouts,
// pasted into a test table and run through the matcher against the samples
// and a clean set (Wine's DLL folder when this machine has it, and a
// generated corpus), and the refusals.
#include "test_support.h"

#include <fstream>
#include <random>
#include <regex>

#include "engine/file_matcher.h"
#include "engine/pe_layout.h"
#include "engine/signature_table.h"
#include "tests/support/sample_maker.h"
#include "tools/signature_maker.h"

namespace {

using signature_maker::named_data;

const char *const wine_dlls = "/usr/lib/i386-linux-gnu/wine/i386-windows";
const char *const ptt = "W32/Quelby.Ptt.Dl.Trojan";

struct section_plan {
    uint32_t va, virtual_size, raw_size;
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
            sections.push_back({va, vs, raw});
            std::string b(raw, '\0');
            for (char &c : b) c = (char)rng();
            // Padding: a run of zeros or of int3 somewhere in the section.
            uint32_t pad_at = rng() % raw, pad_len = std::min<uint32_t>(raw - pad_at, 16 + rng() % 200);
            std::fill(b.begin() + pad_at, b.begin() + pad_at + pad_len, rng() % 2 ? '\0' : '\xCC');
            bytes.push_back(b);
            va += (vs + 0xFFF) / 0x1000 * 0x1000 + (rng() % 3) * 0x1000;
        }
        entry_section = (int)(rng() % count);
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

std::string table_with(int index, const std::string &record) {
    std::string t((const char *)signature_table, (size_t)(signature_count + 1) * record_size);
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
// entry point's section (when there is another), a file of that size that
// is no PE file.
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
    out.push_back({"not-pe", std::string(v.file_size(), 'x')});
    return out;
}

}  // namespace

TEST(SignatureMakerText, RowLineIsTheTableSourceForm) {
    std::string source;
    std::ifstream in(PELLMARK_SOURCE_DIR "/engine/signature_table.cpp");
    std::getline(in, source, '\0');
    const unsigned char *r = signature_table;
    std::string line = signature_maker::row_line((const char *)r, read_le32(r + record_offset1),
                                                 std::string((const char *)r + record_pattern1, 20),
                                                 read_le32(r + record_offset2),
                                                 std::string((const char *)r + record_pattern2, 20),
                                                 read_le32(r + record_file_size));
    EXPECT_NE(std::string::npos, source.find("\n" + line + "\n")) << line;
    EXPECT_EQ(std::string((const char *)r, record_size), parse_row(line));
}

TEST_F(SignatureMaker, RowsFromRandomLayoutsFindEverySampleAndNothingElse) {
    std::string error;
    std::vector<signature_maker::clean_file> wine;
    if (std::ifstream(std::string(wine_dlls) + "/kernel32.dll")) wine = signature_maker::clean_files_under({wine_dlls}, error);
    ASSERT_EQ("", error);
    int other_section_rows = 0, multi_section_variants = 0;
    for (uint32_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        variant v(seed);
        signature_maker::request req;
        req.name = ptt;
        req.samples = v.samples(1 + (int)(seed % 4));
        auto corpus = generated_corpus(v, seed);
        for (const auto &c : corpus) req.clean.push_back(in_memory(c.first, c.second));
        if (seed % 6 == 0) req.clean.insert(req.clean.end(), wine.begin(), wine.end());
        signature_maker::result r = signature_maker::make_row(req);
        ASSERT_TRUE(r.ok) << r.refusal;
        EXPECT_EQ(1, r.row_index);
        EXPECT_EQ((int)req.samples.size(), r.samples_found);
        EXPECT_EQ(0, r.clean_found);
        EXPECT_EQ((int)req.clean.size(), r.clean_examined);
        EXPECT_EQ(0, r.near_misses_found);

        // Where the windows lie: the first in the entry point's section,
        // clear of the per-sample noise, the second elsewhere when it can.
        uint32_t w1 = v.entry + (uint32_t)r.offset1, w2 = v.entry + (uint32_t)r.offset2;
        EXPECT_EQ(v.entry_section, v.section_of(w1));
        EXPECT_EQ(v.section_of(w1), v.section_of(w1 + 19));
        EXPECT_EQ(v.section_of(w2), v.section_of(w2 + 19));
        if (req.samples.size() > 1) {
            EXPECT_TRUE(w1 + 20 <= v.noise_rva || w1 >= v.noise_rva + 48);
        }
        EXPECT_TRUE(w2 + 20 <= w1 || w1 + 20 <= w2);
        if (v.sections.size() > 1) {
            ++multi_section_variants;
            if (r.second_in_other_section) ++other_section_rows;
            EXPECT_EQ(r.second_in_other_section, v.section_of(w2) != v.entry_section);
        }

        // The printed line, pasted into a test table.
        std::string record = parse_row(r.line);
        ASSERT_EQ(r.record, record) << r.line;
        std::string table = table_with(r.row_index, record);
        // Windows clear of the noise find samples beyond those given too.
        uint32_t found_samples = req.samples.size() > 1 ? 6 : 1;
        for (uint32_t k = 0; k < found_samples; ++k) EXPECT_EQ(ptt, detect(table, v.sample(k))) << "sample " << k;
        for (const auto &c : corpus) EXPECT_EQ("", detect(table, c.second)) << c.first;
        std::string made = sample::make((const unsigned char *)record.data());
        if (!made.empty()) {
            EXPECT_EQ(ptt, detect(table, made));
        }

        // The same input in another order gives the same row.
        std::reverse(req.samples.begin(), req.samples.end());
        std::reverse(req.clean.begin(), req.clean.end());
        EXPECT_EQ(r.line, signature_maker::make_row(req).line);
    }
    EXPECT_GT(multi_section_variants, 0);
    EXPECT_EQ(multi_section_variants, other_section_rows);
}

TEST_F(SignatureMaker, RefusesBadInputAndPrintsNoRow) {
    variant v(7);
    auto refusal = [](signature_maker::request req) {
        signature_maker::result r = signature_maker::make_row(req);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ("", r.line);
        return r.refusal;
    };
    signature_maker::request req;
    req.name = ptt;
    req.samples = v.samples(2);

    signature_maker::request mixed = req;
    mixed.samples[1].data += "tail";
    EXPECT_NE(std::string::npos, refusal(mixed).find("differ in size"));

    signature_maker::request not_pe = req;
    not_pe.samples[1].data[sample::pe_offset + 1] = 'X';
    EXPECT_NE(std::string::npos, refusal(not_pe).find("sample1 is not a PE file"));

    signature_maker::request unknown = req;
    unknown.name = "W32/Quelby.Nope.Dl.Trojan";
    EXPECT_NE(std::string::npos, refusal(unknown).find("is not the name of a row"));

    signature_maker::request filled = req;
    filled.name = "W32/Quelby.Qgs.Dl.Trojan";
    EXPECT_NE(std::string::npos, refusal(filled).find("already has data"));
    filled.replace = true;
    EXPECT_TRUE(signature_maker::make_row(filled).ok);

    // A file of the clean set holds the samples' every window pair: the same
    // program with only its per-sample bytes different.
    signature_maker::request shared = req;
    shared.clean.push_back(in_memory("innocent.exe", v.sample(5)));
    EXPECT_NE(std::string::npos, refusal(shared).find("also occurs in the clean set (innocent.exe)"));

    // A sample that an earlier row finds fails the proof.
    signature_maker::request shadowed;
    shadowed.name = ptt;
    shadowed.samples = {{"qgs.exe", sample::make(signature_table)}};
    std::string why = refusal(shadowed);
    EXPECT_NE(std::string::npos, why.find("qgs.exe is found as W32/Quelby.Qgs.Dl.Trojan")) << why;
}

TEST(SignatureMakerFolders, CleanFolderMustBeAFolder) {
    std::string error;
    EXPECT_TRUE(signature_maker::clean_files_under({"/nonexistent-pellmark-folder"}, error).empty());
    EXPECT_NE(std::string::npos, error.find("is not a folder"));
}
