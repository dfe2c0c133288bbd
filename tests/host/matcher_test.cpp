// The signature table's packed layout, the matcher's PE reading and record
// tests, and what a hit leaves in the scan state.
#include "test_support.h"

#include "engine/directory_walker.h"
#include "engine/file_matcher.h"
#include "engine/pe_layout.h"
#include "engine/signature_table.h"
#include "tests/support/sample_maker.h"

namespace {
const unsigned char *row(int i) { return signature_table + i * record_size; }
std::string name_of(int i) { return std::string((const char *)row(i)); }
std::string bytes(const char *hex) {
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out += (char)std::stoi(std::string(hex + i, 2), nullptr, 16);
    return out;
}
const unsigned char *rec(const std::string &r) { return (const unsigned char *)r.data(); }
// The files the matcher opened (a hit also reads the hosts file).
std::vector<std::string> tested_files() {
    std::vector<std::string> out;
    for (const std::string &p : sim::machine().opened)
        if (p.find("\\etc\\hosts") == std::string::npos) out.push_back(p);
    return out;
}
}  // namespace

TEST(SignatureTable, FirstRowAtItsByteOffsets) {
    const unsigned char *r = row(0);
    EXPECT_EQ(std::string("W32/Quelby.Qgs.Dl.Trojan"), std::string((const char *)r));
    for (int i = 24; i < 50; ++i) EXPECT_EQ(0, r[i]) << "name padding at " << i;
    EXPECT_EQ(-2683, read_le32(r + 50));
    EXPECT_EQ(bytes("c40e837c8bc2857c6f1f867ca7ea827c56be807c"), std::string((const char *)r + 54, 20));
    EXPECT_EQ(0, r[74]);
    EXPECT_EQ(6788, read_le32(r + 75));
    EXPECT_EQ(bytes("07e454e072ca40a8a1b622c68cc72db59ec957ed"), std::string((const char *)r + 79, 20));
    EXPECT_EQ(0, r[99]);
    EXPECT_EQ(23552, read_le32(r + 100));
    EXPECT_EQ(1, read_le32(r + 104));
}

TEST(SignatureTable, RowsWithoutDataKeepTheirPlaceAndNeverMatch) {
    int count = 0;
    while (row(count)[0]) ++count;
    EXPECT_EQ(117, count);
    EXPECT_EQ("W32/Quelby.Ptt.Dl.Trojan", name_of(1));
    EXPECT_EQ("W32/Quelby.Do.Dl.Trojan", name_of(102));
    EXPECT_EQ("W32/Quelby.Bnar.Trojan", name_of(114));
    EXPECT_EQ("W32/Quelby.Dy.Dl.Trojan", name_of(115));
    EXPECT_EQ("W32/Quelby.Bngg.Dl.Trojan", name_of(116));
    const unsigned char *dy = row(115);
    EXPECT_EQ(-29008, read_le32(dy + 50));
    EXPECT_EQ(-100, read_le32(dy + 75));
    EXPECT_EQ(32256, read_le32(dy + 100));
    // Without patterns a row is packed with a rule that never matches.
    for (int i = 1; i < 117; ++i) EXPECT_EQ(0, read_le32(row(i) + 104)) << name_of(i);
    EXPECT_EQ(1, signature_rows_with_data());
    for (int i = 0; i < record_size; ++i) EXPECT_EQ(0, row(117)[i]);
}

class MatcherTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        scan_state.disposition_choice = 100;
    }
};

TEST_F(MatcherTest, SampleOfTheFirstRowIsDetectedAndRemoved) {
    std::string sample = sample::make(row(0));
    ASSERT_EQ(23552u, sample.size());
    m().add_file("C:\\Dir\\sample.exe", sample);
    EXPECT_EQ(1, file_matcher("W32/Quelby.Trojan ", "C:\\Dir\\sample.exe"));
    EXPECT_EQ((std::vector<std::string>{"C:\\Dir\\sample.exe     W32/Quelby.Qgs.Dl.Trojan removed"}),
              window.lines);
    EXPECT_FALSE(m().exists("C:\\Dir\\sample.exe"));
    EXPECT_EQ(1, scan_state.files_infected);
    EXPECT_EQ(1, scan_state.files_removed);
    EXPECT_STREQ("W32/Quelby.Qgs.Dl.Trojan", scan_state.detection_name);
    EXPECT_STREQ("C:\\Dir\\sample.exe", scan_state.status_text);
    for (char c : scan_state.file_under_test) EXPECT_EQ(0, c);
}

