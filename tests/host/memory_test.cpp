// The platform tests, the memory scan with its two passes, the three
// termination methods, the privileges and the restart.
#include "test_support.h"

#include "console/exit_codes.h"
#include "engine/disposition.h"
#include "engine/file_matcher.h"
#include "engine/platform_facts.h"
#include "engine/same_file.h"
#include "engine/scan_driver.h"
#include "engine/signature_table.h"
#include "memory/memory_scan.h"
#include "memory/process_api.h"
#include "memory/process_kill.h"
#include "memory/process_passes.h"
#include "memory/restart.h"
#include "repair/restart_delete.h"
#include "tests/support/sample_maker.h"

namespace {
const char *memory_line = "System Memory    W32/Quelby.Trojan  removed";

void win98(sim::Machine &m) { m.set_version(VER_PLATFORM_WIN32_WINDOWS, 4, 10); }
void nt4(sim::Machine &m) { m.set_version(VER_PLATFORM_WIN32_NT, 4, 0); }
void xp(sim::Machine &m) { m.set_version(VER_PLATFORM_WIN32_NT, 5, 1); }
void win7(sim::Machine &m) { m.set_version(VER_PLATFORM_WIN32_NT, 6, 1); }
}  // namespace

class MemoryTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        scan_state.disposition_choice = 100;
        service_restart_needed = 0;
        sample_data = sample::make(signature_table);
        m().add_drive('C', DRIVE_FIXED);
    }
    void TearDown() override {
        EXPECT_EQ(0, m().open_handles) << "process, snapshot or token handles left open";
        EngineTest::TearDown();
    }
    // An infected image file and a process running it.
    sim::Process &infected(DWORD pid, const std::string &path) {
        if (!m().exists(path)) m().add_file(path, sample_data);
        return m().add_process(pid, path);
    }
    sim::Process &clean(DWORD pid, const std::string &path) {
        if (!m().exists(path)) m().add_file(path, std::string(23552, 'c'));
        return m().add_process(pid, path);
    }
    // A new machine and scan state, for one more case within a test.
    void fresh() {
        sim::reset();
        std::memset(&scan_state, 0, sizeof scan_state);
        window = ReportWindow();
        window.attach();
        scan_state.disposition_choice = 100;
    }
    std::string sample_data;
};

TEST_F(MemoryTest, PlatformFamilyAndGeneration) {
    struct Case { bool fails; DWORD platform, major; int family, generation; } cases[] = {
        {true, VER_PLATFORM_WIN32_NT, 5, 0, 0},   {false, VER_PLATFORM_WIN32s, 3, 1, 0},
        {false, VER_PLATFORM_WIN32_WINDOWS, 4, 4, 0}, {false, VER_PLATFORM_WIN32_NT, 3, 5, 5},
        {false, VER_PLATFORM_WIN32_NT, 4, 5, 5},  {false, VER_PLATFORM_WIN32_NT, 5, 5, 6},
        {false, VER_PLATFORM_WIN32_NT, 6, 5, 0},  {false, VER_PLATFORM_WIN32_NT, 10, 5, 0},
    };
    for (const Case &c : cases) {
        m().version.query_fails = c.fails;
        m().set_version(c.platform, c.major, 0);
        EXPECT_EQ(c.family, platform_family()) << c.platform << "." << c.major;
        EXPECT_EQ(c.generation, nt_generation()) << c.platform << "." << c.major;
    }
}

TEST_F(MemoryTest, NinetyEightPassEndsTheProcessAndRemovesItsFile) {
    win98(m());
    infected(4, "C:\\WINDOWS\\SYSTEM\\EVIL.EXE");  // the first snapshot entry
    clean(8, "C:\\WINDOWS\\EXPLORER.EXE");
    m().add_process(9, "C:\\GONE\\MISSING.EXE");  // fails the read test
    scan_driver();
    EXPECT_EQ((std::vector<DWORD>{4}), m().terminated);
    ASSERT_GE(window.lines.size(), 2u);
    EXPECT_EQ(memory_line, window.lines[0]);
    EXPECT_EQ("C:\\WINDOWS\\SYSTEM\\EVIL.EXE     W32/Quelby.Trojan  removed", window.lines[1]);
    EXPECT_EQ("Total files scanned\t\t:  1", window.lines[5]);  // only EXPLORER.EXE is left
    EXPECT_EQ("Total files infected\t\t:  1", window.lines[6]);
    EXPECT_EQ("Total files removed\t\t:  1", window.lines[7]);
    EXPECT_EQ(0, scan_state.memory_phase);
    EXPECT_FALSE(m().exists("C:\\WINDOWS\\SYSTEM\\EVIL.EXE"));
}

TEST_F(MemoryTest, UnreadableImageAfterAnInfectedOneIsLeftAlone) {
    win98(m());
    infected(4, "C:\\A\\EVIL.EXE");
    clean(5, "C:\\A\\LOCKED.EXE");
    m().find("C:\\A\\LOCKED.EXE")->unreadable = true;  // match_pending is still 1 from EVIL
    m().find("C:\\A\\LOCKED.EXE")->attributes = FILE_ATTRIBUTE_ARCHIVE;
    memory_scan();
    EXPECT_EQ((std::vector<DWORD>{4}), m().terminated);

    // On the NT family an infected process that survives both attempts gets
    // no rescan, so its hit stays recorded when the next record's image path
    // fails the read test.
    for (void (*family)(sim::Machine &) : {nt4, xp, win7}) {
        fresh();
        family(m());
        m().add_drive('C', DRIVE_FIXED);
        infected(7, "C:\\WINDOWS\\evil.exe").unkillable = true;
        m().add_process(8, "\\SystemRoot\\System32\\smss.exe");
        m().add_process(9, "C:\\WINDOWS\\system32\\winlogon.exe").module_name = "\\??\\C:\\WINDOWS\\system32\\winlogon.exe";
        m().add_file("C:\\WINDOWS\\system32\\winlogon.exe", std::string(100, 'w'));
        for (const char *name : {"smss", "winlogon"}) {
            sim::Service s;
            s.name = name;
            s.process_id = name[0] == 's' ? 8 : 9;
            m().services.push_back(s);
            m().reg_set(HKEY_LOCAL_MACHINE, std::string("SYSTEM\\ControlSet001\\Services\\") + name, "Start", "2");
        }
        try {
            memory_scan();
        } catch (const sim::ProgramExit &) {  // NT 4 and NT 5.x: the survivor asks for a restart
        }
        EXPECT_TRUE(m().terminated.empty());
        EXPECT_TRUE(m().process(8)->running && m().process(9)->running);
        EXPECT_EQ(SERVICE_RUNNING, m().service("smss")->state);
        EXPECT_EQ(SERVICE_RUNNING, m().service("winlogon")->state);
        EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\smss"));
        EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\winlogon"));
        for (const std::string &key : m().deleted_keys) EXPECT_EQ(std::string::npos, key.find("smss")) << key;
        m().handles.clear();
        m().open_handles = 0;
    }
}

