// Large inputs on the simulated machine: a huge folder, a tree as deep as
// the path bound allows, thousands of autorun values and processes, a
// megabyte rename file.
#include "test_support.h"

#include "engine/directory_walker.h"
#include "engine/signature_table.h"
#include "memory/memory_scan.h"
#include "repair/autorun_sweep.h"
#include "repair/restart_delete.h"
#include "tests/support/sample_maker.h"

class StressTest : public EngineTest {};

TEST_F(StressTest, HundredThousandFilesInOneFolder) {
    for (int i = 0; i < 100000; ++i) m().add_file("C:\\Big\\f" + std::to_string(i) + ".dat", "x");
    EXPECT_EQ(100000, directory_walker("C:\\Big\\*.*"));
}

TEST_F(StressTest, DeepestTreeWalksAndOneDeeperIsSkipped) {
    // Folders "d" nest until a pattern "...\d\*.*" reaches 259 characters.
    std::string path = "C:";
    while (path.size() + 2 + 4 <= 259) path += "\\d";
    // The deepest folder the walk enters is path; one deeper is never entered.
    m().add_file(path + "\\d\\x", "1");
    m().add_file(path + "\\y", "2");
    int32_t n = directory_walker("C:\\*.*");
    EXPECT_EQ(1, n);
    for (const std::string &s : window.statuses) EXPECT_LE(s.size(), 60u);
}

TEST_F(StressTest, TenThousandAutorunValues) {
    const char *run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    std::strcpy(scan_state.file_under_test, "C:\\X\\evil.exe");
    for (int i = 0; i < 10000; ++i)
        m().reg_set(HKEY_LOCAL_MACHINE, run, "v" + std::to_string(i),
                    i % 3 == 0 ? "c:\\x\\evil.exe /n" + std::to_string(i) : "c:\\x\\good" + std::to_string(i) + ".exe");
    scan_state.report_window = nullptr;
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    sim::RegKey *k = m().reg_key(HKEY_LOCAL_MACHINE, run, false);
    ASSERT_TRUE(k);
    EXPECT_EQ(10000u - 3334u, k->values.size());
    for (const sim::RegValue &v : k->values) EXPECT_EQ(std::string::npos, v.data.find("evil"));
}

TEST_F(StressTest, FiveThousandProcesses) {
    m().set_version(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    m().add_file("C:\\W\\clean.exe", "c");
    std::string sample = sample::make(signature_table);
    m().add_file("C:\\W\\evil.exe", sample);
    for (DWORD pid = 1; pid <= 5000; ++pid) m().add_process(pid, pid == 4321 ? "C:\\W\\evil.exe" : "C:\\W\\clean.exe");
    scan_state.disposition_choice = 100;
    memory_scan();
    EXPECT_EQ((std::vector<DWORD>{4321}), m().terminated);
    EXPECT_FALSE(m().exists("C:\\W\\evil.exe"));
    EXPECT_EQ(0, m().open_handles);
}

TEST_F(StressTest, MegabyteRenameFileWithLongLines) {
    m().set_version(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    m().add_dir("C:\\WINDOWS\\TEMP");
    m().add_file("C:\\EVIL.EXE", "x");
    std::string before = "[rename]\r\n";
    while (before.size() < 1000000) before += "; " + std::string(3000, 'q') + "\r\nNUL=C:\\OLD.EXE\r\n";
    before += "[Next]\r\n";
    m().add_file("C:\\WINDOWS\\wininit.ini", before);
    EXPECT_EQ(1, schedule_delete_at_restart("C:\\EVIL.EXE"));
    std::string after = m().file_data("C:\\WINDOWS\\wininit.ini");
    size_t entry = after.find("NUL=C:\\EVIL.EXE\r\n[Next]\r\n");
    EXPECT_NE(std::string::npos, entry);
    EXPECT_EQ(std::count(before.begin(), before.end(), '['), std::count(after.begin(), after.end(), '['));
}