TEST_F(MatcherTest, NearMissesAreQuietNonMatches) {
    const unsigned char *r = row(0);
    std::vector<std::string> misses = {
        sample::one_byte_longer(r), sample::pattern_byte_wrong(r, 1), sample::pattern_byte_wrong(r, 2),
        sample::pe_signature_broken(r), sample::too_many_sections(r), sample::header_offset_past_end(r),
        std::string(23552, 'x'),
    };
    for (size_t i = 0; i < misses.size(); ++i) {
        std::string path = "C:\\miss" + std::to_string(i) + ".exe";
        m().add_file(path, misses[i]);
        EXPECT_EQ(0, file_matcher("W32/Quelby.Trojan ", path.c_str())) << path;
        EXPECT_TRUE(m().exists(path));
    }
    EXPECT_TRUE(window.lines.empty());
    EXPECT_EQ(0, scan_state.files_infected);
}

TEST_F(MatcherTest, TwentySectionsIsTheLargestCountAccepted) {
    std::string s = sample::make(row(0));
    sample::put16(s, sample::pe_offset + pe::file_header_at + pe::number_of_sections, 20);
    m().add_file("C:\\twenty.exe", s);
    EXPECT_EQ(1, file_matcher("W32/Quelby.Trojan ", "C:\\twenty.exe"));
    EXPECT_EQ(1, scan_state.files_infected);
}

TEST_F(MatcherTest, WindowPastTheEndFailsItsRecord) {
    std::string p1(20, '\x11'), p2(20, '\x22');
    std::string fits = sample::record("Test.Fits", -16, p1, 16, p2, 8192) + std::string(108, '\0');
    std::string sample = sample::make(rec(fits));
    ASSERT_FALSE(sample.empty());
    // A second record asking for the second window 1000 bytes past the end.
    uint32_t entry = sample::entry_rva(rec(fits));
    int32_t past = (int32_t)(8192 - (entry - sample::section_rva + sample::section_file_offset)) + 1000;
    std::string table = sample::record("Test.Past", -16, p1, past, p2, 8192) + std::string(108, '\0');
    m().add_file("C:\\s.exe", sample);
    EXPECT_EQ(0, file_matcher_with_table(rec(table), "L", "C:\\s.exe"));
    EXPECT_EQ(1, file_matcher_with_table(rec(fits), "L", "C:\\s.exe"));
}

TEST_F(MatcherTest, FirstOfTwoMatchingRecordsWinsAndCountsOnce) {
    std::string p1(20, 'A'), p2(20, 'B');
    std::string first = sample::record("Test.First", -100, p1, 200, p2, 4096);
    std::string table = first + sample::record("Test.Second", -100, p1, 200, p2, 4096, 3) + std::string(108, '\0');
    m().add_file("C:\\both.exe", sample::make(rec(first)));
    EXPECT_EQ(1, file_matcher_with_table(rec(table), "W32/Quelby.Trojan ", "C:\\both.exe"));
    EXPECT_EQ((std::vector<std::string>{"C:\\both.exe     Test.First removed"}), window.lines);
    EXPECT_EQ(1, scan_state.files_infected);
}

TEST_F(MatcherTest, SizeRules) {
    std::string p1(20, 'C'), p2(20, 'D');
    std::string exact = sample::record("Exact", 0, p1, 40, p2, 6000);
    std::string sample6000 = sample::make(rec(exact));
    struct Case { int32_t size; int32_t rule; bool hit; } cases[] = {
        {6000, 1, true}, {6001, 1, false}, {6000 + 4095, 2, true}, {6000 - 4095, 2, true},
        {6000 + 4096, 2, false}, {6000 - 4096, 2, false}, {1, 3, true}, {6000, 0, false}, {6000, 4, false},
    };
    for (const Case &c : cases) {
        std::string table = sample::record("Rule", 0, p1, 40, p2, c.size, c.rule) + std::string(108, '\0');
        m().add_file("C:\\rule.exe", sample6000);
        EXPECT_EQ(c.hit ? 1 : 0, file_matcher_with_table(rec(table), "L", "C:\\rule.exe"))
            << "size " << c.size << " rule " << c.rule;
    }
}

TEST_F(MatcherTest, LengthNoRecordAcceptsCostsOpenLengthClose) {
    m().add_file("C:\\ordinary.dll", std::string(23551, 'o'));
    m().calls.clear();
    EXPECT_EQ(0, file_matcher("W32/Quelby.Trojan ", "C:\\ordinary.dll"));
    EXPECT_EQ(1, m().calls["_open"]);
    EXPECT_EQ(1, m().calls["_filelength"]);
    EXPECT_EQ(1, m().calls["_close"]);
    EXPECT_EQ(0, m().calls["_read"]);
    EXPECT_EQ(0, m().calls["_lseek"]);
}

