// The walker and driver through the real backend: a folder tree on a fixed
// drive of the sandbox, drive letters of other types beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine/directory_walker.h"
#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "tests/win32/win32_support.h"

class Win32Walk : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&scan_state, 0, sizeof scan_state);
        window.create();
    }
    void TearDown() override { window.destroy(); }
    Win32ReportWindow window;
};

TEST_F(Win32Walk, DriveTypesOfTheSandbox) {
    EXPECT_EQ((UINT)DRIVE_FIXED, os::GetDriveTypeA("C:\\"));
    EXPECT_EQ((UINT)DRIVE_FIXED, os::GetDriveTypeA("D:\\"));
    EXPECT_EQ((UINT)DRIVE_CDROM, os::GetDriveTypeA("E:\\"));
    EXPECT_EQ((UINT)DRIVE_REMOTE, os::GetDriveTypeA("F:\\"));
    EXPECT_EQ((UINT)DRIVE_NO_ROOT_DIR, os::GetDriveTypeA("Z:\\"));
}

TEST_F(Win32Walk, EntriesSizesAndAttributesAsOnTheHost) {
    ASSERT_TRUE(CreateDirectoryA("D:\\tree", nullptr));
    ASSERT_TRUE(CreateDirectoryA("D:\\tree\\sub", nullptr));
    ASSERT_TRUE(CreateDirectoryA("D:\\tree\\sub\\deeper", nullptr));
    ASSERT_TRUE(write_file("D:\\tree\\a.exe", 1234));
    ASSERT_TRUE(write_file("D:\\tree\\hidden.sys", 7, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(write_file("D:\\tree\\sub\\ro.dll", 0, FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(write_file("D:\\tree\\sub\\deeper\\noext", 99));

    WIN32_FIND_DATAA d;
    HANDLE h = os::FindFirstFileA("D:\\tree\\*.*", &d);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<std::string> names;
    do {
        names.push_back(d.cFileName);
        if (!std::strcmp(d.cFileName, "a.exe")) {
            EXPECT_EQ(1234u, d.nFileSizeLow);
        }
        if (!std::strcmp(d.cFileName, "hidden.sys")) {
            EXPECT_TRUE(d.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
            EXPECT_TRUE(d.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM);
        }
        if (!std::strcmp(d.cFileName, "sub")) {
            EXPECT_TRUE(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        }
    } while (os::FindNextFileA(h, &d));
    os::FindClose(h);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{".", "..", "a.exe", "hidden.sys", "sub"}), names);

    EXPECT_EQ(4, directory_walker("D:\\tree\\*.*"));
    EXPECT_EQ(4, scan_state.files_scanned);
    std::vector<std::string> shown = window.statuses;
    std::sort(shown.begin(), shown.end());
    std::vector<std::string> want = {
        "D:\\tree\\.", "D:\\tree\\..", "D:\\tree\\a.exe", "D:\\tree\\hidden.sys", "D:\\tree\\sub",
        "D:\\tree\\sub\\.", "D:\\tree\\sub\\..", "D:\\tree\\sub\\deeper", "D:\\tree\\sub\\deeper\\.",
        "D:\\tree\\sub\\deeper\\..", "D:\\tree\\sub\\deeper\\noext", "D:\\tree\\sub\\ro.dll",
    };
    EXPECT_EQ(want, shown);
    // The files of a folder come before anything inside its subfolders.
    auto at = [&](const char *s) {
        return std::find(window.statuses.begin(), window.statuses.end(), s) - window.statuses.begin();
    };
    EXPECT_LT(at("D:\\tree\\a.exe"), at("D:\\tree\\sub\\ro.dll"));
    EXPECT_LT(at("D:\\tree\\sub\\ro.dll"), at("D:\\tree\\sub\\deeper\\noext"));
}

TEST_F(Win32Walk, DriverWalksFixedDrivesOnly) {
    ASSERT_TRUE(write_file("D:\\root-file.txt", 3));
    // E: (CD-ROM) and F: (network) hold files the driver must never see.
    std::string sandbox = getenv("PELLMARK_SANDBOX") ? getenv("PELLMARK_SANDBOX") : "";
    ASSERT_FALSE(sandbox.empty());
    ASSERT_TRUE(write_file("E:\\on-cdrom.exe", 5));
    ASSERT_TRUE(write_file("F:\\on-share.exe", 5));
    scan_driver();
    for (const std::string &s : window.statuses) {
        EXPECT_NE('E', s[0]) << s;
        EXPECT_NE('F', s[0]) << s;
    }
    EXPECT_NE(window.statuses.end(),
              std::find(window.statuses.begin(), window.statuses.end(), "D:\\root-file.txt"));
    ASSERT_EQ(5u, window.lines.size());
    EXPECT_EQ("Scanning statistics", window.lines[0]);
    EXPECT_EQ("Scanning completed", window.statuses.back());
    EXPECT_GT(scan_state.files_scanned, 100);  // C: holds the Windows folder
}