TEST_F(MemoryTest, ProcessThatEndsOnItsOwnCountsAsEnded) {
    for (void (*family)(sim::Machine &) : {win98, nt4, xp, win7}) {
        fresh();
        service_restart_needed = 0;
        family(m());
        m().install_perflib();
        m().add_drive('C', DRIVE_FIXED);
        infected(7, "C:\\WINDOWS\\evil.exe").exits_on_its_own = true;
        scan_driver();  // no restart question, no early exit: the walk runs
        EXPECT_TRUE(m().confirm_calls.empty());
        EXPECT_EQ((std::vector<std::string>{memory_line, "C:\\WINDOWS\\evil.exe     W32/Quelby.Trojan  removed", " ",
                                            "Scanning statistics", "------------------------------",
                                            "Total files scanned\t\t:  0", "Total files infected\t\t:  1",
                                            "Total files removed\t\t:  1"}),
                  window.lines);
        EXPECT_FALSE(m().exists("C:\\WINDOWS\\evil.exe"));
    }
}

TEST_F(MemoryTest, ProcessThatLivesOnIsLeftToTheWalkWithoutAMemoryLine) {
    for (void (*family)(sim::Machine &) : {win98, win7}) {
        fresh();
        family(m());
        m().install_perflib();
        m().add_drive('C', DRIVE_FIXED);
        m().add_dir("C:\\WINDOWS\\TEMP");
        infected(7, "C:\\APPS\\evil.exe").unkillable = true;
        scan_driver();
        EXPECT_EQ((std::vector<std::string>{"C:\\APPS\\evil.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove", " ",
                                            "Scanning statistics", "------------------------------",
                                            "Total files scanned\t\t:  1", "Total files infected\t\t:  1",
                                            "Total files removed\t\t:  0"}),
                  window.lines);
        EXPECT_TRUE(m().exists("C:\\APPS\\evil.exe"));
    }
}

TEST_F(MemoryTest, FileReportedByTheMemoryScanIsNotReportedAgain) {
    // Two processes of one image whose file cannot be deleted: each ended
    // process gets its memory line, the file one line and one count.
    xp(m());
    infected(7, "C:\\APPS\\evil.exe");
    infected(8, "C:\\APPS\\evil.exe");
    m().find("C:\\APPS\\evil.exe")->locked = true;
    scan_driver();
    EXPECT_EQ((std::vector<DWORD>{7, 8}), m().terminated);
    EXPECT_EQ((std::vector<std::string>{memory_line, "C:\\APPS\\evil.exe     W32/Quelby.Trojan  Unable to remove",
                                        memory_line, " ", "Scanning statistics", "------------------------------",
                                        "Total files scanned\t\t:  1", "Total files infected\t\t:  1",
                                        "Total files removed\t\t:  0"}),
              window.lines);
    EXPECT_EQ((std::vector<std::string>{"C:\\APPS\\evil.exe"}), m().pending_deletes);
}

TEST_F(MemoryTest, FolderNamedLikeTheImageDoesNotHideTheHit) {
    xp(m());
    infected(7, "C:\\Dir\\x.exe");
    m().add_file("C:\\Dir\\x\\inner.txt", "i");
    scan_driver();
    EXPECT_EQ((std::vector<DWORD>{7}), m().terminated);
    EXPECT_EQ((std::vector<std::string>{memory_line, "C:\\Dir\\x.exe     W32/Quelby.Trojan  removed", " ",
                                        "Scanning statistics", "------------------------------",
                                        "Total files scanned\t\t:  1", "Total files infected\t\t:  1",
                                        "Total files removed\t\t:  1"}),
              window.lines);
}

TEST_F(MemoryTest, MissingToolHelpFunctionEndsOnlyThatPass) {
    win98(m());
    infected(4, "C:\\EVIL.EXE");
    m().missing_functions.insert("Process32Next");
    memory_scan();
    EXPECT_TRUE(m().terminated.empty());
    EXPECT_EQ(0, scan_state.memory_phase);
}

TEST_F(MemoryTest, NtPassGainsTheDebugPrivilegeAndEndsTheProcess) {
    xp(m());
    m().add_process(4, "C:\\WINDOWS\\system32\\smss.exe");
    infected(600, "C:\\WINDOWS\\system32\\evil.exe").needs_debug = true;
    scan_driver();
    EXPECT_EQ((std::vector<DWORD>{600}), m().terminated);
    EXPECT_TRUE(m().enabled_privileges.count("SeDebugPrivilege"));
    EXPECT_EQ(memory_line, window.lines[0]);
    EXPECT_EQ("C:\\WINDOWS\\system32\\evil.exe     W32/Quelby.Trojan  removed", window.lines[1]);
    // The second attempt finds the process gone; no service runs the file,
    // so none is touched and no restart is noted.
    EXPECT_EQ(0, service_restart_needed);
    EXPECT_EQ(0, m().calls["OpenSCManagerA"]);
    EXPECT_TRUE(m().confirm_calls.empty());
    EXPECT_EQ("Scanning completed", window.statuses.back());
}

TEST_F(MemoryTest, NtPassSeesTheFirst1024ProcessesOnly) {
    xp(m());
    clean(1, "C:\\W\\svc.exe");
    for (DWORD pid = 2; pid <= 1100; ++pid) m().add_process(pid, "C:\\W\\svc.exe");
    infected(5000, "C:\\W\\early.exe");  // the 1101st: never seen
    memory_scan();
    EXPECT_TRUE(m().terminated.empty());

    m().processes.erase(m().processes.begin() + 100, m().processes.begin() + 1100);
    memory_scan();
    EXPECT_EQ((std::vector<DWORD>{5000}), m().terminated);
}

TEST_F(MemoryTest, ProcessWithoutModuleNameIsNeverExamined) {
    xp(m());
    infected(7, "C:\\evil.exe").hides_module = true;
    memory_scan();
    EXPECT_TRUE(m().terminated.empty());
}

TEST_F(MemoryTest, SurvivorOnNtFiveOffersRestartThenExits) {
    for (int answer : {IDOK, IDCANCEL}) {
        sim::reset();
        std::memset(&scan_state, 0, sizeof scan_state);
        window.attach();
        service_restart_needed = 0;
        scan_state.disposition_choice = 100;
        xp(m());
        infected(7, "C:\\WINDOWS\\evil.exe").unkillable = true;
        m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil", "ImagePath", "C:\\WINDOWS\\evil.exe");
        m().confirm_answers = {answer};
        try {
            scan_driver();
            ADD_FAILURE() << "the program did not exit";
        } catch (const sim::ProgramExit &e) {
            EXPECT_EQ(0, e.status);
        }
        ASSERT_EQ(1u, m().confirm_calls.size());
        EXPECT_EQ("W32/Quelby.Trojan  found in memory! registry entries created by the worm are removed. You "
                  "must restart the computer and run this program to continue scanning.\n\nRestart the "
                  "computer now?",
                  m().confirm_calls[0].text);
        EXPECT_EQ(0x41u, m().confirm_calls[0].style);
        EXPECT_EQ(answer == IDOK ? 1u : 0u, m().exit_windows_calls.size());
        EXPECT_TRUE(window.lines.empty()) << "no statistics";
        EXPECT_EQ(1, service_restart_needed);
        m().handles.clear();
        m().open_handles = 0;
    }
}