TEST_F(MatcherTest, EveryIoFailureIsAQuietNonMatch) {
    for (const char *call : {"_open", "_filelength", "_lseek", "_read", "_read_short"}) {
        m().add_file("C:\\sample.exe", sample::make(row(0)));
        m().fail_calls.clear();
        m().fail_calls[call] = 1;
        EXPECT_EQ(0, file_matcher("W32/Quelby.Trojan ", "C:\\sample.exe")) << call;
        EXPECT_TRUE(m().exists("C:\\sample.exe")) << call;
    }
    m().fail_calls.clear();
    m().find("C:\\sample.exe")->unreadable = true;
    EXPECT_EQ(0, file_matcher("W32/Quelby.Trojan ", "C:\\sample.exe"));
    EXPECT_TRUE(window.lines.empty());
    EXPECT_EQ(0, scan_state.files_infected);
}

TEST_F(MatcherTest, RvaMappingFallbacks) {
    std::string s = sample::make(row(0));
    // A second section after the first, so "past every section" picks the last.
    sample::put16(s, sample::pe_offset + pe::file_header_at + pe::number_of_sections, 2);
    size_t sh2 = sample::pe_offset + pe::section_table_at + pe::section_header_size;
    sample::put32(s, sh2 + pe::section_virtual_size, 0x1000);
    sample::put32(s, sh2 + pe::section_virtual_address, 0x8000);
    sample::put32(s, sh2 + pe::section_pointer_to_raw_data, 0x2000);
    m().add_file("C:\\map.exe", s);
    int fd = os::_open("C:\\map.exe", _O_RDONLY | _O_BINARY);
    ASSERT_TRUE(read_pe_layout(fd));
    EXPECT_EQ(0x400u + 0x10u, rva_to_file_offset(0x1010, fd));           // first section
    // Between the sections: the first whose end lies above wins, its start unchecked.
    EXPECT_EQ(0x7010u + 0x2000u - 0x8000u, rva_to_file_offset(0x7010, fd));
    EXPECT_EQ(0x9010u - 0x8000u + 0x2000u, rva_to_file_offset(0x9010, fd));  // past all: last section
    EXPECT_EQ(0x30000u, rva_to_file_offset(0x30000, fd));  // maps past the end: the RVA itself
    EXPECT_EQ(0x400u, rva_to_file_offset(0xC00, fd));      // maps to 0: SizeOfHeaders
    os::_close(fd);

    // No sections: the RVA is the offset.
    sample::put16(s, sample::pe_offset + pe::file_header_at + pe::number_of_sections, 0);
    m().add_file("C:\\flat.exe", s);
    fd = os::_open("C:\\flat.exe", _O_RDONLY | _O_BINARY);
    ASSERT_TRUE(read_pe_layout(fd));
    EXPECT_EQ(0x1234u, rva_to_file_offset(0x1234, fd));
    os::_close(fd);
}

TEST_F(MatcherTest, MemoryPhaseOnlyRecordsTheHit) {
    m().add_file("C:\\Win\\proc.exe", sample::make(row(0)));
    scan_state.memory_phase = 1;
    EXPECT_EQ(1, file_matcher("W32/Quelby.Trojan ", "C:\\Win\\proc.exe"));
    EXPECT_EQ(1, scan_state.match_pending);
    EXPECT_EQ(0, scan_state.files_infected);  // counted when the memory scan reports it
    EXPECT_TRUE(m().exists("C:\\Win\\proc.exe"));
    EXPECT_STREQ("C:\\Win\\proc.exe", scan_state.file_under_test);
    EXPECT_TRUE(window.lines.empty());
}

TEST_F(MatcherTest, RemovedValueNameClearedOnlyBeforeTheFirstHit) {
    m().add_file("C:\\plain.txt", "text");
    std::strcpy(scan_state.removed_value_name, "Loader");
    scan_state.files_infected = 1;
    file_matcher("W32/Quelby.Trojan ", "C:\\plain.txt");
    EXPECT_STREQ("Loader", scan_state.removed_value_name);
    scan_state.files_infected = 0;
    file_matcher("W32/Quelby.Trojan ", "C:\\plain.txt");
    for (char c : scan_state.removed_value_name) EXPECT_EQ(0, c);
}

// The walker hands the matcher each file's listed size; only a size that some
// record's rule accepts is worth an open.
class ListedSizeTest : public MatcherTest {};

