// The hosts-file text scanner: gate, windows, modes, the built-in record.
#include "test_support.h"

#include "repair/text_signature.h"
#include "tests/support/sample_maker.h"

namespace {
// The worm's hosts file, uuencoded as it leaves it.
const std::string hijacked =
    "begin 644 hosts\n"
    "M,3(W+C N,\"XQ(\" @(\" @(&QO8V%L:&]S= T*,3(W+C N,\"XQ(\" @(\" @(\'=I\n"
    "M;F1O=W-U<&1A=&4N;6EC<F]S;V9T+F-O;0T*,3(W+C N,\"XQ(\" @(\" @(\'5P\n"
    "M9&%T92YM:6-R;W-O9G0N8V]M#0HQ,C<N,\"XP+C$@(\" @(\" @9&]W;FQO860N\n"
    "/;6EC<F]S;V9T+F-O;0T*\n"
    "`\nend\n";

std::string text_record(const char *name, uint16_t length, const std::string &pattern, int16_t window,
                        int16_t mode, int16_t offset = 0, int16_t size_rule = 0, int32_t size = 0) {
    std::string r(text_record_size, '\0');
    std::strncpy(&r[0], name, 24);
    sample::put32(r, text_field_size, (uint32_t)size);
    sample::put16(r, text_field_offset, (uint16_t)offset);
    sample::put16(r, text_field_length, length);
    sample::put16(r, text_field_window, (uint16_t)window);
    std::memcpy(&r[text_field_pattern], pattern.data(), std::min<size_t>(pattern.size(), 100));
    sample::put16(r, text_field_mode, (uint16_t)mode);
    sample::put16(r, text_field_size_rule, (uint16_t)size_rule);
    return r;
}
}  // namespace

class TextSignatureTest : public EngineTest {
protected:
    const char *hosts = "C:\\WINDOWS\\hosts";
    std::string content;
    // Scans a fresh copy of content (a hit deletes the file).
    int scan(const std::string &table) {
        if (!content.empty()) m().add_file(hosts, content);
        return text_signature_scan_with_table((const unsigned char *)table.data(),
                                              (int)(table.size() / text_record_size), hosts);
    }
};

TEST_F(TextSignatureTest, BuiltInRecordFindsTheHijackedHostsFileOnce) {
    m().add_file(hosts, hijacked);
    m().add_file("C:\\WINDOWS\\hosts2", hijacked);
    EXPECT_EQ(1, text_signature_scan(hosts));
    EXPECT_EQ(1, text_signature_scan("C:\\WINDOWS\\hosts2"));  // de-scrambled once, still matches
    EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\hosts     W32/Nyxem.Worm removed",
                                        "C:\\WINDOWS\\hosts2     W32/Nyxem.Worm removed"}),
              window.lines);
    EXPECT_EQ(2, scan_state.files_infected);
    EXPECT_EQ(2, scan_state.files_removed);
    EXPECT_STREQ("W32/Nyxem.Worm", scan_state.detection_name);
    // An ordinary hosts file, or an ordinary uuencoded one, is left alone.
    m().add_file(hosts, "# hosts\r\n127.0.0.1 localhost\r\n");
    EXPECT_EQ(0, text_signature_scan(hosts));
    m().add_file(hosts, "begin 644 hosts\nM,3(W+C N,\"XQ(&QO8V%L:&]S=`T*\n`\nend\n");
    EXPECT_EQ(0, text_signature_scan(hosts));
    EXPECT_TRUE(m().exists(hosts));
}

TEST_F(TextSignatureTest, AFileHeldForAMomentIsLeftOnlyUntilItGoes) {
    m().add_file(hosts, hijacked);
    m().fail_calls["DeleteFileA"] = 1;
    EXPECT_EQ(1, text_signature_scan(hosts));
    EXPECT_STREQ(hosts, scan_state.text_file_left);
    EXPECT_EQ(1, text_signature_scan(hosts));  // the next find deletes it
    EXPECT_STREQ("", scan_state.text_file_left);
    EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\hosts     W32/Nyxem.Worm Remove failed",
                                        "C:\\WINDOWS\\hosts     W32/Nyxem.Worm removed"}),
              window.lines);
    // Left, then gone by other hands, or cleaned: no longer left.
    for (bool cleaned : {false, true}) {
        m().add_file(hosts, hijacked);
        m().fail_calls["DeleteFileA"] = 1;
        text_signature_scan(hosts);
        if (cleaned) m().add_file(hosts, "127.0.0.1 localhost\r\n");
        else os::DeleteFileA(hosts);
        EXPECT_EQ(0, text_signature_scan(hosts));
        EXPECT_STREQ("", scan_state.text_file_left);
    }
}