TEST_F(MemoryTest, ProgramGivenTheIdOfAStoppedServiceIsNotEnded) {
    // A survivor of both attempts whose service stops: while the stop is
    // awaited a new program may be given the freed process id. It is not the
    // infected image, so it keeps running; the infected process is gone.
    for (void (*family)(sim::Machine &) : {nt4, xp}) {
        for (int polls : {0, 2}) {
            fresh();
            service_restart_needed = 0;
            family(m());
            m().install_perflib();
            m().add_drive('C', DRIVE_FIXED);
            infected(7, "C:\\WINDOWS\\evil.exe").unkillable = true;
            m().add_file("C:\\WINDOWS\\notepad.exe", std::string(100, 'n'));
            sim::Service s;
            s.name = "evil";
            s.process_id = 7;
            s.pending_polls = polls;
            m().id_successors[7] = "C:\\WINDOWS\\notepad.exe";
            m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil", "ImagePath",
                        "C:\\WINDOWS\\evil.exe");
            m().services.push_back(s);
            memory_scan();
            EXPECT_TRUE(m().terminated.empty());
            ASSERT_NE(nullptr, m().process(7));
            EXPECT_EQ("C:\\WINDOWS\\notepad.exe", m().process(7)->image);
            EXPECT_TRUE(m().process(7)->running);
            EXPECT_EQ((std::vector<std::string>{memory_line, "C:\\WINDOWS\\evil.exe     W32/Quelby.Trojan  removed"}),
                      window.lines);
            EXPECT_FALSE(m().exists("C:\\WINDOWS\\evil.exe"));
            m().handles.clear();
            m().open_handles = 0;
        }
    }
}

TEST_F(MemoryTest, SurvivorWithoutItsOwnServiceIsLeftToTheDriveWalk) {
    xp(m());
    // A genuine service named like the image, configured to run another file.
    m().add_file("C:\\WINDOWS\\system32\\msdtc.exe", std::string(100, 'g'));
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\MSDTC", "ImagePath",
                "C:\\WINDOWS\\system32\\msdtc.exe");
    m().services.push_back({"MSDTC", SERVICE_RUNNING, 0, false, 8});
    m().add_process(8, "C:\\WINDOWS\\system32\\msdtc.exe");
    infected(7, "C:\\TEMP\\msdtc.exe").unkillable = true;
    scan_driver();
    EXPECT_EQ(SERVICE_RUNNING, m().service("MSDTC")->state);
    EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\MSDTC"));
    EXPECT_EQ(0, service_restart_needed);
    EXPECT_TRUE(m().confirm_calls.size() == 1 && m().confirm_calls[0].text.find("The system has to be") == 0);
    EXPECT_EQ("C:\\TEMP\\msdtc.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove", window.lines[0]);
    EXPECT_EQ((std::vector<std::string>{"C:\\TEMP\\msdtc.exe"}), m().pending_deletes);
}

TEST_F(MemoryTest, NothingInTheCurrentFolderStandsForABareName) {
    // A genuine service with a bare image path, and a process whose image
    // path comes without a folder, while samples of those names sit in the
    // program's current folder.
    xp(m());
    m().current_dir = "C:\\TEMP";
    m().add_file("C:\\WINDOWS\\SYSTEM32\\msdtc.exe", std::string(100, 'g'));
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\MSDTC", "ImagePath", "msdtc.exe");
    m().services.push_back({"MSDTC", SERVICE_RUNNING, 0, false, 8});
    m().add_process(8, "C:\\WINDOWS\\SYSTEM32\\msdtc.exe");
    infected(7, "C:\\TEMP\\msdtc.exe").unkillable = true;
    m().add_file("C:\\TEMP\\helper.exe", sample_data);
    m().add_process(9, "helper.exe");
    memory_scan();
    EXPECT_EQ(SERVICE_RUNNING, m().service("MSDTC")->state);
    EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\MSDTC"));
    EXPECT_EQ(0, service_restart_needed);
    EXPECT_TRUE(m().process(8)->running);
    EXPECT_TRUE(m().process(9)->running);
    EXPECT_TRUE(m().terminated.empty());
}

TEST_F(MemoryTest, UnderWowSixtyFourOnlyTheFileTheProgramSawIsScheduled) {
    // 64-bit XP: the 32-bit program's file calls on System32 reach SysWOW64.
    // A sample wearing a system file's name runs there and holds its file.
    m().set_version(VER_PLATFORM_WIN32_NT, 5, 2);
    m().wow64 = true;
    const std::string native = "C:\\WINDOWS\\SYSTEM32\\csrss.exe", seen = "C:\\WINDOWS\\SysWOW64\\csrss.exe";
    m().add_file(native, std::string(23552, 'n'));
    m().add_process(4, native).hides_module = true;  // a 64-bit process: its module cannot be read
    infected(9, seen).unkillable = true;
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\csrss", "ImagePath",
                "%SystemRoot%\\system32\\csrss.exe");
    m().services.push_back({"csrss", SERVICE_RUNNING, 0, false, 4});
    scan_driver();
    ASSERT_FALSE(m().pending_deletes.empty());
    for (const std::string &p : m().pending_deletes) EXPECT_TRUE(sim::iequals(seen, p)) << p;
    EXPECT_EQ(std::string(23552, 'n'), m().file_data(native));
    EXPECT_TRUE(m().process(4)->running);
    EXPECT_EQ(SERVICE_RUNNING, m().service("csrss")->state);
    EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\csrss"));
}

