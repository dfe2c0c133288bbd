// Deletion at the next restart: wininit.ini on the 9x family, the delayed
// move on the NT family, and what restart_needed keeps.
#include "test_support.h"

#include "engine/file_matcher.h"
#include "engine/signature_table.h"
#include "repair/restart_delete.h"
#include "tests/support/sample_maker.h"

namespace {
const char *ini = "C:\\WINDOWS\\wininit.ini";
}

class RestartDeleteTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        m().set_version(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
        m().add_dir("C:\\WINDOWS\\TEMP");
        sim::Node *dir = m().add_dir("C:\\Program Files");
        dir->short_name = "PROGRA~1";
        m().add_file("C:\\Program Files\\Evil Tool.exe", "x")->short_name = "EVILTO~1.EXE";
        m().add_file("C:\\Program Files\\second.exe", "y")->short_name = "SECOND.EXE";
    }
    std::string after(const std::string &before) {
        if (!before.empty() || before == "<empty>") m().add_file(ini, before == "<empty>" ? "" : before);
        EXPECT_EQ(1, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe"));
        return m().file_data(ini);
    }
};

TEST_F(RestartDeleteTest, RenameFileInEveryShape) {
    const std::string entry = "NUL=C:\\PROGRA~1\\EVILTO~1.EXE\r\n";
    const std::string zero(1, '\0');
    struct Case { const char *name; std::string before, want; } cases[] = {
        {"none", "", "[rename]\r\n" + entry},
        {"empty", "<empty>", "[rename]\r\n" + entry},
        {"rename last", "[Other]\r\na=1\r\n[rename]\r\nNUL=C:\\OLD.EXE\r\n",
         "[Other]\r\na=1\r\n[rename]\r\nNUL=C:\\OLD.EXE\r\n" + entry},
        {"followed by another", "[rename]\r\nNUL=C:\\OLD.EXE\r\n[Next]\r\nb=2\r\n",
         "[rename]\r\nNUL=C:\\OLD.EXE\r\n" + entry + "[Next]\r\nb=2\r\n"},
        {"header then header", "[RENAME]\r\n[Next]\r\n", "[RENAME]\r\n" + entry + "[Next]\r\n"},
        {"mixed case", "[ReNaMe]\r\n", "[ReNaMe]\r\n" + entry},
        {"absent", "[Other]\r\nc=3\r\n", "[Other]\r\nc=3\r\n[rename]\r\n" + entry},
        {"no line end", "[rename]\r\nNUL=C:\\OLD.EXE", "[rename]\r\nNUL=C:\\OLD.EXE\r\n" + entry},
        {"lone line feeds", "[rename]\nNUL=C:\\OLD.EXE\n[Next]\n", "[rename]\nNUL=C:\\OLD.EXE\n" + entry + "[Next]\n"},
        // Bytes that a reader in text mode would stop at or lose stay where
        // they are; the entry goes before the Ctrl-Z that ends the text.
        {"ctrl-z", "[rename]\r\nNUL=C:\\OLD.EXE\r\n\x1a[Next]\r\nz" + zero + "\r\n",
         "[rename]\r\nNUL=C:\\OLD.EXE\r\n" + entry + "\x1a[Next]\r\nz" + zero + "\r\n"},
        {"zero byte", "[rename]\r\nA=" + zero + "B\r\n[Next]\r\n",
         "[rename]\r\nA=" + zero + "B\r\n" + entry + "[Next]\r\n"},
    };
    for (const Case &c : cases) {
        m().add_file(ini, "");
        os::DeleteFileA(ini);
        EXPECT_EQ(c.want, after(c.before)) << c.name;
    }
}

