// Whole scans of infected machines, one per platform family: every line,
// every counter, the restart question; and the same machines scanned
// detect-only, left as they were.
#include "test_support.h"

#include "engine/scan_driver.h"
#include "engine/signature_table.h"
#include "memory/memory_scan.h"
#include "tests/support/sample_maker.h"

namespace {
const char *run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char *uninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v";
const std::string hijacked_hosts =
    "begin 644 hosts\n"
    "M,3(W+C N,\"XQ(\" @(\" @(&QO8V%L:&]S= T*,3(W+C N,\"XQ(\" @(\" @(\'=I\n"
    "M;F1O=W-U<&1A=&4N;6EC<F]S;V9T+F-O;0T*,3(W+C N,\"XQ(\" @(\" @(\'5P\n"
    "`\nend\n";

struct Family {
    const char *name;
    DWORD platform, major;
    const char *system_dir;
    const char *hosts;
};
}  // namespace

class WholeScan : public EngineTest, public ::testing::WithParamInterface<Family> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        service_restart_needed = 0;
        const Family &f = GetParam();
        m().set_version(f.platform, f.major, 0);
        m().system_dir = f.system_dir;
        m().install_perflib();
        std::strcpy(scan_state.scan_target, "!:");
        scan_state.disposition_choice = 100;
        std::string sample = sample::make(signature_table);
        m().add_file(f.hosts, hijacked_hosts);
        image = std::string(f.system_dir) + "\\evil.exe";
        m().add_file(image, sample, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        m().add_file(std::string(f.system_dir) + "\\kernel32.dll", std::string(23552, 'k'));
        m().add_process(8, std::string(f.system_dir) + "\\kernel32.dll");
        m().add_process(500, image);
        m().add_file("C:\\Data\\copy.scr", sample, FILE_ATTRIBUTE_READONLY);
        m().add_file("C:\\Data\\held.exe", sample)->locked = true;
        m().find("C:\\Data\\held.exe")->short_name = "HELD.EXE";
        m().find("C:\\Data")->short_name = "DATA";
        m().add_file("C:\\Data\\near.exe", sample::one_byte_longer(signature_table));
        m().add_dir("C:\\WINDOWS\\TEMP");
        m().reg_set(HKEY_LOCAL_MACHINE, run, "Evil", image + " /start");
        m().reg_set(HKEY_LOCAL_MACHINE, run, "Good", "C:\\good.exe");
        m().reg_set(HKEY_LOCAL_MACHINE, uninstall, "UninstallString", "C:\\Program Files\\x\\uninstall.exe");
        m().reg_set(HKEY_LOCAL_MACHINE, run, "SMrhcjg7j0e38v", "C:\\WINDOWS\\rhcjg7j0e38v.exe");
        m().confirm_answers = {IDNO};
    }
    std::string image;
};

TEST_P(WholeScan, EveryLineAndCounter) {
    const Family &f = GetParam();
    scan_driver();
    std::vector<std::string> want = {
        std::string(f.hosts) + "     W32/Nyxem.Worm removed",
        "System Registry     W32/Quelby.Trojan removed",
        "System Memory    W32/Quelby.Trojan  removed",
        image + "     W32/Quelby.Trojan  removed",
        "C:\\Data\\copy.scr     W32/Quelby.Qgs.Dl.Trojan removed",
        "C:\\Data\\held.exe     W32/Quelby.Qgs.Dl.Trojan Unable to remove",
        " ",
        "Scanning statistics",
        "------------------------------",
        "Total files scanned\t\t:  4",  // kernel32.dll, copy.scr, held.exe, near.exe
        "Total files infected\t\t:  4",
        "Total files removed\t\t:  3",
    };
    EXPECT_EQ(want, window.lines);
    EXPECT_EQ((std::vector<DWORD>{500}), m().terminated);
    EXPECT_FALSE(m().exists(image));
    EXPECT_FALSE(m().exists(f.hosts));
    EXPECT_FALSE(m().exists("C:\\Data\\copy.scr"));
    EXPECT_TRUE(m().exists("C:\\Data\\held.exe"));
    EXPECT_TRUE(m().exists("C:\\Data\\near.exe"));
    EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, run, "Evil"));
    EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, run, "Good"));
    EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, run, "SMrhcjg7j0e38v"));
    EXPECT_FALSE(m().reg_has_value(HKEY_LOCAL_MACHINE, uninstall, "UninstallString"));
    EXPECT_TRUE(m().reg_has_key(HKEY_LOCAL_MACHINE, uninstall));
    ASSERT_EQ(1u, m().confirm_calls.size());
    EXPECT_EQ(0x24u, m().confirm_calls[0].style);
    EXPECT_EQ(1, scan_state.restart_needed);
    if (f.platform == VER_PLATFORM_WIN32_WINDOWS) {
        EXPECT_EQ("[rename]\r\nNUL=C:\\DATA\\HELD.EXE\r\n", m().file_data("C:\\WINDOWS\\wininit.ini"));
        ASSERT_EQ(1u, m().message_boxes.size());  // the snapshot method found no process for held.exe
        EXPECT_EQ("Could not kill process", m().message_boxes[0].text);
    } else {
        EXPECT_EQ((std::vector<std::string>{"C:\\Data\\held.exe"}), m().pending_deletes);
        // NT 5.x ends processes by path and says nothing; the other NT
        // generations look for a performance-data instance and say they found none.
        EXPECT_EQ(f.major == 5 ? 0u : 1u, m().message_boxes.size());
    }
    EXPECT_TRUE(m().exit_windows_calls.empty());
}

