// A scan without administrator rights (a limited account on XP, or a user
// who started the program without elevation where nothing asks for it):
// every deletion, scheduling and registry change is refused. The program
// goes as far as the rights go and claims nothing that did not happen.
#include "test_support.h"

#include "engine/scan_driver.h"
#include "engine/signature_table.h"
#include "tests/support/sample_maker.h"

namespace {
const char *run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
}

TEST_F(EngineTest, WithoutRightsNothingIsClaimedAndNoRestartIsOffered) {
    m().set_version(VER_PLATFORM_WIN32_NT, 5, 1);
    m().system_dir = "C:\\WINDOWS\\system32";
    m().install_perflib();
    m().held_privileges.clear();
    std::strcpy(scan_state.scan_target, "!:");
    scan_state.disposition_choice = 100;
    std::string image = "C:\\WINDOWS\\system32\\evil.exe";
    m().add_file(image, sample::make(signature_table), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    m().reg_set(HKEY_LOCAL_MACHINE, run, "Evil", image);
    for (const char *call : {"SetFileAttributesA", "DeleteFileA", "MoveFileExA", "RegDeleteValueA", "RegDeleteKeyA"})
        m().fail_calls[call] = 1000000;

    scan_driver();

    for (const std::string &line : window.lines)
        EXPECT_FALSE(line.size() >= 7 && line.compare(line.size() - 7, 7, "removed") == 0) << line;
    EXPECT_NE(window.lines.end(), std::find(window.lines.begin(), window.lines.end(),
                                            image + "     W32/Quelby.Qgs.Dl.Trojan Unable to remove"));
    EXPECT_EQ("Total files infected\t\t:  1", window.lines[window.lines.size() - 2]);
    EXPECT_EQ("Total files removed\t\t:  0", window.lines.back());
    EXPECT_TRUE(m().exists(image));
    EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, run, "Evil"));
    EXPECT_TRUE(m().pending_deletes.empty());
    EXPECT_EQ(0, scan_state.restart_needed);
    EXPECT_TRUE(m().confirm_calls.empty()) << "a restart that would remove nothing was offered";
}
