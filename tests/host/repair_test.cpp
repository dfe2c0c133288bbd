// The registry repair after a hit: helpers, the cleanup's three keys, the
// autorun sweep, services.
#include "test_support.h"

#include "engine/file_matcher.h"
#include "engine/path_text.h"
#include "engine/signature_table.h"
#include "memory/memory_scan.h"
#include "repair/autorun_cleanup.h"
#include "repair/autorun_sweep.h"
#include "repair/registry_helpers.h"
#include "repair/service_removal.h"
#include "tests/support/sample_maker.h"

namespace {
const char *run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char *run_services = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char *uninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v";
const char *removed_line = "System Registry     W32/Quelby.Trojan removed";
}  // namespace

class RepairTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        m().add_drive('C', DRIVE_FIXED);
    }
    void TearDown() override {
        EXPECT_EQ(0, m().open_service_handles);
        EngineTest::TearDown();
    }
    void infected_file(const char *path) { std::strcpy(scan_state.file_under_test, path); }
    bool has(const char *key, const char *value) { return m().reg_has_value(HKEY_LOCAL_MACHINE, key, value); }
    void set(const char *key, const char *value, const std::string &data) {
        m().reg_set(HKEY_LOCAL_MACHINE, key, value, data);
    }
};

TEST_F(RepairTest, HelpersReportFailureAndCloseTheirKeys) {
    set(run, "Present", "x");
    EXPECT_EQ(0, delete_registry_value(HKEY_LOCAL_MACHINE, run, "Absent"));
    EXPECT_EQ(0, delete_registry_value(HKEY_LOCAL_MACHINE, "Software\\Missing", "Present"));
    char buf[8];
    EXPECT_EQ(0, read_registry_value(HKEY_LOCAL_MACHINE, run, "Absent", buf, sizeof buf));
    EXPECT_EQ(1, read_registry_value(HKEY_LOCAL_MACHINE, run, "Present", buf, sizeof buf));
    EXPECT_STREQ("x", buf);
    set(run, "Long", "12345678");  // 9 bytes with its terminator: does not fit 8
    EXPECT_EQ(0, read_registry_value(HKEY_LOCAL_MACHINE, run, "Long", buf, sizeof buf));
    EXPECT_STREQ("", buf);
    m().reg_set_raw(HKEY_LOCAL_MACHINE, run, "Binary", "1234567", REG_BINARY);  // no terminator
    EXPECT_EQ(1, read_registry_value(HKEY_LOCAL_MACHINE, run, "Binary", buf, sizeof buf));
    EXPECT_STREQ("1234567", buf);
    EXPECT_EQ(1, delete_registry_value(HKEY_LOCAL_MACHINE, run, "Present"));
    EXPECT_FALSE(has(run, "Present"));
}

TEST_F(RepairTest, RememberedNameGoesFromEachKeyWithOneLineEach) {
    set(run, "Loader", "c:\\old.exe");
    set(run_services, "Loader", "c:\\old.exe");
    set(uninstall, "Loader", "C:\\OLD.EXE");
    set(run, "Keep", "c:\\keep.exe");
    std::strcpy(scan_state.removed_value_name, "Loader");
    std::strcpy(scan_state.removed_value_data, "c:\\old.exe");
    autorun_cleanup("W32/Quelby.Ptt.Dl.Trojan");
    EXPECT_EQ(std::vector<std::string>(3, "System Registry     W32/Quelby.Ptt.Dl.Trojan removed"), window.lines);
    EXPECT_FALSE(has(run, "Loader"));
    EXPECT_FALSE(has(run_services, "Loader"));
    EXPECT_TRUE(has(run, "Keep"));

    // A value of the remembered name that starts something else stays in
    // Run and RunServices; in the trojan's own uninstall key it goes whatever
    // it holds.
    set(run_services, "Loader", "c:\\tools\\loader.exe");
    set(uninstall, "Loader", "x");
    window.lines.clear();
    autorun_cleanup("X");
    EXPECT_TRUE(has(run_services, "Loader"));
    EXPECT_FALSE(has(uninstall, "Loader"));
    EXPECT_EQ(std::vector<std::string>{"System Registry     X removed"}, window.lines);
    window.lines.clear();

    window.lines.clear();
    autorun_cleanup("X");  // stands in no key now
    std::memset(scan_state.removed_value_name, 0, sizeof scan_state.removed_value_name);
    autorun_cleanup("X");
    EXPECT_TRUE(window.lines.empty());
    EXPECT_EQ(0, m().calls["RegEnumValueA"]);  // no file under test: no sweep
}

