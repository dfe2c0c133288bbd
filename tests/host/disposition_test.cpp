// What happens to an infected file, and the uninstall entry cleanup that
// follows every deletion.
#include "test_support.h"

#include "engine/file_matcher.h"
#include "engine/scan_driver.h"
#include "engine/signature_table.h"
#include "repair/uninstall_entry.h"
#include "tests/support/sample_maker.h"

namespace {
const char *uninstall_key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v";
const char *run_key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
}  // namespace

class DispositionTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        scan_state.disposition_choice = 100;
        sample_data = sample::make(signature_table);
    }
    std::string sample_data;
};

TEST_F(DispositionTest, ReadOnlyHiddenSystemSamplesAreRemoved) {
    DWORD kinds[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
    for (DWORD a : kinds) {
        m().add_file("C:\\s.exe", sample_data, a);
        EXPECT_EQ(1, file_matcher("W32/Quelby.Trojan ", "C:\\s.exe"));
        EXPECT_FALSE(m().exists("C:\\s.exe")) << a;
    }
    EXPECT_EQ(4, scan_state.files_removed);
}

TEST_F(DispositionTest, LockedFileIsReportedUnableToRemove) {
    m().add_file("C:\\held.exe", sample_data)->locked = true;
    file_matcher("W32/Quelby.Trojan ", "C:\\held.exe");
    EXPECT_EQ((std::vector<std::string>{"C:\\held.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove"}),
              window.lines);
    EXPECT_EQ(1, scan_state.files_infected);
    EXPECT_EQ(0, scan_state.files_removed);
    EXPECT_TRUE(m().exists("C:\\held.exe"));
}

TEST_F(DispositionTest, AttributesThatCannotBeResetStopEverything) {
    m().add_file("C:\\s.exe", sample_data, FILE_ATTRIBUTE_READONLY);
    m().fail_calls["SetFileAttributesA"] = 1;
    file_matcher("W32/Quelby.Trojan ", "C:\\s.exe");
    EXPECT_EQ((std::vector<std::string>{"C:\\s.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove"}),
              window.lines);
    EXPECT_EQ(0, m().calls["DeleteFileA"]);
    EXPECT_EQ(0, scan_state.restart_needed);
}

TEST_F(DispositionTest, MemoryRetestReportsMemoryThenTheFileUnderTheLabel) {
    m().add_file("C:\\Win\\proc.exe", sample_data);
    scan_state.memory_phase = 1;
    scan_state.memory_choice = 100;
    EXPECT_EQ(0, file_matcher("W32/Quelby.Trojan ", "C:\\Win\\proc.exe"));
    EXPECT_EQ((std::vector<std::string>{"System Memory    W32/Quelby.Trojan  removed",
                                        "C:\\Win\\proc.exe     W32/Quelby.Trojan  removed"}),
              window.lines);
    EXPECT_EQ(1000u, m().slept_ms);
    EXPECT_EQ(1, scan_state.files_infected);
    EXPECT_EQ(1, scan_state.files_removed);
    EXPECT_EQ(0, m().calls["_open"]);
    EXPECT_FALSE(m().exists("C:\\Win\\proc.exe"));
}

TEST_F(DispositionTest, WalkPassesOverOnlyAMemoryFileThatStillWaitsForTheRestart) {
    const char *path = "C:\\APPS\\evil.exe";
    const std::string gone = std::string(path) + "     W32/Quelby.Trojan  removed";
    const std::string found = std::string(path) + "     W32/Quelby.Qgs.Dl.Trojan removed";
    const std::string held = std::string(path) + "     W32/Quelby.Trojan  Unable to remove";
    const char *memory_line = "System Memory    W32/Quelby.Trojan  removed";
    // The memory scan's re-test, then the drive walk's hit on the same path.
    auto memory_then_walk = [&](std::function<void()> between) {
        scan_state.memory_phase = 1;
        scan_state.memory_choice = 100;
        file_matcher("W32/Quelby.Trojan ", path);
        scan_state.memory_phase = 0;
        scan_state.memory_choice = 0;
        between();
        file_matcher("W32/Quelby.Trojan ", path);
    };
    struct Case {
        const char *name;
        bool locked;
        const char *failing;
        std::function<void()> between;
        std::vector<std::string> lines;
        int infected, removed, restart;
    } cases[] = {
        // Deleted, then written again by a copy the memory scan left running:
        // a new find, counted and removed.
        {"rewritten", false, nullptr, [&] { m().add_file(path, sample_data); },
         {memory_line, gone, found}, 2, 2, 0},
        // Scheduled for the restart: handled, neither reported nor counted again.
        {"scheduled", true, nullptr, [] {}, {memory_line, held}, 1, 0, 1},
        // Left without a scheduled deletion: still the same find, reported once.
        {"left", true, "MoveFileExA", [] {}, {memory_line, held}, 1, 0, 0},
    };
    for (const Case &c : cases) {
        sim::reset();
        std::memset(&scan_state, 0, sizeof scan_state);
        window = ReportWindow();
        window.attach();
        scan_state.disposition_choice = 100;
        m().add_file(path, sample_data)->locked = c.locked;
        if (c.failing) m().fail_calls[c.failing] = 1;
        memory_then_walk(c.between);
        EXPECT_EQ(c.lines, window.lines) << c.name;
        EXPECT_EQ(c.infected, scan_state.files_infected) << c.name;
        EXPECT_EQ(c.removed, scan_state.files_removed) << c.name;
        EXPECT_EQ(c.restart, scan_state.restart_needed) << c.name;
        EXPECT_EQ(c.removed == 0, m().exists(path)) << c.name;
    }
}

TEST_F(DispositionTest, UninstallEntryCleanupAfterDeletion) {
    m().reg_set(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString", "C:\\Program Files\\rhcjg7j0e38v\\uninstall.exe");
    m().reg_set(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayName", "keep");
    m().reg_set(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v", "C:\\WINDOWS\\rhcjg7j0e38v.exe");
    m().reg_set(HKEY_LOCAL_MACHINE, run_key, "Other", "C:\\other.exe");
    m().add_file("C:\\s.exe", sample_data);
    file_matcher("W32/Quelby.Trojan ", "C:\\s.exe");
    EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, uninstall_key));
    EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString"));
    EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayName"));
    EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v"));
    EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, run_key, "Other"));
}