TEST_F(MemoryTest, PathsWithoutTheRedirection) {
    m().wow64 = true;
    struct Case { const char *seen, *unredirected; } cases[] = {
        {"C:\\WINDOWS\\SYSTEM32\\csrss.exe", "C:\\WINDOWS\\SysWOW64\\csrss.exe"},
        {"c:\\windows\\system32\\sub\\x.dll", "C:\\WINDOWS\\SysWOW64\\sub\\x.dll"},
        {"C:\\WINDOWS\\SysWOW64\\x.exe", "C:\\WINDOWS\\SysWOW64\\x.exe"},
        {"C:\\WINDOWS\\regedit.exe", "C:\\WINDOWS\\SysWOW64\\regedit.exe"},
        {"C:\\WINDOWS\\lastgood\\System32\\x.sys", "C:\\WINDOWS\\lastgood\\SysWOW64\\x.sys"},
        {"C:\\WINDOWS\\SYSTEM32\\drivers\\etc\\hosts", "C:\\WINDOWS\\SYSTEM32\\drivers\\etc\\hosts"},
        {"C:\\WINDOWS\\SYSTEM32\\spool\\x.exe", "C:\\WINDOWS\\SYSTEM32\\spool\\x.exe"},
        {"C:\\WINDOWS\\SYSTEM32\\catroot2\\x.cat", "C:\\WINDOWS\\SYSTEM32\\catroot2\\x.cat"},
        {"C:\\WINDOWS\\SYSTEM32\\drivers\\x.sys", "C:\\WINDOWS\\SysWOW64\\drivers\\x.sys"},
        {"C:\\WINDOWS\\SYSTEM32x\\a.exe", "C:\\WINDOWS\\SYSTEM32x\\a.exe"},
        {"C:\\WINDOWS\\notepad.exe", "C:\\WINDOWS\\notepad.exe"},
    };
    char out[MAX_PATH];
    for (const Case &c : cases) {
        ASSERT_TRUE(unredirected_path(c.seen, out, sizeof out)) << c.seen;
        EXPECT_STREQ(c.unredirected, out) << c.seen;
    }
    // driverstore is left alone from Windows 7 on, redirected before.
    const char *store = "C:\\WINDOWS\\SYSTEM32\\DriverStore\\x.inf";
    for (DWORD minor : {0u, 1u}) {
        m().set_version(VER_PLATFORM_WIN32_NT, 6, minor);
        ASSERT_TRUE(unredirected_path(store, out, sizeof out));
        EXPECT_STREQ(minor ? store : "C:\\WINDOWS\\SysWOW64\\DriverStore\\x.inf", out);
    }
    // Outside WOW64, and on a Windows without IsWow64Process, nothing moves.
    for (bool missing : {false, true}) {
        m().wow64 = missing;
        if (missing) m().missing_functions.insert("IsWow64Process");
        ASSERT_TRUE(unredirected_path(cases[0].seen, out, sizeof out));
        EXPECT_STREQ(cases[0].seen, out);
    }
    // Under WOW64 without the 32-bit folder's name, nothing is named at all.
    m().missing_functions = {"GetSystemWow64DirectoryA"};
    m().wow64 = true;
    EXPECT_FALSE(unredirected_path(cases[0].seen, out, sizeof out));
    m().set_version(VER_PLATFORM_WIN32_NT, 5, 2);
    EXPECT_EQ(0, schedule_delete_at_restart(cases[0].seen));
    EXPECT_TRUE(m().pending_deletes.empty());
}

TEST_F(MemoryTest, SurvivorOnNtSixIsLeftToTheDriveWalk) {
    win7(m());
    m().install_perflib();
    infected(7, "C:\\WINDOWS\\evil.exe").unkillable = true;
    scan_driver();
    EXPECT_EQ(0, service_restart_needed);
    EXPECT_TRUE(m().terminated.empty());
    // The walk finds the file held: the perfdata method fails and says so.
    ASSERT_EQ(1u, m().message_boxes.size());
    EXPECT_EQ("Could not kill process", m().message_boxes[0].text);
    EXPECT_EQ("C:\\WINDOWS\\evil.exe", m().message_boxes[0].caption);
    EXPECT_EQ("C:\\WINDOWS\\evil.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove", window.lines[0]);
}

TEST_F(MemoryTest, ToolHelpMethodEndsTheFirstCopyOfThatExactFile) {
    win98(m());
    clean(3, "C:\\OTHER\\EVIL.EXE");  // same name, another folder
    infected(4, "C:\\WINDOWS\\EVIL.EXE");
    infected(5, "C:\\WINDOWS\\EVIL.EXE");
    EXPECT_EQ(1, kill_process_of_file("C:\\windows\\evil.exe"));
    EXPECT_EQ((std::vector<DWORD>{4}), m().terminated);
    // An entry that carries no path is matched by its file name.
    m().add_process(9, "C:\\X\\LONER.EXE").snapshot_name = "LONER.EXE";
    EXPECT_EQ(1, kill_process_of_file("C:\\X\\loner.exe"));
    EXPECT_EQ(9u, m().terminated.back());
    // No match: the user is told.
    EXPECT_EQ(0, kill_process_of_file("C:\\nothing.exe"));
    ASSERT_EQ(1u, m().message_boxes.size());
    EXPECT_EQ("C:\\nothing.exe", m().message_boxes[0].caption);
}

TEST_F(MemoryTest, PsapiMethodEndsEveryCopyHalfASecondApart) {
    xp(m());
    infected(10, "C:\\W\\evil.exe");
    clean(11, "C:\\Elsewhere\\evil.exe");
    infected(12, "C:\\W\\evil.exe");
    infected(13, "C:\\W\\EVIL.EXE");
    EXPECT_EQ(1, kill_process_of_file("C:\\W\\evil.exe"));
    EXPECT_EQ((std::vector<DWORD>{10, 12, 13}), m().terminated);
    EXPECT_EQ(500u, m().terminated_at[1] - m().terminated_at[0]);
    EXPECT_EQ(500u, m().terminated_at[2] - m().terminated_at[1]);
    EXPECT_EQ(1, kill_process_of_file("C:\\W\\none.exe"));  // success whenever it could enumerate
    m().missing_libraries.insert("psapi.dll");
    EXPECT_EQ(0, kill_process_of_file("C:\\W\\evil.exe"));
    EXPECT_TRUE(m().message_boxes.empty());
}

TEST_F(MemoryTest, PerfdataMethodNeverTouchesLookAlikes) {
    nt4(m());
    m().install_perflib();
    clean(20, "C:\\WINNT\\system32\\svchost.exe");
    infected(21, "C:\\WINNT\\system32\\svc.exe");
    clean(22, "C:\\DIR\\evilx.exe");
    infected(23, "C:\\DIR\\EVIL.EXE");
    EXPECT_EQ(1, kill_process_of_file("C:\\WINNT\\system32\\svc.exe"));
    EXPECT_EQ((std::vector<DWORD>{21}), m().terminated);
    EXPECT_EQ(1, kill_process_of_file("C:\\DIR\\EVIL.EXE"));
    EXPECT_EQ((std::vector<DWORD>{21, 23}), m().terminated);
    EXPECT_EQ(0, m().open_keys);
}

