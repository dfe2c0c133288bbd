// The scan driver: which drives are walked, the statistics, the final status,
// the restart question.
#include "test_support.h"

#include "engine/scan_driver.h"

class DriverTest : public EngineTest {
protected:
    std::vector<std::string> statistics(int scanned, int infected, int removed) {
        return {"Scanning statistics", "------------------------------",
                "Total files scanned\t\t:  " + std::to_string(scanned),
                "Total files infected\t\t:  " + std::to_string(infected),
                "Total files removed\t\t:  " + std::to_string(removed)};
    }
};

TEST_F(DriverTest, WalksFixedDrivesOnlyAndPrintsExactStatistics) {
    m().add_drive('A', DRIVE_REMOVABLE);
    m().add_file("A:\\floppy.exe", "x");
    m().add_file("C:\\c1", "1");
    m().add_file("C:\\Windows\\c2", "2");
    m().add_drive('D', DRIVE_CDROM);
    m().add_file("D:\\setup.exe", "x");
    m().add_drive('E', DRIVE_REMOTE);
    m().add_file("E:\\share.exe", "x");
    m().add_drive('F', DRIVE_REMOVABLE);
    m().add_file("F:\\usb.exe", "x");
    m().add_drive('G', DRIVE_RAMDISK);
    m().add_file("G:\\ram.exe", "x");
    m().add_file("Z:\\z1", "z");  // fixed, last letter

    EXPECT_EQ(1, scan_driver());
    EXPECT_EQ(3, scan_state.files_scanned);
    EXPECT_EQ(statistics(3, 0, 0), window.lines);
    EXPECT_EQ("Scanning completed", window.statuses.back());
    EXPECT_EQ(1, scan_state.scan_finished);
    EXPECT_TRUE(m().confirm_calls.empty());
    for (const std::string &s : window.statuses) {
        EXPECT_NE('A', s[0]);
        EXPECT_NE('D', s[0]);
        EXPECT_NE('E', s[0]);
        EXPECT_NE('F', s[0]);
        EXPECT_NE('G', s[0]);
    }
    // Letters C to Z asked once each, A and B never.
    EXPECT_EQ(24, m().calls["GetDriveTypeA"]);
}

TEST_F(DriverTest, BlankLineBeforeStatisticsAfterADetection) {
    m().add_drive('C', DRIVE_FIXED);
    scan_state.files_infected = 2;
    scan_state.files_removed = 1;
    scan_driver();
    std::vector<std::string> want = statistics(0, 2, 1);
    want.insert(want.begin(), " ");
    EXPECT_EQ(want, window.lines);
}

TEST_F(DriverTest, StoppedScanStillPrintsStatistics) {
    m().add_file("C:\\one", "1");
    m().add_file("C:\\two", "2");
    m().add_file("D:\\three", "3");
    m().confirm_answers = {IDYES};
    window.on_status = [this](const std::string &s) {
        if (s == "C:\\one") m().post_key(VK_ESCAPE);
    };
    scan_driver();
    EXPECT_EQ(statistics(1, 0, 0), window.lines);
    EXPECT_EQ("Scanning terminated", window.statuses.back());
}

TEST_F(DriverTest, RestartQuestionOnlyWhenNeeded) {
    m().add_drive('C', DRIVE_FIXED);
    scan_state.restart_needed = 1;
    m().confirm_answers = {IDNO};
    scan_driver();
    ASSERT_EQ(1u, m().confirm_calls.size());
    EXPECT_EQ("The system has to be restarted to remove the virus completely from your system. \n\n "
              "Restart now?",
              m().confirm_calls[0].text);
    EXPECT_EQ("Pellmark Ver 1.0", m().confirm_calls[0].caption);
    EXPECT_EQ(0x24u, m().confirm_calls[0].style);
}

TEST_F(DriverTest, ProgramFilesFallbackWalksAFolderTheWalkMissed) {
    // The folder exists but is spelled so that the walk's "\Program Files\"
    // test never sees it entered: the fallback walks it a second time.
    m().add_file("C:\\PROGRAM FILES\\app.exe", "a");
    scan_driver();
    EXPECT_EQ(0, scan_state.program_files_entered);
    EXPECT_EQ(0, scan_state.program_files_found);
    EXPECT_EQ(2, scan_state.files_scanned);

    // Entered normally: no second walk.
    sim::reset();
    std::memset(&scan_state, 0, sizeof scan_state);
    window.lines.clear();
    window.attach();
    m().add_file("C:\\Program Files\\app.exe", "a");
    scan_driver();
    EXPECT_EQ(1, scan_state.program_files_entered);
    EXPECT_EQ(1, scan_state.files_scanned);
}