TEST_F(RepairTest, CleanupChecksTheHostsFileOfTheFamily) {
    m().set_version(VER_PLATFORM_WIN32_NT, 5, 1);
    autorun_cleanup("X");
    m().set_version(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    autorun_cleanup("X");
    m().set_version(VER_PLATFORM_WIN32s, 3, 1);
    autorun_cleanup("X");
    EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\SYSTEM32\\drivers\\etc\\hosts", "C:\\WINDOWS\\hosts"}),
              m().opened);
}

TEST_F(RepairTest, SweepFindsEveryWayACommandStartsTheFile) {
    infected_file("C:\\WINDOWS\\SYSTEM32\\EVIL.EXE");
    set(run, "Plain", "C:\\WINDOWS\\SYSTEM32\\EVIL.EXE /s");
    set(run, "Quoted", "\"C:\\Windows\\System32\\evil.exe\" -x");
    set(run, "Expanded", "%SystemRoot%\\system32\\evil.exe");
    set(run, "Bare", "evil.exe");
    set(run, "Rundll", "rundll32.exe evil.exe,Start");
    set(run, "LookAlike", "notevil.exe");
    set(run, "Longer", "C:\\WINDOWS\\SYSTEM32\\EVIL.EXE2.exe");
    set(run, "Other", "C:\\WINDOWS\\SYSTEM32\\good.exe");
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    for (const char *gone : {"Plain", "Quoted", "Expanded", "Bare", "Rundll"}) EXPECT_FALSE(has(run, gone)) << gone;
    for (const char *kept : {"LookAlike", "Longer", "Other"}) EXPECT_TRUE(has(run, kept)) << kept;
    EXPECT_EQ(std::vector<std::string>(5, removed_line), window.lines);
    EXPECT_STREQ("Rundll", scan_state.removed_value_name);
    EXPECT_STREQ("c:\\windows\\system32\\evil.exe", scan_state.file_under_test);  // lowered in place
}

TEST_F(RepairTest, RootedPathsStartTheFileOnTheWindowsDrive) {
    infected_file("C:\\WINDOWS\\SYSTEM32\\EVIL.EXE");
    set(run, "Rooted", "\\WINDOWS\\SYSTEM32\\EVIL.EXE");
    set(run, "Arguments", "\\windows\\system32\\evil.exe /s");
    set(run, "Elsewhere", "\\OTHER\\EVIL.EXE");  // another file of the same name
    set(run, "Longer", "\\WINDOWS\\SYSTEM32\\EVIL.EXE2.EXE");
    set(run, "Inside", "\\WINDOWS\\SYSTEM32\\notevil.exe");
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    for (const char *gone : {"Rooted", "Arguments"}) EXPECT_FALSE(has(run, gone)) << gone;
    for (const char *kept : {"Elsewhere", "Longer", "Inside"}) EXPECT_TRUE(has(run, kept)) << kept;
    EXPECT_EQ(std::vector<std::string>(2, removed_line), window.lines);

    // Outside the system folders too, and only on the Windows drive.
    set(run, "Root", "\\EVIL.EXE /s");
    infected_file("D:\\EVIL.EXE");
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    EXPECT_TRUE(has(run, "Root"));
    infected_file("C:\\EVIL.EXE");
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    EXPECT_FALSE(has(run, "Root"));
    EXPECT_STREQ("Root", scan_state.removed_value_name);
    EXPECT_STREQ("\\evil.exe /s", scan_state.removed_value_data);
}

TEST_F(RepairTest, BareNamesOnlyCountForFilesInSystemFolders) {
    infected_file("C:\\Program Files\\App\\evil.exe");
    set(run, "Bare", "evil.exe");
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    EXPECT_TRUE(has(run, "Bare"));
    infected_file("C:\\WINDOWS\\SYSTEM\\evil.exe");
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    EXPECT_FALSE(has(run, "Bare"));
}