TEST_F(MemoryTest, PerfdataMethodEndsOnlyTheProgramAtThatPath) {
    for (void (*family)(sim::Machine &) : {nt4, win7}) {
        fresh();
        family(m());
        m().install_perflib();
        m().add_drive('C', DRIVE_FIXED);
        clean(20, "C:\\OTHER\\EVIL.EXE");  // the same instance name, "EVIL"
        infected(21, "C:\\DIR\\EVIL.EXE");
        EXPECT_EQ(1, kill_process_of_file("C:\\DIR\\EVIL.EXE"));
        EXPECT_EQ((std::vector<DWORD>{21}), m().terminated);
        // Without the process-status library no path can be confirmed: nothing ends.
        infected(22, "C:\\DIR\\EVIL.EXE");
        m().missing_libraries.insert("psapi.dll");
        EXPECT_EQ(0, kill_process_of_file("C:\\DIR\\EVIL.EXE"));
        EXPECT_EQ((std::vector<DWORD>{21}), m().terminated);
    }
}

TEST_F(MemoryTest, ToolHelpMethodMatchesTheShortFormOfThePath) {
    win98(m());
    m().add_dir("C:\\Program Files")->short_name = "PROGRA~1";
    infected(4, "C:\\Program Files\\Evil Tool.exe").snapshot_name = "C:\\PROGRA~1\\EVILTO~1.EXE";
    m().find("C:\\Program Files\\Evil Tool.exe")->short_name = "EVILTO~1.EXE";
    clean(5, "C:\\Other\\Evil Tool.exe").snapshot_name = "C:\\OTHER\\EVILTO~1.EXE";
    m().find("C:\\Other\\Evil Tool.exe")->short_name = "EVILTO~1.EXE";
    std::swap(m().processes[0], m().processes[1]);  // the look-alike first
    EXPECT_EQ(1, kill_process_of_file("C:\\Program Files\\Evil Tool.exe"));
    EXPECT_EQ((std::vector<DWORD>{4}), m().terminated);
    EXPECT_TRUE(m().message_boxes.empty());
}

TEST_F(MemoryTest, PerfdataNamesLongAndShortened) {
    win7(m());
    m().install_perflib();
    clean(30, "C:\\P\\averyveryverylongname.exe");               // 22 characters: never a slot name
    clean(31, "C:\\Q\\abcdefghijklmnopq.exe").perf_name = "abcdefghijklmno";  // kept 15 of 17
    EXPECT_EQ(0, kill_process_of_file("C:\\P\\averyveryverylongname.exe"));
    EXPECT_EQ(1, kill_process_of_file("C:\\Q\\abcdefghijklmnopq.exe"));
    EXPECT_EQ((std::vector<DWORD>{31}), m().terminated);
}

TEST_F(MemoryTest, PerfdataWithoutASoundTargetDoesNothing) {
    nt4(m());
    m().install_perflib();
    clean(40, "C:\\DIR\\ABCD");
    EXPECT_EQ(0, kill_by_name_perfdata("C:\\DIR\\ABCD"));  // empty base name
    EXPECT_EQ(0, kill_by_name_perfdata("C:\\A"));          // four characters
    EXPECT_TRUE(m().perf_query_sizes.empty());

    // "ID Process" missing from the counters.
    m().reg_set_raw(HKEY_LOCAL_MACHINE, "software\\microsoft\\windows nt\\currentversion\\perflib\\009",
                    "Counters", std::string("230\0Process\0\0", 14), REG_MULTI_SZ);
    clean(41, "C:\\DIR\\target.exe");
    EXPECT_EQ(0, kill_by_name_perfdata("C:\\DIR\\target.exe"));
    EXPECT_TRUE(m().perf_query_sizes.empty());

    // No counter definition carries the index.
    m().install_perflib(230, 999);
    std::string block = m().perf_block();
    m().install_perflib(230, 784);
    m().perf_block_given = true;
    m().perf_block_supplied = block;
    EXPECT_EQ(0, kill_by_name_perfdata("C:\\DIR\\target.exe"));
    EXPECT_TRUE(m().terminated.empty());
}

TEST_F(MemoryTest, PerfdataBufferGrowsAndIsBounded) {
    nt4(m());
    m().install_perflib();
    infected(50, "C:\\DIR\\target.exe");
    std::string block = m().perf_block();
    block.resize(120000, '\0');  // padding after the data
    m().perf_block_given = true;
    m().perf_block_supplied = block;
    EXPECT_EQ(1, kill_by_name_perfdata("C:\\DIR\\target.exe"));
    EXPECT_EQ((std::vector<DWORD>{51200, 76800, 102400, 128000}), m().perf_query_sizes);

    m().perf_query_sizes.clear();
    m().perf_block_supplied.resize(perf_data_limit + 1, '\0');
    EXPECT_EQ(0, kill_by_name_perfdata("C:\\DIR\\target.exe"));
    EXPECT_LE(m().perf_query_sizes.back(), (DWORD)perf_data_limit);
}

TEST_F(MemoryTest, PerfdataSurvivesHostileBlocks) {
    nt4(m());
    m().install_perflib();
    infected(60, "C:\\DIR\\target.exe");
    std::string good = m().perf_block();
    m().perf_block_given = true;
    // Truncated at every length, and with offsets pointing anywhere.
    for (size_t n = 0; n < good.size(); n += 7) {
        m().perf_block_supplied = good.substr(0, n);
        kill_by_name_perfdata("C:\\DIR\\zzz.exe");
    }
    for (size_t at = 0; at + 4 <= good.size(); at += 4) {
        std::string bad = good;
        sample::put32(bad, at, 0xFFFFFFF0u);
        m().perf_block_supplied = bad;
        kill_by_name_perfdata("C:\\DIR\\zzz.exe");
    }
    EXPECT_TRUE(m().terminated.empty());
}

TEST_F(MemoryTest, KillOnOtherFamiliesTouchesNothing) {
    infected(70, "C:\\evil.exe");
    for (DWORD platform : {(DWORD)VER_PLATFORM_WIN32s}) {
        m().set_version(platform, 3, 1);
        EXPECT_EQ(1, kill_process_of_file("C:\\evil.exe"));
    }
    m().version.query_fails = true;
    EXPECT_EQ(1, kill_process_of_file("C:\\evil.exe"));
    EXPECT_EQ(0, m().calls["OpenProcess"]);
}

TEST_F(MemoryTest, HeldFileIsFreedByTerminationAndDeletedOnTheSecondTry) {
    xp(m());
    infected(80, "C:\\Apps\\held.exe");
    file_matcher("W32/Quelby.Trojan ", "C:\\Apps\\held.exe");
    EXPECT_EQ((std::vector<std::string>{"C:\\Apps\\held.exe     W32/Quelby.Qgs.Dl.Trojan removed"}), window.lines);
    EXPECT_EQ(1, scan_state.files_removed);
    EXPECT_EQ((std::vector<DWORD>{80}), m().terminated);
}

