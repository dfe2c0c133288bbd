// The simulated machine behaves like Windows where the engine relies on it.
#include "test_support.h"

using sim::wildcard_match;

TEST(SimWildcard, FollowsFindFirstFileRules) {
    EXPECT_TRUE(wildcard_match("*.*", "README"));
    EXPECT_TRUE(wildcard_match("*.*", "a.b.c"));
    EXPECT_TRUE(wildcard_match("*", "x.exe"));
    EXPECT_TRUE(wildcard_match("prog.*", "prog"));
    EXPECT_TRUE(wildcard_match("prog.*", "PROG.EXE"));
    EXPECT_FALSE(wildcard_match("prog.*", "program.exe"));
    EXPECT_TRUE(wildcard_match("a?c", "abc"));
    EXPECT_FALSE(wildcard_match("a?c", "ac"));
    EXPECT_TRUE(wildcard_match("prog.exe", "Prog.Exe"));
}

class SimTest : public EngineTest {};

TEST_F(SimTest, FindListsDotsOutsideTheRootOnly) {
    m().add_drive('C', DRIVE_FIXED);
    m().add_file("C:\\a.txt", "1");
    m().add_file("C:\\Dir\\b.txt", "22");
    auto names = [](const char *pattern) {
        std::vector<std::string> out;
        WIN32_FIND_DATAA d;
        HANDLE h = os::FindFirstFileA(pattern, &d);
        if (h == INVALID_HANDLE_VALUE) return out;
        do out.push_back(d.cFileName);
        while (os::FindNextFileA(h, &d));
        os::FindClose(h);
        return out;
    };
    EXPECT_EQ((std::vector<std::string>{"a.txt", "Dir"}), names("C:\\*.*"));
    EXPECT_EQ((std::vector<std::string>{".", "..", "b.txt"}), names("c:\\dir\\*.*"));
    EXPECT_TRUE(names("C:\\Missing\\*.*").empty());
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, (long)os::GetLastError());
}

TEST_F(SimTest, DeleteRefusesReadOnlyAndOpenFiles) {
    m().add_file("C:\\ro.exe", "x", FILE_ATTRIBUTE_READONLY);
    m().add_file("C:\\open.exe", "x");
    EXPECT_FALSE(os::DeleteFileA("C:\\ro.exe"));
    EXPECT_TRUE(os::SetFileAttributesA("C:\\ro.exe", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(os::DeleteFileA("C:\\ro.exe"));
    int fd = os::_open("C:\\open.exe", _O_RDONLY | _O_BINARY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(os::DeleteFileA("C:\\open.exe"));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, (long)os::GetLastError());
    os::_close(fd);
    EXPECT_TRUE(os::DeleteFileA("C:\\open.exe"));
    EXPECT_FALSE(m().exists("C:\\open.exe"));
}

TEST_F(SimTest, RegistryValuesAreCaseInsensitiveAndCounted) {
    m().reg_set(HKEY_LOCAL_MACHINE, "Software\\Test", "Value", "text");
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\TEST", 0, KEY_READ, &key));
    char buf[3];
    DWORD size = sizeof buf;
    EXPECT_EQ(ERROR_MORE_DATA, os::RegQueryValueExA(key, "value", nullptr, nullptr, (BYTE *)buf, &size));
    EXPECT_EQ(5u, size);
    EXPECT_EQ(ERROR_SUCCESS, os::RegDeleteValueA(key, "VALUE"));
    EXPECT_EQ(1, m().open_keys);
    os::RegCloseKey(key);
    EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, "Software\\Test", "Value"));
}

TEST_F(SimTest, AnOpenHandleKeepsAProcessIdFromReuse) {
    m().add_process(7, "C:\\evil.exe");
    HANDLE h = os::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, 7);
    ASSERT_NE(nullptr, h);
    m().end_process(7, "C:\\notepad.exe");
    EXPECT_FALSE(m().process(7)->running);  // the id waits for the handle
    EXPECT_FALSE(os::TerminateProcess(h, 0));
    os::CloseHandle(h);
    ASSERT_TRUE(m().process(7)->running);
    EXPECT_EQ("C:\\notepad.exe", m().process(7)->image);
    m().end_process(7, "C:\\calc.exe");  // no handle: at once
    EXPECT_EQ("C:\\calc.exe", m().process(7)->image);
    // One that exits as it is opened to be ended: the open finds its successor.
    sim::Process &p = m().add_process(9, "C:\\evil.exe");
    p.exits_on_its_own = true;
    p.id_successor = "C:\\notepad.exe";
    h = os::OpenProcess(PROCESS_TERMINATE, FALSE, 9);
    EXPECT_TRUE(os::TerminateProcess(h, 0));
    os::CloseHandle(h);
    EXPECT_EQ((std::vector<std::string>{"C:\\notepad.exe"}), m().terminated_images);
}