TEST_F(TextSignatureTest, GateAndReadOnlyFile) {
    std::string table = text_record("T", 3, "xyz", 0, 1);
    m().add_file(hosts, "BeGiN xyz");
    EXPECT_EQ(1, scan(table));
    m().add_file(hosts, "# begin xyz");
    EXPECT_EQ(0, scan(table));
    m().add_file(hosts, "begi");
    EXPECT_EQ(0, scan(table));
    m().add_file(hosts, "begin xyz", FILE_ATTRIBUTE_READONLY);
    window.lines.clear();
    EXPECT_EQ(1, scan(table));
    EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\hosts     T Remove failed"}), window.lines);
    EXPECT_TRUE(m().exists(hosts));
}

TEST_F(TextSignatureTest, WhitespaceSplitsNoPatternAndLongRecordsAreSkipped) {
    m().add_file(hosts, "begin\r\n ab \t c\x0b\x0c" "d");
    EXPECT_EQ(1, scan(text_record("Split", 4, "abcd", 0, 1)));
    m().add_file(hosts, "begin abcd");
    EXPECT_EQ(0, scan(text_record("Long", 11, "beginabcd", 0, 1)));  // longer than the file
}

TEST_F(TextSignatureTest, HeadAndTailWindowsAtTheBoundary) {
    // Exactly 4096 bytes: both texts are the whole file.
    std::string exact = "begin" + std::string(4091, '.');
    exact.replace(100, 4, "HEAD");
    exact.replace(4000, 4, "TAIL");
    content = exact;
    EXPECT_EQ(1, scan(text_record("H", 4, "TAIL", 0, 1)));
    EXPECT_EQ(1, scan(text_record("T", 4, "HEAD", 1, 1)));
    // 4097 bytes: the head misses the last byte, the tail the first.
    std::string over = "begin" + std::string(4091, '.') + "Z";
    over.replace(5, 1, "A");
    content = over;
    EXPECT_EQ(0, scan(text_record("H", 2, ".Z", 0, 1)));
    EXPECT_EQ(1, scan(text_record("T", 2, ".Z", 1, 1)));
    EXPECT_EQ(1, scan(text_record("H", 2, "be", 0, 1)));
    EXPECT_EQ(0, scan(text_record("T", 2, "be", 1, 1)));
}

TEST_F(TextSignatureTest, FixedOffsetModeInBothWindows) {
    content = "begin 0123456789";
    EXPECT_EQ(1, scan(text_record("H", 3, "012", 0, 0, 5)));
    EXPECT_EQ(0, scan(text_record("H", 3, "123", 0, 0, 5)));
    EXPECT_EQ(1, scan(text_record("T", 3, "789", 1, 0, 3)));
    EXPECT_EQ(0, scan(text_record("T", 3, "789", 1, 0, 40)));  // start before the text: zeros
    EXPECT_EQ(0, scan(text_record("W", 3, "012", 2, 1)));       // no such window
}

TEST_F(TextSignatureTest, SizeRules) {
    content = "begin xyz";  // 9 bytes
    EXPECT_EQ(1, scan(text_record("S", 3, "xyz", 0, 1, 0, 16, 9)));
    EXPECT_EQ(0, scan(text_record("S", 3, "xyz", 0, 1, 0, 16, 10)));
    EXPECT_EQ(1, scan(text_record("S", 3, "xyz", 0, 1, 0, 17, 9 + 4096)));
    EXPECT_EQ(0, scan(text_record("S", 3, "xyz", 0, 1, 0, 17, 9 + 4097)));
}

TEST(FindPattern, StopsAtTheSpanAndTheArea) {
    unsigned char area[4097] = {0};
    std::memcpy(area + 4090, "abcdefg", 7);
    EXPECT_EQ(1, find_pattern(area, 4096, (const unsigned char *)"abcdefg", 7));
    EXPECT_EQ(0, find_pattern(area, 4090, (const unsigned char *)"abcdefg", 7));
    EXPECT_EQ(0, find_pattern(area, 4096, (const unsigned char *)"abcdefgh", 8));
}