TEST_F(RepairTest, SweepEdgesOfNamesAndData) {
    infected_file("C:\\X\\evil.exe");
    std::string long_name(130, 'n');
    set(run, long_name.c_str(), "c:\\x\\evil.exe");             // deleted, never remembered
    set(run, "TooLong", "c:\\x\\evil.exe " + std::string(260, 'a'));  // does not fit: skipped
    set(run, "Wide", "%BIG%");                                   // expansion over 260: skipped
    m().environment["BIG"] = "c:\\x\\evil.exe " + std::string(250, 'b');
    std::strcpy(scan_state.removed_value_name, "before");
    scan_state.report_window = nullptr;
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    EXPECT_FALSE(has(run, long_name.c_str()));
    EXPECT_STREQ("before", scan_state.removed_value_name);
    EXPECT_TRUE(has(run, "TooLong"));
    EXPECT_TRUE(has(run, "Wide"));
    EXPECT_TRUE(window.lines.empty());  // no window: deleted but not reported
}

TEST_F(RepairTest, StopServiceAndItsBoundedWait) {
    m().services.push_back({"quick", SERVICE_RUNNING, 0, false});
    m().services.push_back({"slow", SERVICE_RUNNING, 3, false});
    m().services.push_back({"stuck", SERVICE_RUNNING, -1, false});
    m().services.push_back({"stubborn", SERVICE_RUNNING, 0, true});
    EXPECT_EQ(1, stop_service("quick"));
    EXPECT_EQ(0u, m().slept_ms);
    EXPECT_EQ(1, stop_service("slow"));
    EXPECT_EQ(3000u, m().slept_ms);
    m().slept_ms = 0;
    EXPECT_EQ(0, stop_service("stuck"));
    EXPECT_EQ(20000u, m().slept_ms);
    EXPECT_EQ(0, stop_service("stubborn"));
    EXPECT_EQ(0, stop_service("absent"));
    m().scm_open_fails = true;
    EXPECT_EQ(0, stop_service("quick"));
}

TEST_F(RepairTest, ServiceKeysGoWholeAndOnlyWhereTheImagePathNamesTheFile) {
    const char *file = "C:\\WINNT\\system32\\evil.exe";
    m().add_file(file, "x");
    for (const char *set_name : {"ControlSet001", "ControlSet002"}) {
        std::string base = std::string("SYSTEM\\") + set_name + "\\Services\\evil";
        m().reg_set(HKEY_LOCAL_MACHINE, base, "ImagePath", file);
        m().reg_key(HKEY_LOCAL_MACHINE, base + "\\Enum", true);
        m().reg_key(HKEY_LOCAL_MACHINE, base + "\\Security", true);
        m().reg_set(HKEY_LOCAL_MACHINE, base + "\\Parameters\\Deeper", "x", "1");
    }
    EXPECT_EQ(1, delete_service_keys("evil", file));
    EXPECT_FALSE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil"));
    EXPECT_FALSE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet002\\Services\\evil"));
    EXPECT_EQ("SYSTEM\\ControlSet001\\Services\\evil\\Parameters\\Deeper", m().deleted_keys[2]);
    EXPECT_EQ(0, delete_service_keys("nothing", file));

    // A subkey that cannot be deleted keeps the key: no success.
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil", "ImagePath", file);
    m().reg_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil\\Enum", true);
    m().fail_calls["RegDeleteKeyA"] = 1;
    EXPECT_EQ(0, delete_service_keys("evil", file));
    EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil"));

    // A genuine service named like an infected image elsewhere.
    m().add_file("C:\\TEMP\\msdtc.exe", "x");
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet002\\Services\\MSDTC", "ImagePath",
                "%SystemRoot%\\System32\\msdtc.exe -service");
    m().reg_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet002\\Services\\MSDTC\\Linkage", true);
    m().environment["SYSTEMROOT"] = "C:\\WINNT";
    EXPECT_EQ(0, delete_service_keys("msdtc", "C:\\TEMP\\msdtc.exe"));
    EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet002\\Services\\MSDTC\\Linkage"));
}