TEST_P(WholeScan, DetectOnlyReportsWhatARemovalRemovesAndChangesNothing) {
    const Family &f = GetParam();
    // A service configured to run the image, and one of the same name in
    // the other control set that runs another program.
    sim::Service service;
    service.name = "evil";
    service.process_id = 500;
    m().services.push_back(service);
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\evil", "ImagePath", image);
    m().reg_set(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet002\\Services\\evil", "ImagePath", "C:\\other.exe");
    m().find(image)->locked = true;
    m().add_file("C:\\WINDOWS\\wininit.ini", "[rename]\r\n");
    const std::string before = machine_snapshot();
    scan_state.detect_only = 1;
    scan_driver();
    bool service_line = f.platform == VER_PLATFORM_WIN32_NT && f.major <= 5;
    std::vector<std::string> want = {
        std::string(f.hosts) + "     W32/Nyxem.Worm found",
        "System Registry     W32/Quelby.Trojan uninstall entry found",
        "System Registry     W32/Quelby.Trojan startup entry found",
        "System Registry     W32/Quelby.Trojan found",
        "System Memory    W32/Quelby.Trojan  found",
        image + "     W32/Quelby.Trojan  found",
    };
    if (service_line) want.push_back("System Registry     W32/Quelby.Trojan service evil found");
    for (const char *line : {"C:\\Data\\copy.scr     W32/Quelby.Qgs.Dl.Trojan found",
                             "C:\\Data\\held.exe     W32/Quelby.Qgs.Dl.Trojan found", " ", "Scanning statistics",
                             "------------------------------",
                             // Besides the removal's four: evil.exe, the hosts file and wininit.ini, all left where they are.
                             "Total files scanned\t\t:  7",
                             "Total files infected\t\t:  4", "Total files removed\t\t:  0"})
        want.push_back(line);
    EXPECT_EQ(want, window.lines);
    EXPECT_EQ(before, machine_snapshot());
    EXPECT_TRUE(m().terminated.empty());
    EXPECT_TRUE(m().confirm_calls.empty());
    EXPECT_TRUE(m().message_boxes.empty());
    EXPECT_TRUE(m().exit_windows_calls.empty());
    EXPECT_EQ(0, scan_state.restart_needed);
    EXPECT_EQ(0, service_restart_needed);
    for (const char *call : {"DeleteFileA", "SetFileAttributesA", "MoveFileExA", "RegDeleteValueA", "RegDeleteKeyA",
                             "TerminateProcess", "ControlService", "_write", "CopyFileA"})
        EXPECT_EQ(0, m().calls[call]) << call;
}

INSTANTIATE_TEST_SUITE_P(
    Families, WholeScan,
    ::testing::Values(Family{"win98", VER_PLATFORM_WIN32_WINDOWS, 4, "C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\hosts"},
                      Family{"nt4", VER_PLATFORM_WIN32_NT, 4, "C:\\WINNT\\system32",
                             "C:\\WINNT\\system32\\drivers\\etc\\hosts"},
                      Family{"winxp", VER_PLATFORM_WIN32_NT, 5, "C:\\WINDOWS\\system32",
                             "C:\\WINDOWS\\system32\\drivers\\etc\\hosts"},
                      Family{"win7", VER_PLATFORM_WIN32_NT, 6, "C:\\Windows\\System32",
                             "C:\\Windows\\System32\\drivers\\etc\\hosts"}),
    [](const ::testing::TestParamInfo<Family> &info) { return std::string(info.param.name); });