TEST_F(MemoryTest, DebugPrivilegeAndRestartPrivileges) {
    m().token_open_fails = true;
    enable_debug_privilege();
    ASSERT_EQ(1u, m().message_boxes.size());
    EXPECT_EQ("false", m().message_boxes[0].text);
    EXPECT_EQ("TEMP", m().message_boxes[0].caption);
    EXPECT_EQ(0, restart_windows());  // NT: no token, no restart
    EXPECT_TRUE(m().exit_windows_calls.empty());

    m().token_open_fails = false;
    m().held_privileges.erase("SeShutdownPrivilege");
    EXPECT_EQ(1300, restart_windows());
    EXPECT_TRUE(m().exit_windows_calls.empty());

    m().held_privileges.insert("SeShutdownPrivilege");
    EXPECT_EQ(1, restart_windows());
    EXPECT_EQ((std::vector<UINT>{6}), m().exit_windows_calls);

    win98(m());
    m().calls.clear();
    EXPECT_EQ(1, restart_windows());
    EXPECT_EQ(0, m().calls["OpenProcessToken"]);
}

TEST_F(MemoryTest, PerfdataNeverEndsASystemProcessNamedLikeTheFile) {
    for (void (*family)(sim::Machine &) : {nt4, win7}) {
        fresh();
        family(m());
        m().install_perflib();
        m().add_drive('C', DRIVE_FIXED);
        // The genuine csrss and winlogon, whose paths cannot be read, and
        // infected files of the same names elsewhere.
        clean(4, "C:\\WINDOWS\\system32\\csrss.exe").hides_module = true;
        clean(5, "C:\\WINDOWS\\system32\\winlogon.exe");
        m().add_file("C:\\WINDOWS\\csrss.exe", sample_data);
        m().add_file("C:\\TEMP\\winlogon.exe", sample_data);
        EXPECT_EQ(0, kill_process_of_file("C:\\WINDOWS\\csrss.exe"));
        EXPECT_EQ(0, kill_process_of_file("C:\\TEMP\\winlogon.exe"));
        // Without psapi.dll no path can be confirmed: nothing ends.
        m().missing_libraries.insert("psapi.dll");
        EXPECT_EQ(0, kill_process_of_file("C:\\WINDOWS\\system32\\winlogon.exe"));
        EXPECT_TRUE(m().terminated.empty());
        EXPECT_EQ(3u, m().message_boxes.size());
    }
}

TEST_F(MemoryTest, NtPathFormsAreResolvedBeforeTheReadTest) {
    nt4(m());
    m().windows_dir = "C:\\WINNT";
    m().install_perflib();
    infected(8, "C:\\WINNT\\system32\\evil.exe").module_name = "\\SystemRoot\\System32\\evil.exe";
    infected(9, "C:\\TEMP\\other.exe").module_name = "\\??\\C:\\TEMP\\other.exe";
    memory_scan();
    EXPECT_EQ((std::vector<DWORD>{8, 9}), m().terminated);
    EXPECT_FALSE(m().exists("C:\\WINNT\\system32\\evil.exe"));
    EXPECT_FALSE(m().exists("C:\\TEMP\\other.exe"));
    EXPECT_EQ((std::vector<std::string>{memory_line, "C:\\WINNT\\System32\\evil.exe     W32/Quelby.Trojan  removed",
                                        memory_line, "C:\\TEMP\\other.exe     W32/Quelby.Trojan  removed"}),
              window.lines);
    // The perfdata method confirms a path given in those forms as well.
    infected(10, "C:\\WINNT\\system32\\held.exe").module_name = "\\SystemRoot\\System32\\held.exe";
    EXPECT_EQ(1, kill_process_of_file("C:\\WINNT\\system32\\held.exe"));
    EXPECT_EQ(10u, m().terminated.back());
}

TEST_F(MemoryTest, NtFourWithoutPsapiClaimsNothingOfMemory) {
    // psapi.dll is not part of NT 4.0: the memory pass cannot read image
    // paths and tests nothing; the drive walk finds the running file, which
    // is deleted at restart, and no line speaks of memory.
    nt4(m());
    m().install_perflib();
    m().missing_libraries.insert("psapi.dll");
    infected(7, "C:\\WINNT\\evil.exe");
    scan_driver();
    EXPECT_TRUE(m().terminated.empty());
    EXPECT_EQ("C:\\WINNT\\evil.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove", window.lines[0]);
    for (const std::string &line : window.lines) EXPECT_EQ(std::string::npos, line.find("Memory")) << line;
    EXPECT_EQ((std::vector<std::string>{"C:\\WINNT\\evil.exe"}), m().pending_deletes);
    ASSERT_EQ(1u, m().confirm_calls.size());
    EXPECT_EQ(0u, m().confirm_calls[0].text.find("The system has to be restarted"));
}

TEST_F(MemoryTest, DoubleByteNamesDifferingInASecondByteAreDifferentFiles) {
    // Code page 932: 0x83 0x41 and 0x83 0x61 are two different characters
    // (their second bytes are "A" and "a"); a case-blind byte comparison
    // takes the one file for the other.
    const std::string innocent = "C:\\APP\\\x83\x61" "X.EXE", target = "C:\\APP\\\x83\x41" "X.EXE";
    win98(m());
    m().ansi_code_page = 932;
    clean(3, innocent);
    infected(4, target);
    EXPECT_EQ(1, kill_process_of_file(target.c_str()));
    EXPECT_EQ((std::vector<DWORD>{4}), m().terminated);

    // NT 5.x: the process-status method compares full paths.
    fresh();
    xp(m());
    m().ansi_code_page = 932;
    m().add_drive('C', DRIVE_FIXED);
    clean(3, innocent);
    infected(4, target);
    EXPECT_EQ(1, kill_process_of_file(target.c_str()));
    EXPECT_EQ((std::vector<DWORD>{4}), m().terminated);
    EXPECT_FALSE(same_file(innocent.c_str(), target.c_str()));
}

namespace {
const char *notepad = "C:\\WINDOWS\\notepad.exe";
struct Family {
    const char *name;
    void (*set)(sim::Machine &);
};
const Family win98_nt4_xp_win7[] = {{"98", win98}, {"NT 4", nt4}, {"XP", xp}, {"7", win7}};

// Runs run once for every k, with action taken at the start of the program's
// k-th os:: call, until a run makes fewer than k calls.
void at_every_call(const std::function<void()> &setup, const std::function<void()> &action,
                   const std::function<void()> &run, const std::function<void(int)> &check) {
    for (int k = 1;; ++k) {
        setup();
        int calls = 0;
        sim::machine().on_call = [&](const char *) {
            if (++calls == k) action();
        };
        run();
        sim::machine().on_call = nullptr;
        if (calls < k) break;
        check(k);
    }
}

int lines_equal(const std::vector<std::string> &lines, const std::string &text) {
    return (int)std::count(lines.begin(), lines.end(), text);
}
int lines_starting(const std::vector<std::string> &lines, const std::string &text) {
    return (int)std::count_if(lines.begin(), lines.end(), [&](const std::string &l) { return l.rfind(text, 0) == 0; });
}
}  // namespace