TEST_F(RestartDeleteTest, LongLinesAndTwoSchedulings) {
    std::string long_line = "; " + std::string(700, 'z') + "[notasection]\r\n";
    m().add_file(ini, "[rename]\r\n" + long_line + "[Next]\r\n");
    EXPECT_EQ(1, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe"));
    EXPECT_EQ(1, schedule_delete_at_restart("C:\\Program Files\\second.exe"));
    EXPECT_EQ("[rename]\r\n" + long_line + "NUL=C:\\PROGRA~1\\EVILTO~1.EXE\r\nNUL=C:\\PROGRA~1\\SECOND.EXE\r\n[Next]\r\n",
              m().file_data(ini));
}

TEST_F(RestartDeleteTest, BracketInsideALongLineOpensNoSection) {
    std::string line = std::string(647, 'k') + "[x]\r\n";
    m().add_file(ini, "[rename]\r\n" + line);
    schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe");
    EXPECT_EQ("[rename]\r\n" + line + "NUL=C:\\PROGRA~1\\EVILTO~1.EXE\r\n", m().file_data(ini));
}

TEST_F(RestartDeleteTest, FailuresLeaveTheFileAsItWas) {
    const std::string before = "[rename]\r\nNUL=C:\\OLD.EXE\r\n[Next]\r\nb=2\r\n";
    for (const char *fault : {"CopyFileA", "_open", "_read", "_write", "_write_short"}) {
        m().add_file(ini, before);
        m().fail_calls.clear();
        m().fail_calls[fault] = 1;
        EXPECT_EQ(0, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe")) << fault;
        EXPECT_EQ(before, m().file_data(ini)) << fault;
    }
    // A new file that cannot be written whole is not left behind.
    m().fail_calls.clear();
    os::DeleteFileA(ini);
    m().fail_calls["_write_short"] = 1;
    EXPECT_EQ(0, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe"));
    EXPECT_FALSE(m().exists(ini));
}

TEST_F(RestartDeleteTest, NoShortPathNoEntry) {
    m().fail_calls["GetShortPathNameA"] = 1;
    EXPECT_EQ(0, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe"));
    EXPECT_FALSE(m().exists(ini));
}

TEST_F(RestartDeleteTest, NtReportsWhatTheDelayedMoveGives) {
    m().set_version(VER_PLATFORM_WIN32_NT, 5, 1);
    EXPECT_EQ(1, schedule_delete_at_restart("C:\\a.exe"));
    m().fail_calls["MoveFileExA"] = 1;
    EXPECT_EQ(0, schedule_delete_at_restart("C:\\b.exe"));
    EXPECT_EQ((std::vector<std::string>{"C:\\a.exe"}), m().pending_deletes);
    m().set_version(VER_PLATFORM_WIN32s, 3, 1);
    EXPECT_EQ(0, schedule_delete_at_restart("C:\\c.exe"));
}

TEST_F(RestartDeleteTest, RestartIsOfferedOnlyWhileEveryFileLeftIsScheduled) {
    // The question says the restart removes the virus completely: one file
    // left without a scheduled deletion, before or after one that has it,
    // keeps it from being asked.
    m().set_version(VER_PLATFORM_WIN32_NT, 5, 1);
    scan_state.disposition_choice = 100;
    std::string sample = sample::make(signature_table);
    m().add_file("C:\\one.exe", sample)->locked = true;
    m().add_file("C:\\two.exe", sample)->locked = true;
    file_matcher("W32/Quelby.Trojan ", "C:\\one.exe");
    EXPECT_EQ(1, scan_state.restart_needed);
    m().fail_calls["MoveFileExA"] = 1;
    file_matcher("W32/Quelby.Trojan ", "C:\\two.exe");
    EXPECT_EQ(0, scan_state.restart_needed);
    m().add_file("C:\\three.exe", sample)->locked = true;
    file_matcher("W32/Quelby.Trojan ", "C:\\three.exe");
    EXPECT_EQ(0, scan_state.restart_needed);
    EXPECT_EQ((std::vector<std::string>{"C:\\one.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove",
                                        "C:\\two.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove",
                                        "C:\\three.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove"}),
              window.lines);
}

TEST_F(RestartDeleteTest, LeftoverWorkingCopyNeverStopsASchedulingNorLosesWhatItHolds) {
    const std::string before = "[rename]\r\nNUL=C:\\OLD.EXE\r\n[Next]\r\nb=2\r\n";
    const std::string evil = "NUL=C:\\PROGRA~1\\EVILTO~1.EXE\r\n", second = "NUL=C:\\PROGRA~1\\SECOND.EXE\r\n";
    const char *copy = "C:\\WINDOWS\\wininit.pmk";
    // Another program holds the copy for a moment as it is removed: it stays,
    // holding nothing that wininit.ini lacks, and a later run schedules.
    m().add_file(ini, before);
    m().fail_calls["DeleteFileA"] = 1;
    EXPECT_EQ(1, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe"));
    ASSERT_TRUE(m().exists(copy));
    std::memset(&scan_state, 0, sizeof scan_state);
    EXPECT_EQ(1, schedule_delete_at_restart("C:\\Program Files\\second.exe"));
    EXPECT_EQ("[rename]\r\nNUL=C:\\OLD.EXE\r\n" + evil + second + "[Next]\r\nb=2\r\n", m().file_data(ini));
    EXPECT_FALSE(m().exists(copy));

    // Such a copy that cannot be removed is passed over, and so is one that
    // holds what wininit.ini lacks, which stays as it was.
    for (const std::string &held : {before, std::string("[rename]\r\nNUL=C:\\LOST.EXE\r\n")}) {
        m().add_file(ini, before);
        m().add_file(copy, held)->locked = held == before;
        EXPECT_EQ(1, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe"));
        EXPECT_EQ("[rename]\r\nNUL=C:\\OLD.EXE\r\n" + evil + "[Next]\r\nb=2\r\n", m().file_data(ini));
        EXPECT_EQ(held, m().file_data(copy));
        EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\wininit.ini", copy}),
                  [&] {
                      std::vector<std::string> in_windows;
                      for (const std::string &f : m().all_files())
                          if (f.rfind("C:\\WINDOWS\\", 0) == 0) in_windows.push_back(f);
                      return in_windows;
                  }());
        os::SetFileAttributesA(copy, FILE_ATTRIBUTE_NORMAL);
        m().find(copy)->locked = false;
        os::DeleteFileA(copy);
    }
}

TEST_F(RestartDeleteTest, WorkingCopyBesideTheFileAndGoneAfterwards) {
    // The copy never goes to the temporary folder (on a 9x machine without
    // TMP and TEMP that may be the Windows folder itself).
    after("[rename]\r\nNUL=C:\\OLD.EXE\r\n");
    EXPECT_EQ("[rename]\r\nNUL=C:\\OLD.EXE\r\nNUL=C:\\PROGRA~1\\EVILTO~1.EXE\r\n", m().file_data(ini));
    EXPECT_FALSE(m().exists("C:\\WINDOWS\\wininit.pmk"));
    EXPECT_FALSE(m().exists("C:\\WINDOWS\\TEMP\\wininit.ini"));
    // The copy holds the former content when the rewrite fails and cannot be
    // undone; otherwise it is gone.
    m().fail_calls["_write"] = 1;
    EXPECT_EQ(0, schedule_delete_at_restart("C:\\Program Files\\second.exe"));
    EXPECT_FALSE(m().exists("C:\\WINDOWS\\wininit.pmk"));
}

TEST_F(RestartDeleteTest, EntriesAreInTheOemCodePage) {
    // "é" is 0xE9 in code page 1252 and 0x82 in 850, which WININIT reads.
    m().add_file("C:\\Caf\xe9\\tool.exe", "x");
    EXPECT_EQ(1, schedule_delete_at_restart("C:\\Caf\xe9\\tool.exe"));
    EXPECT_EQ("[rename]\r\nNUL=C:\\Caf\x82\\tool.exe\r\n", m().file_data(ini));
}

TEST_F(RestartDeleteTest, WorkingCopyNeverOutlivesARefusedRewriteNorIsOverwritten) {
    const std::string before = "[rename]\r\nNUL=C:\\OLD.EXE\r\n[Next]\r\nb=2\r\n";
    const char *copy = "C:\\WINDOWS\\wininit.pmk";
    // A read-only rename file cannot be rewritten: nothing is scheduled and
    // no copy of it stays behind (a copy would be read-only too).
    m().add_file(ini, before, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(0, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe"));
    EXPECT_EQ(before, m().file_data(ini));
    EXPECT_FALSE(m().exists(copy));

    // A rewrite that fails part-way and cannot be undone keeps the copy as
    // the one place that holds the former content; a later scheduling must
    // not replace that copy with what the failed rewrite left.
    os::SetFileAttributesA(ini, FILE_ATTRIBUTE_NORMAL);
    m().fail_calls["_write"] = 1;
    m().fail_calls["CopyFileA"] = 1;
    m().fail_after["CopyFileA"] = 1;  // the copy is made, the undo fails
    EXPECT_EQ(0, schedule_delete_at_restart("C:\\Program Files\\Evil Tool.exe"));
    ASSERT_EQ(before, m().file_data(copy));
    m().fail_calls.clear();
    m().fail_after.clear();
    // The next scheduling of this run puts the former content back first.
    EXPECT_EQ(1, schedule_delete_at_restart("C:\\Program Files\\second.exe"));
    EXPECT_EQ("[rename]\r\nNUL=C:\\OLD.EXE\r\nNUL=C:\\PROGRA~1\\SECOND.EXE\r\n[Next]\r\nb=2\r\n", m().file_data(ini));
    EXPECT_FALSE(m().exists(copy));
}