TEST_F(RepairTest, ImagePathFormsThatNameTheFile) {
    m().windows_dir = "C:\\WINNT";
    m().system_dir = "C:\\WINNT\\system32";
    m().current_dir = "C:\\TEMP";
    m().add_file("C:\\WINNT\\msdtc.exe", "x");
    m().environment["SYSTEMROOT"] = "C:\\WINNT";
    m().add_dir("C:\\Program Files")->short_name = "PROGRA~1";
    m().add_file("C:\\Program Files\\Evil App\\svc.exe", "x");
    m().find("C:\\Program Files\\Evil App")->short_name = "EVILAP~1";
    m().add_file("C:\\WINNT\\system32\\msdtc.exe", "x");
    m().add_file("C:\\TEMP\\msdtc.exe", "x");
    struct Case { const char *image, *file; int names; } cases[] = {
        {"\"C:\\Program Files\\Evil App\\svc.exe\" -k", "C:\\Program Files\\Evil App\\svc.exe", 1},
        {"C:\\Program Files\\Evil App\\svc.exe -k", "C:\\Program Files\\Evil App\\svc.exe", 1},
        {"C:\\PROGRA~1\\EVILAP~1\\SVC.EXE", "C:\\Program Files\\Evil App\\svc.exe", 1},
        {"%SystemRoot%\\System32\\msdtc.exe", "C:\\WINNT\\system32\\msdtc.exe", 1},
        {"\\SystemRoot\\System32\\msdtc.exe", "C:\\WINNT\\system32\\msdtc.exe", 1},
        {"\\??\\C:\\WINNT\\system32\\msdtc.exe", "C:\\WINNT\\system32\\msdtc.exe", 1},
        {"System32\\msdtc.exe", "C:\\WINNT\\system32\\msdtc.exe", 1},
        // The genuine MSDTC against an infected namesake elsewhere.
        {"%SystemRoot%\\System32\\msdtc.exe", "C:\\TEMP\\msdtc.exe", 0},
        {"C:\\WINNT\\system32\\msdtc.exe2.exe", "C:\\WINNT\\system32\\msdtc.exe", 0},
        // A bare name is the system folder's file, never the current folder's.
        {"msdtc.exe", "C:\\WINNT\\system32\\msdtc.exe", 1},
        {"msdtc.exe -k C:\\TEMP", "C:\\WINNT\\system32\\msdtc.exe", 1},
        {"\"msdtc.exe\" -k", "C:\\WINNT\\system32\\msdtc.exe", 1},
        {"msdtc.exe", "C:\\TEMP\\msdtc.exe", 0},
        {"msdtc.exe -k C:\\TEMP", "C:\\TEMP\\msdtc.exe", 0},
        {"msdtc.exe", "C:\\WINNT\\msdtc.exe", 0},
        {"", "C:\\WINNT\\system32\\msdtc.exe", 0},
    };
    for (const Case &c : cases) {
        m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\s", "ImagePath", c.image, REG_EXPAND_SZ);
        EXPECT_EQ(c.names, service_runs_file("ControlSet001", "s", c.file)) << c.image;
        EXPECT_EQ(c.names, service_runs_file("CurrentControlSet", "s", c.file)) << c.image;
    }
    // An image called ".exe" gives an empty service name, which names nothing.
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services", "ImagePath", "C:\\TEMP\\.exe");
    EXPECT_EQ(0, service_runs_file("ControlSet001", "", "C:\\TEMP\\.exe"));
}

TEST_F(RepairTest, UnderWowSixtyFourImagePathsNameTheNativeSystemFolder) {
    // The 32-bit program sees SysWOW64 in the place of System32; the service
    // control manager reads System32 as it is written.
    m().wow64 = true;
    m().add_file("C:\\WINDOWS\\SYSTEM32\\csrss.exe", "native");
    m().add_file("C:\\WINDOWS\\SysWOW64\\csrss.exe", "seen");
    const char *seen = "C:\\WINDOWS\\SYSTEM32\\csrss.exe";
    struct Case { const char *image; int names; } cases[] = {
        {"%SystemRoot%\\system32\\csrss.exe", 0},
        {"\\SystemRoot\\System32\\csrss.exe", 0},
        {"csrss.exe", 0},
        {"C:\\WINDOWS\\SysWOW64\\csrss.exe", 1},
    };
    for (const Case &c : cases) {
        m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\csrss", "ImagePath", c.image, REG_EXPAND_SZ);
        EXPECT_EQ(c.names, service_runs_file("ControlSet001", "csrss", seen)) << c.image;
    }
}