TEST_F(MemoryTest, ProgramGivenTheIdOfAnExitedTrojanIsNeverEnded) {
    // At any moment of a scan a listed trojan process may exit on its own
    // and its id go to a new, innocent program.
    for (const Family &family : win98_nt4_xp_win7) {
        at_every_call(
            [&] {
                fresh();
                family.set(m());
                m().install_perflib();
                m().add_drive('C', DRIVE_FIXED);
                infected(7, "C:\\WINDOWS\\evil.exe");
                infected(9, "C:\\TEMP\\other.exe");
                m().add_file(notepad, std::string(100, 'n'));
            },
            [&] { m().end_process(9, notepad); }, [&] { scan_driver(); },
            [&](int k) {
                for (const std::string &image : m().terminated_images) EXPECT_NE(notepad, image) << family.name << " call " << k;
                EXPECT_TRUE(m().process(9)->running && m().process(9)->image == notepad) << family.name << " call " << k;
                EXPECT_LE(lines_equal(window.lines, memory_line), 2) << family.name << " call " << k;
                EXPECT_EQ(1, lines_equal(window.lines, "Total files infected\t\t:  2")) << family.name << " call " << k;
                EXPECT_EQ(1, lines_equal(window.lines, "Total files removed\t\t:  2")) << family.name << " call " << k;
                EXPECT_EQ(0, m().open_handles) << family.name << " call " << k;
            });
    }
}

TEST_F(MemoryTest, TerminationByFileNeverEndsTheProgramGivenAFreedId) {
    // Each method lists the processes first and ends them later, with waits
    // between: the listed ones may exit meanwhile and their ids be reused.
    for (const Family &family : win98_nt4_xp_win7) {
        at_every_call(
            [&] {
                fresh();
                family.set(m());
                m().install_perflib();
                m().add_drive('C', DRIVE_FIXED);
                infected(10, "C:\\W\\evil.exe");
                infected(12, "C:\\W\\evil.exe");
                m().add_file(notepad, std::string(100, 'n'));
            },
            [&] {
                m().end_process(10, notepad);
                m().end_process(12, notepad);
            },
            [&] { kill_process_of_file("C:\\W\\evil.exe"); },
            [&](int k) {
                for (const std::string &image : m().terminated_images) EXPECT_NE(notepad, image) << family.name << " call " << k;
                EXPECT_EQ(0, m().open_handles) << family.name << " call " << k;
            });
    }
}

TEST_F(MemoryTest, StopDuringTheMemoryScanKeepsAnEndedProcessInTheReport) {
    // Escape answered Yes at any moment: a process ended for being infected
    // has its memory line and is counted, whatever stops afterwards.
    for (const Family &family : {Family{"98", win98}, Family{"XP", xp}}) {
        at_every_call(
            [&] {
                fresh();
                family.set(m());
                m().add_drive('C', DRIVE_FIXED);
                infected(7, "C:\\WINDOWS\\evil.exe");
                m().confirm_answers = {IDYES};
            },
            [&] { m().post_key(VK_ESCAPE); }, [&] { scan_driver(); },
            [&](int k) {
                int ended = (int)m().terminated.size();
                EXPECT_EQ(ended, lines_equal(window.lines, memory_line)) << family.name << " call " << k;
                if (ended) {
                    EXPECT_EQ(1, lines_equal(window.lines, "Total files infected\t\t:  1")) << family.name << " call " << k;
                }
            });
    }
}

TEST_F(MemoryTest, UnderWowSixtyFourEachFileIsOneFindNamedWhereItIs) {
    // System32 shows the 32-bit folder's files, which the walk finds in
    // SysWOW64 itself; drivers\etc below it is the native folder. A process
    // known by its System32 name is the same find as its file in SysWOW64.
    m().set_version(VER_PLATFORM_WIN32_NT, 5, 2);
    m().wow64 = true;
    const std::string wow = "C:\\WINDOWS\\SysWOW64\\";
    m().add_file(wow + "held.exe", sample_data)->locked = true;
    m().add_file(wow + "drivers\\gone.sys", sample_data);
    m().add_file(wow + "drivers\\etc\\clean.txt", "x");
    m().add_file("C:\\WINDOWS\\SYSTEM32\\drivers\\etc\\native.exe", sample_data);
    m().add_file(wow + "run.exe", sample_data)->locked = true;
    m().add_process(9, "C:\\WINDOWS\\SYSTEM32\\run.exe");
    scan_driver();
    EXPECT_EQ(4, scan_state.files_infected);
    for (const char *name : {"held.exe", "gone.sys", "native.exe", "run.exe"}) {
        std::vector<std::string> found;
        for (const std::string &line : window.lines)
            if (line.find(name) != std::string::npos) found.push_back(line);
        ASSERT_EQ(1u, found.size()) << name;
        std::string folder = std::string(name) == "native.exe" ? "C:\\WINDOWS\\SYSTEM32\\drivers\\etc\\" : wow;
        EXPECT_TRUE(sim::iequals(found[0].substr(0, folder.size()), folder)) << found[0];
    }
    EXPECT_EQ(2u, m().pending_deletes.size());
    EXPECT_FALSE(m().exists(wow + "drivers\\gone.sys"));
}

TEST_F(MemoryTest, EndedProcessWhoseFileVanishesIsStillReportedAndCounted) {
    // Another program deletes the image at any moment after its process was
    // ended: the memory line and the count stand; a file line only while
    // the file was there to be removed.
    const std::string evil = "C:\\WINDOWS\\evil.exe";
    for (const Family &family : {Family{"98", win98}, Family{"XP", xp}}) {
        at_every_call(
            [&] {
                fresh();
                family.set(m());
                m().add_drive('C', DRIVE_FIXED);
                infected(7, evil);
            },
            [&] {
                if (!m().process(7)->running && m().exists(evil)) {
                    sim::Node *n = m().find(evil);
                    n->parent->remove_child(n);
                }
            },
            [&] { scan_driver(); },
            [&](int k) {
                EXPECT_EQ((int)m().terminated.size(), lines_equal(window.lines, memory_line)) << family.name << " call " << k;
                EXPECT_EQ(1, lines_equal(window.lines, "Total files infected\t\t:  1")) << family.name << " call " << k;
                EXPECT_LE(lines_starting(window.lines, evil), 1) << family.name << " call " << k;
            });
    }
}

TEST_F(MemoryTest, NoProcessPassWithoutAKnownFamily) {
    for (bool query_fails : {true, false}) {
        fresh();
        m().add_drive('C', DRIVE_FIXED);
        m().version.query_fails = query_fails;  // family 0; else Win32s, family 1
        m().set_version(VER_PLATFORM_WIN32s, 3, 1);
        infected(7, "C:\\WINDOWS\\evil.exe");
        memory_scan();
        for (const char *call : {"CreateToolhelp32Snapshot", "EnumProcesses", "OpenProcess", "LoadLibraryA"})
            EXPECT_EQ(0, m().calls[call]) << call;
        EXPECT_EQ(0, scan_state.memory_phase);
    }
}

