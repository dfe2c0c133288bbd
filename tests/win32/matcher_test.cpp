// The matcher and disposition through the real C runtime and file system:
// made samples on a fixed drive of the sandbox.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/file_matcher.h"
#include "engine/scan_state.h"
#include "engine/signature_table.h"
#include "tests/support/sample_maker.h"
#include "tests/win32/win32_support.h"

namespace {
bool plant(const std::string &path, const std::string &data, DWORD attributes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    WriteFile(h, data.data(), (DWORD)data.size(), &written, nullptr);
    CloseHandle(h);
    return written == data.size() && SetFileAttributesA(path.c_str(), attributes);
}
bool exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }
}  // namespace

class Win32Matcher : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&scan_state, 0, sizeof scan_state);
        scan_state.disposition_choice = 100;
        window.create();
        CreateDirectoryA("D:\\m", nullptr);
    }
    void TearDown() override { window.destroy(); }
    Win32ReportWindow window;
};

TEST_F(Win32Matcher, ReadOnlyHiddenSystemSampleIsRemoved) {
    ASSERT_TRUE(plant("D:\\m\\s.exe", sample::make(signature_table),
                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(1, file_matcher("W32/Quelby.Trojan ", "D:\\m\\s.exe"));
    EXPECT_FALSE(exists("D:\\m\\s.exe"));
    ASSERT_EQ(1u, window.lines.size());
    EXPECT_EQ("D:\\m\\s.exe     W32/Quelby.Qgs.Dl.Trojan removed", window.lines[0]);
}

TEST_F(Win32Matcher, NearMissesStay) {
    const unsigned char *r = signature_table;
    std::string misses[] = {sample::one_byte_longer(r), sample::pattern_byte_wrong(r, 1),
                            sample::pe_signature_broken(r), sample::too_many_sections(r),
                            sample::header_offset_past_end(r)};
    int i = 0;
    for (const std::string &d : misses) {
        std::string path = "D:\\m\\miss" + std::to_string(i++) + ".exe";
        ASSERT_TRUE(plant(path, d, FILE_ATTRIBUTE_ARCHIVE));
        EXPECT_EQ(0, file_matcher("W32/Quelby.Trojan ", path.c_str())) << path;
        EXPECT_TRUE(exists(path.c_str()));
    }
    EXPECT_TRUE(window.lines.empty());
}

TEST_F(Win32Matcher, OpenFileCannotBeRemoved) {
    ASSERT_TRUE(plant("D:\\m\\held.exe", sample::make(signature_table), FILE_ATTRIBUTE_ARCHIVE));
    HANDLE h = CreateFileA("D:\\m\\held.exe", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(1, file_matcher("W32/Quelby.Trojan ", "D:\\m\\held.exe"));
    CloseHandle(h);
    EXPECT_TRUE(exists("D:\\m\\held.exe"));
    ASSERT_EQ(1u, window.lines.size());
    EXPECT_EQ("D:\\m\\held.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove", window.lines[0]);
}

TEST_F(Win32Matcher, MalformedCorpusAndUnopenableFile) {
    size_t hits = 0;
    for (const sample::named_file &f : sample::malformed(signature_table)) {
        std::string path = "D:\\m\\" + f.name;
        ASSERT_TRUE(plant(path, f.data, FILE_ATTRIBUTE_ARCHIVE)) << path;
        EXPECT_EQ(f.matches ? 1 : 0, file_matcher("W32/Quelby.Trojan ", path.c_str())) << path;
        EXPECT_EQ(!f.matches, exists(path.c_str())) << path;
        hits += f.matches;
    }
    EXPECT_EQ(hits, window.lines.size());

    // A sample that another program holds without sharing cannot be opened:
    // it is passed over, not reported.
    ASSERT_TRUE(plant("D:\\m\\denied.exe", sample::make(signature_table), FILE_ATTRIBUTE_ARCHIVE));
    HANDLE h = CreateFileA("D:\\m\\denied.exe", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0, file_matcher("W32/Quelby.Trojan ", "D:\\m\\denied.exe"));
    CloseHandle(h);
    EXPECT_TRUE(exists("D:\\m\\denied.exe"));
    EXPECT_EQ(hits, window.lines.size());
}