TEST_F(ListedSizeTest, WalkOpensOnlyCandidatesAndCountsEveryFile) {
    m().add_file("C:\\W\\sample.exe", sample::make(row(0)));
    m().add_file("C:\\W\\longer.exe", sample::one_byte_longer(row(0)));
    m().add_file("C:\\W\\notes.txt", std::string(4000, 'n'));
    m().add_file("C:\\W\\empty", "");
    m().add_file("C:\\W\\near.exe", sample::pattern_byte_wrong(row(0), 2));  // candidate size, no match
    m().opened.clear();
    directory_walker("C:\\*.*");
    EXPECT_EQ((std::vector<std::string>{"C:\\W\\sample.exe", "C:\\W\\near.exe"}), tested_files());
    EXPECT_EQ(5, scan_state.files_scanned);
    EXPECT_EQ(1, scan_state.files_infected);
    EXPECT_EQ(1, scan_state.files_removed);
    EXPECT_EQ((std::vector<std::string>{"C:\\W\\sample.exe     W32/Quelby.Qgs.Dl.Trojan removed"}), window.lines);
    for (char c : scan_state.file_under_test) EXPECT_EQ(0, c);
}

TEST_F(ListedSizeTest, EveryRuleDecidesWhetherToOpen) {
    std::string p1(20, 'C'), p2(20, 'D');
    std::string sample6000 = sample::make(rec(sample::record("Exact", 0, p1, 40, p2, 6000)));
    struct Case { int32_t size; int32_t rule; uint64_t listed; bool opened; } cases[] = {
        {6000, 1, 6000, true},      {6000, 1, 6001, false},     {6000, 2, 6000 + 4095, true},
        {6000, 2, 6000 - 4095, true}, {6000, 2, 6000 + 4096, false}, {6000, 2, 6000 - 4096, false},
        {6000, 3, 0, true},         {6000, 3, 1ull << 40, true}, {6000, 0, 6000, false},
        {6000, 4, 6000, false},     {6000, 1, (1ull << 32) + 6000, false},
    };
    for (const Case &c : cases) {
        std::string table = sample::record("Rule", 0, p1, 40, p2, c.size, c.rule) + std::string(108, '\0');
        m().add_file("C:\\rule.exe", sample6000);
        m().opened.clear();
        file_matcher_listed_with_table(rec(table), "L", "C:\\rule.exe", c.listed);
        EXPECT_EQ(c.opened ? 1u : 0u, tested_files().size()) << "size " << c.size << " rule " << c.rule << " listed "
                                                       << c.listed;
    }
}

TEST_F(ListedSizeTest, MemoryPhaseUsesTheSizeFoundForTheImage) {
    m().add_file("C:\\Win\\proc.exe", sample::make(row(0)));
    m().add_file("C:\\Win\\other.exe", std::string(900, 'o'));
    scan_state.memory_phase = 1;
    m().opened.clear();
    directory_walker("C:\\Win\\other.exe");
    EXPECT_TRUE(tested_files().empty());
    directory_walker("C:\\Win\\proc.exe");
    EXPECT_EQ((std::vector<std::string>{"C:\\Win\\proc.exe"}), tested_files());
    EXPECT_EQ(1, scan_state.match_pending);
    EXPECT_STREQ("C:\\Win\\proc.exe", scan_state.file_under_test);
    EXPECT_EQ(0, scan_state.files_scanned);
    // The re-test after the process ended reaches the disposition whatever the listing says.
    m().find("C:\\Win\\proc.exe")->listed_size = 5;
    scan_state.memory_choice = 100;
    directory_walker("C:\\Win\\proc.exe");
    EXPECT_FALSE(m().exists("C:\\Win\\proc.exe"));
    EXPECT_EQ(1, scan_state.files_removed);
}

TEST_F(ListedSizeTest, StaleListingIsTrusted) {
    // A second hard link whose directory entry still lists an old size: the
    // file is not opened through it. The reverse case opens the file and its
    // real length decides.
    m().add_file("C:\\A\\stale.exe", sample::make(row(0)))->listed_size = 512;
    m().add_file("C:\\B\\grown.exe", sample::one_byte_longer(row(0)))->listed_size = 23552;
    m().opened.clear();
    directory_walker("C:\\*.*");
    EXPECT_EQ((std::vector<std::string>{"C:\\B\\grown.exe"}), tested_files());
    EXPECT_EQ(2, scan_state.files_scanned);
    EXPECT_EQ(0, scan_state.files_infected);
}