TEST_F(RepairTest, UnkillableProcessWhoseServiceStopsIsRemoved) {
    m().set_version(VER_PLATFORM_WIN32_NT, 4, 0);
    service_restart_needed = 0;
    scan_state.disposition_choice = 100;
    m().add_file("C:\\WINNT\\system32\\evilsvc.exe", sample::make(signature_table));
    sim::Process &p = m().add_process(77, "C:\\WINNT\\system32\\evilsvc.exe");
    p.unkillable = true;
    m().services.push_back({"evilsvc", SERVICE_RUNNING, 1, false, 77});
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evilsvc", "ImagePath",
                "%SystemRoot%\\system32\\evilsvc.exe");
    m().environment["SYSTEMROOT"] = "C:\\WINNT";
    memory_scan();
    EXPECT_EQ(0, service_restart_needed);
    EXPECT_FALSE(m().reg_has_key(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evilsvc"));
    ASSERT_FALSE(window.lines.empty());
    EXPECT_EQ("System Memory    W32/Quelby.Trojan  removed", window.lines[0]);
    EXPECT_FALSE(m().exists("C:\\WINNT\\system32\\evilsvc.exe"));
}

TEST_F(RepairTest, APathWithoutAFileNameStartsNothing) {
    infected_file("C:\\WINDOWS\\SYSTEM32\\");
    set(run, "Bare", "anything.exe");
    set(run, "Path", "C:\\WINDOWS\\SYSTEM32\\tool.exe");
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    EXPECT_TRUE(has(run, "Bare"));
    EXPECT_TRUE(has(run, "Path"));
}

TEST_F(RepairTest, DoubleByteNamesStayWhole) {
    // Code page 932: 0x83 0x5C is one character whose second byte is "\",
    // 0x83 0x41 one whose second byte is "A".
    m().ansi_code_page = 932;
    infected_file("C:\\WINDOWS\\SYSTEM\\\x83\x5c" "evil.exe");
    set(run, "Innocent", "evil.exe");                       // a program of its own
    set(run, "Trojan", "\x83\x5c" "evil.exe /s");            // the infected file
    set(run, "Kana", "C:\\WINDOWS\\SYSTEM\\\x83\x41" "X.EXE");  // another file
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    EXPECT_TRUE(has(run, "Innocent"));
    EXPECT_FALSE(has(run, "Trojan"));
    EXPECT_TRUE(has(run, "Kana"));
    EXPECT_EQ(m().reg_text(HKEY_LOCAL_MACHINE, run, "Kana"), "C:\\WINDOWS\\SYSTEM\\\x83\x41" "X.EXE");
    // Lower-casing leaves the second bytes of double-byte characters alone.
    EXPECT_STREQ("c:\\windows\\system\\\x83\x5c" "evil.exe", scan_state.file_under_test);
    char name[] = "C:\\\x83\x41\x83\x5c" "AB.EXE";
    EXPECT_STREQ("\x83\x41\x83\x5c" "AB.EXE", file_name_part(name));
    EXPECT_STREQ("c:\\\x83\x41\x83\x5c" "ab.exe", lower_text(name));
}

TEST_F(RepairTest, CaseChangesCoverTheWholeAlphabet) {
    for (UINT code_page : {1252u, 932u}) {
        m().ansi_code_page = code_page;
        char upper[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ@[`{", lower[] = "abcdefghijklmnopqrstuvwxyz@[`{";
        char text[sizeof upper];
        EXPECT_STREQ(lower, lower_text(std::strcpy(text, upper))) << code_page;
        EXPECT_STREQ(upper, upper_text(std::strcpy(text, lower))) << code_page;
        EXPECT_TRUE(same_text_nocase(upper, lower));
        EXPECT_TRUE(begins_with_nocase(lower, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"));
        // The neighbours of the alphabet are not letters.
        EXPECT_FALSE(same_text_nocase("@", "`"));
        EXPECT_FALSE(same_text_nocase("[", "{"));
    }
}

TEST_F(RepairTest, SweepDeletesOnlyAfterEnumeratingAndMatchesShortForms) {
    m().add_dir("C:\\Program Files")->short_name = "PROGRA~1";
    m().add_file("C:\\Program Files\\Evil App.exe", "x")->short_name = "EVILAP~1.EXE";
    infected_file("C:\\Program Files\\Evil App.exe");
    set(run, "Short", "C:\\PROGRA~1\\EVILAP~1.EXE /s");
    set(run, "Long", "\"C:\\Program Files\\Evil App.exe\"");
    set(run, "Keep", "C:\\PROGRA~1\\other.exe");
    set(run, "Spaces", "C:\\Program Files\\Evil App.exe -x");
    autorun_sweep(HKEY_LOCAL_MACHINE, run);
    for (const char *gone : {"Short", "Long", "Spaces"}) EXPECT_FALSE(has(run, gone)) << gone;
    EXPECT_TRUE(has(run, "Keep"));
    EXPECT_EQ(std::vector<std::string>(3, removed_line), window.lines);
    EXPECT_STREQ("Spaces", scan_state.removed_value_name);
    EXPECT_FALSE(m().deleted_while_enumerating);
}