class UninstallTest : public EngineTest {};

TEST_F(UninstallTest, WhatStaysAndWhatGoes) {
    // No uninstall key: the Run value is not even looked at.
    m().reg_set(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v", "C:\\rhcjg7j0e38v.exe");
    EXPECT_EQ(0, uninstall_entry_cleanup());
    EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v"));

    // Other letter case stays, and the Run value is still examined.
    m().reg_set(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString", "C:\\X\\UNINSTALL.EXE");
    EXPECT_EQ(1, uninstall_entry_cleanup());
    EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString"));
    EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v"));

    // A Run value naming another file stays.
    m().reg_set(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v", "C:\\something-else.exe");
    EXPECT_EQ(1, uninstall_entry_cleanup());
    EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v"));
}

TEST_F(UninstallTest, LongValuesAreTestedOnTheirFirstHundredBytes) {
    std::string head = "C:\\" + std::string(60, 'a') + "\\uninstall.exe";  // inside 100 bytes
    m().reg_set(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString", head + std::string(200, ' '));
    m().reg_set(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v", "C:\\" + std::string(120, 'b') + "\\rhcjg7j0e38v.exe");
    EXPECT_EQ(1, uninstall_entry_cleanup());
    EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString"));
    EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, run_key, "SMrhcjg7j0e38v"));  // name beyond 100 bytes

    // Binary data without a terminating zero is never read past its end.
    m().reg_set_raw(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString", std::string(100, 'u'), REG_BINARY);
    EXPECT_EQ(1, uninstall_entry_cleanup());
}

TEST_F(UninstallTest, FailingCallsEndWithZeroAndCloseTheKey) {
    m().reg_set(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString", "uninstall.exe");
    for (const char *call : {"RegOpenKeyExA", "RegQueryValueExA", "RegDeleteValueA"}) {
        m().fail_calls.clear();
        m().fail_calls[call] = 1;
        EXPECT_EQ(0, uninstall_entry_cleanup()) << call;
        EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, uninstall_key, "UninstallString")) << call;
    }
}

TEST_F(DispositionTest, WholeMachineScanSeesExactlyTheSamples) {
    m().add_file("C:\\root.exe", sample_data, FILE_ATTRIBUTE_HIDDEN);
    m().add_file("C:\\Program Files\\App\\app.exe", sample_data, FILE_ATTRIBUTE_READONLY);
    m().add_file("C:\\Program Files\\App\\near.exe", sample::one_byte_longer(signature_table));
    m().add_file("C:\\Windows\\System\\deep\\er\\still.dll", sample_data, FILE_ATTRIBUTE_SYSTEM);
    m().add_file("C:\\Windows\\System\\wrong.dll", sample::pattern_byte_wrong(signature_table, 2));
    m().add_file("C:\\Windows\\notepad.exe", std::string(23552, 'n'));
    m().add_file("C:\\readme.txt", "hello");
    m().add_file("D:\\data\\copy.exe", sample_data);
    scan_driver();
    std::vector<std::string> want = {
        "C:\\root.exe     W32/Quelby.Qgs.Dl.Trojan removed",
        "C:\\Program Files\\App\\app.exe     W32/Quelby.Qgs.Dl.Trojan removed",
        "C:\\Windows\\System\\deep\\er\\still.dll     W32/Quelby.Qgs.Dl.Trojan removed",
        "D:\\data\\copy.exe     W32/Quelby.Qgs.Dl.Trojan removed",
        " ",
        "Scanning statistics",
        "------------------------------",
        "Total files scanned\t\t:  8",
        "Total files infected\t\t:  4",
        "Total files removed\t\t:  4",
    };
    EXPECT_EQ(want, window.lines);
    EXPECT_EQ((std::vector<std::string>{"C:\\Program Files\\App\\near.exe", "C:\\Windows\\System\\wrong.dll",
                                        "C:\\Windows\\notepad.exe", "C:\\readme.txt"}),
              m().all_files());
}