TEST_F(MemoryTest, UnattendedScanTellsInLinesAndGoesOnPastASurvivor) {
    // NT 4 and NT 5.x: an infected process outlives both terminations, its
    // service is removed, and the scan goes on to the drives; 98: the
    // snapshot method finds nothing to end for a locked file.
    for (void (*family)(sim::Machine &) : {nt4, xp, win98}) {
        fresh();
        service_restart_needed = 0;
        scan_state.unattended = 1;
        family(m());
        bool nt = m().version.platform_id == VER_PLATFORM_WIN32_NT;
        bool nt4_family = nt && m().version.major == 4;
        m().add_drive('C', DRIVE_FIXED);
        m().token_open_fails = true;
        m().add_file("C:\\WINDOWS\\shy.exe", std::string(100, 's'));
        m().add_process(6, "C:\\WINDOWS\\shy.exe").needs_debug = true;
        m().add_process(9, "C:\\WINDOWS\\shy.exe").needs_debug = true;  // one line for both
        if (nt) {
            infected(7, "C:\\WINDOWS\\evil.exe").unkillable = true;
            m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil", "ImagePath", "C:\\WINDOWS\\evil.exe");
        } else {
            m().add_file("C:\\WINDOWS\\evil.exe", sample_data)->locked = true;
            m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil", "ImagePath", "C:\\WINDOWS\\evil.exe");
        }
        m().confirm_answers = {IDNO};
        try {
            scan_driver();
        } catch (const sim::ProgramExit &) {
            ADD_FAILURE() << "the program exited";
        }
        std::vector<std::string> want;
        if (nt) {
            want.push_back("System Memory    Debug privilege could not be enabled");
            want.push_back("System Memory    W32/Quelby.Trojan  still running, its service removed: it ends at the "
                           "next restart");
        }
        if (!nt || nt4_family) want.push_back("C:\\WINDOWS\\evil.exe     Could not kill process");
        want.push_back("C:\\WINDOWS\\evil.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove");
        for (const char *line : {" ", "Scanning statistics", "------------------------------", "Total files scanned\t\t:  2",
                                 "Total files infected\t\t:  1", "Total files removed\t\t:  0"})
            want.push_back(line);
        EXPECT_EQ(want, window.lines);
        EXPECT_TRUE(m().message_boxes.empty());
        // Only the end-of-scan restart question is asked, which the front end answers.
        ASSERT_EQ(1u, m().confirm_calls.size());
        EXPECT_EQ(0u, m().confirm_calls[0].text.find("The system has to be restarted"));
        EXPECT_EQ(nt ? 1 : 0, service_restart_needed);
        EXPECT_EQ(!nt, m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil"));
        EXPECT_TRUE(m().exists("C:\\WINDOWS\\evil.exe"));
        EXPECT_EQ(1, scan_state.restart_needed);
        m().handles.clear();
        m().open_handles = 0;
    }
}

TEST_F(MemoryTest, DetectOnlyReportsEachOfManyInfectedProcessesFilesOnce) {
    // More infected images than the memory scan's list of files holds: the
    // detect-only lines are the removal's, "found" for "removed", and the
    // files beyond the list are not found again by the drive walk.
    for (void (*family)(sim::Machine &) : {win98, xp}) {
        std::vector<std::string> lines[2];
        int32_t infected_count[2];
        for (int detect = 0; detect < 2; ++detect) {
            fresh();
            family(m());
            m().add_drive('C', DRIVE_FIXED);
            scan_state.detect_only = (uint8_t)detect;
            for (int i = 0; i < memory_file_limit + 3; ++i) infected(10 + i, "C:\\W\\E" + std::to_string(i) + ".EXE");
            scan_driver();
            for (std::string line : window.lines) {
                if (line.find("Total files scanned") == 0) continue;  // the removal deleted what the walk would test
                size_t at = line.rfind(" removed");
                if (at != std::string::npos && at + 8 == line.size()) line.replace(at, 8, " found");
                lines[detect].push_back(line);
            }
            infected_count[detect] = scan_state.files_infected;
        }
        EXPECT_EQ(memory_file_limit + 3, infected_count[1]);
        EXPECT_EQ(infected_count[0], infected_count[1]);
        // The removal's count of removed files is 0 in the detect-only statistics.
        ASSERT_FALSE(lines[0].empty());
        lines[0].back() = "Total files removed\t\t:  0";
        EXPECT_EQ(lines[0], lines[1]);
    }
}

TEST_F(MemoryTest, ProcessLeftRunningWithItsFileOutOfTheWalkIsNotARemoval) {
    // An infected process that outlives the memory scan runs from a drive
    // the walk does not reach: the run removes its autorun value and counts
    // no file, and its exit code says that something stayed.
    for (void (*family)(sim::Machine &) : {win98, xp}) {
        fresh();
        family(m());
        m().add_drive('C', DRIVE_FIXED);
        m().add_drive('E', DRIVE_REMOVABLE);
        scan_state.unattended = 1;
        infected(7, "E:\\evil.exe").unkillable = true;
        m().reg_set(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "evil", "E:\\evil.exe");
        scan_driver();
        EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "evil"));
        EXPECT_EQ(1, processes_left_running());
        EXPECT_EQ(exit_left, exit_code_for(scan_outcome(false)));

        // Its file on C: instead: the walk disposes of it (the file stays),
        // and the process no longer counts as left running.
        fresh();
        family(m());
        m().add_drive('C', DRIVE_FIXED);
        scan_state.unattended = 1;
        infected(7, "C:\\APPS\\evil.exe").unkillable = true;
        scan_driver();
        EXPECT_EQ(0, processes_left_running());
        EXPECT_EQ(1, scan_state.files_scheduled + scan_state.files_left);
        m().handles.clear();
        m().open_handles = 0;
    }
}

TEST_F(MemoryTest, ServiceKeysOfAnEndedProcessLeaveNothingForARestart) {
    // NT 4 and XP: the process ends at the first attempt, its service (not
    // running as such) has its keys deleted, its file goes: all removed.
    for (void (*family)(sim::Machine &) : {nt4, xp}) {
        fresh();
        service_restart_needed = 0;
        family(m());
        m().add_drive('C', DRIVE_FIXED);
        scan_state.unattended = 1;
        infected(7, "C:\\WINDOWS\\evil.exe");
        m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil", "ImagePath", "C:\\WINDOWS\\evil.exe");
        scan_driver();
        EXPECT_FALSE(m().exists("C:\\WINDOWS\\evil.exe"));
        EXPECT_FALSE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil"));
        EXPECT_EQ(1, service_restart_needed);
        EXPECT_EQ(exit_removed, exit_code_for(scan_outcome(false)));
    }
}
