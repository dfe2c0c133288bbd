// The directory walker: order, counting, status line, stopping, path bound.
#include "test_support.h"

#include "engine/directory_walker.h"

class WalkerTest : public EngineTest {};

TEST(ShortenPath, KeepsSixtyAndCutsSixtyOne) {
    char out[512];
    std::string sixty(60, 'a');
    shorten_path(sixty.c_str(), out, 60);
    EXPECT_EQ(sixty, out);

    std::string src = std::string(29, 'h') + "XYZ" + std::string(29, 't');  // 61 chars
    shorten_path(src.c_str(), out, 60);
    EXPECT_EQ(std::string(29, 'h') + ".." + std::string(29, 't'), out);
    EXPECT_EQ(60u, std::strlen(out));

    std::string odd(80, 'q');
    shorten_path(odd.c_str(), out, 7);  // half 2: "qq" + "..." + "qq"
    EXPECT_EQ("qq...qq", std::string(out));
}

TEST_F(WalkerTest, FilesFirstThenSubdirectoriesDepthFirst) {
    m().add_file("C:\\a.exe", "a");
    m().add_dir("C:\\D1");
    m().add_file("C:\\D1\\x.dll", "x");
    m().add_dir("C:\\D1\\Deep");
    m().add_file("C:\\D1\\Deep\\y", "y", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    m().add_file("C:\\b.txt", "b", FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(4, directory_walker("C:\\*.*"));
    EXPECT_EQ(4, scan_state.files_scanned);
    std::vector<std::string> want = {
        "C:\\a.exe", "C:\\D1", "C:\\b.txt",
        "C:\\D1\\.", "C:\\D1\\..", "C:\\D1\\x.dll", "C:\\D1\\Deep",
        "C:\\D1\\Deep\\.", "C:\\D1\\Deep\\..", "C:\\D1\\Deep\\y",
    };
    EXPECT_EQ(want, window.statuses);
}

TEST_F(WalkerTest, DirectoryOfOnlySubdirectoriesCountsNothing) {
    m().add_dir("C:\\Only\\One");
    m().add_dir("C:\\Only\\Two");
    EXPECT_EQ(0, directory_walker("C:\\Only\\*.*"));
    EXPECT_EQ(0, scan_state.files_scanned);
    EXPECT_EQ((std::vector<std::string>{"C:\\Only\\.", "C:\\Only\\..", "C:\\Only\\One", "C:\\Only\\Two",
                                        "C:\\Only\\One\\.", "C:\\Only\\One\\..", "C:\\Only\\Two\\.",
                                        "C:\\Only\\Two\\.."}),
              window.statuses);
}

TEST_F(WalkerTest, ProgramFilesProbeOnlyForDriveRootPatterns) {
    m().add_dir("C:\\Program Files");
    m().add_dir("C:\\Windows");
    directory_walker("C:\\Windows\\*.*");
    EXPECT_EQ(0, scan_state.program_files_found);
    EXPECT_STREQ("", scan_state.program_files_pattern);
    directory_walker("C:\\*.*");
    EXPECT_EQ(1, scan_state.program_files_found);
    EXPECT_STREQ("C:\\Program Files\\*.*", scan_state.program_files_pattern);
    EXPECT_EQ(1, scan_state.program_files_entered);
}

// In code page 932 a "\" byte may be the second byte of a character: a
// folder whose name merely holds those bytes is not Program Files.
TEST_F(WalkerTest, ProgramFilesEnteredOnlyThroughAFolderOfThatName) {
    m().ansi_code_page = 932;
    m().add_file("C:\\\x83\\Program Files\\x", "x");
    directory_walker("C:\\*.*");
    EXPECT_EQ(0, scan_state.program_files_entered);
    EXPECT_EQ(1, scan_state.files_scanned);
}

TEST_F(WalkerTest, EscapeAnsweredNoContinuesYesStopsEveryLevel) {
    m().add_file("C:\\A\\B\\one", "1");
    m().add_file("C:\\A\\B\\two", "2");
    m().add_file("C:\\A\\B\\three", "3");
    m().add_file("C:\\A\\after", "4");
    m().add_file("C:\\Z\\later", "5");
    m().confirm_answers = {IDNO, IDYES};
    window.on_status = [this](const std::string &s) {
        if (s == "C:\\A\\B\\one" || s == "C:\\A\\B\\two") m().post_key(VK_ESCAPE);
    };
    EXPECT_EQ(0, directory_walker("C:\\*.*"));
    ASSERT_EQ(2u, m().confirm_calls.size());
    EXPECT_EQ("Terminate the Scan now?", m().confirm_calls[0].text);
    EXPECT_EQ("Pellmark Ver 1.0", m().confirm_calls[0].caption);
    EXPECT_EQ(0x24u, m().confirm_calls[0].style);
    EXPECT_EQ(1, scan_state.scan_terminated);
    // "one" continued after No; "two" was scanned, then the stop came before "three".
    EXPECT_EQ(3, scan_state.files_scanned);  // after, one, two
    EXPECT_EQ(window.statuses.end(),
              std::find(window.statuses.begin(), window.statuses.end(), "C:\\Z\\later"));
}

// Esc pressed during the walk asks once: the box is answered No with Esc,
// whose release reaches the pump after the box has closed and is only
// dispatched, as is any other message that carries 27. Alt+Esc asks too.
TEST_F(WalkerTest, OnlyAKeyPressOfEscapeAsks) {
    for (int i = 0; i < 6; ++i) m().add_file("C:\\f" + std::to_string(i), "x");
    int dispatched = 0;
    HWND target = m().create_window([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        ++dispatched;
        return 0;
    });
    window.on_status = [&](const std::string &s) {
        if (s == "C:\\f1") m().post_message(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        if (s == "C:\\f3") {
            m().post_message(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);  // a release alone
            m().post_message(target, WM_TIMER, VK_ESCAPE, 0);
        }
        if (s == "C:\\f4") m().post_message(target, WM_SYSKEYDOWN, VK_ESCAPE, 0x20010001);
    };
    m().on_call = [&](const char *call) {
        if (std::string(call) == "ConfirmBox") m().post_message(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    };
    m().confirm_answers = {IDNO, IDNO};
    EXPECT_EQ(6, directory_walker("C:\\*.*"));
    m().on_call = nullptr;
    EXPECT_EQ(2u, m().confirm_calls.size()) << "one question per press";
    EXPECT_EQ(4, dispatched) << "two releases after the answers, one alone, the timer";
    EXPECT_EQ(0, scan_state.scan_terminated);
}

TEST_F(WalkerTest, QuitAndDestroyStopWithoutDispatch) {
    for (UINT msg : {(UINT)WM_QUIT, (UINT)WM_DESTROY}) {
        sim::reset();
        std::memset(&scan_state, 0, sizeof scan_state);
        message_pump_reset();
        window.statuses.clear();
        window.attach();
        m().add_file("C:\\f1", "1");
        m().add_file("C:\\f2", "2");
        int dispatched = 0;
        HWND target = m().create_window([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
            ++dispatched;
            return 0;
        });
        m().post_message(target, WM_TIMER, 1, 0);  // an ordinary message is dispatched
        m().post_message(target, msg);
        EXPECT_EQ(0, directory_walker("C:\\*.*"));
        EXPECT_EQ(1, dispatched);
        EXPECT_EQ(1, scan_state.files_scanned);
    }
}

TEST_F(WalkerTest, MemoryPhaseTestsOneFileUncounted) {
    m().add_file("C:\\Dir\\prog.exe", "p");
    m().add_file("C:\\Dir\\other.exe", "o");
    scan_state.memory_phase = 1;
    scan_state.match_pending = 1;
    directory_walker("C:\\Dir\\prog.exe");
    EXPECT_EQ(0, scan_state.files_scanned);
    EXPECT_EQ(0, scan_state.match_pending);
    EXPECT_EQ((std::vector<std::string>{"C:\\Dir\\prog.exe"}), window.statuses);
}

TEST_F(WalkerTest, PatternWithoutDotEndsEveryWalkWithMinusOne) {
    m().add_file("C:\\Dir\\file", "f");
    EXPECT_EQ(-1, directory_walker("C:\\Dir\\*"));
    EXPECT_EQ(0, scan_state.files_scanned);
}

TEST_F(WalkerTest, UnlistableDirectoryIsSkippedQuietly) {
    m().add_file("C:\\Locked\\secret", "s");
    m().find("C:\\Locked")->list_denied = true;
    m().add_file("C:\\Open\\visible", "v");
    EXPECT_EQ(1, directory_walker("C:\\*.*"));
    EXPECT_TRUE(window.lines.empty());
}

TEST_F(WalkerTest, EntriesBeyondThePathBoundAreSkippedWhole) {
    // Build folders until a file path reaches exactly 259 characters.
    std::string dir = "C:";
    while (dir.size() + 1 + 50 < 200) dir += "\\" + std::string(50, 'd');
    std::string fits = dir + "\\" + std::string(259 - dir.size() - 1, 'f');
    ASSERT_EQ(259u, fits.size());
    std::string too_long = dir + "\\" + std::string(260 - dir.size() - 1, 'g');
    m().add_file(fits, "1");
    m().add_file(too_long, "2");
    // A subdirectory whose pattern would not fit: never entered.
    std::string deep_dir = dir + "\\" + std::string(256 - dir.size() - 1, 's');
    m().add_file(deep_dir + "\\x", "3");

    EXPECT_EQ(1, directory_walker("C:\\*.*"));
    std::string shown_fits(60, 0);
    shorten_path(fits.c_str(), &shown_fits[0], 60);
    EXPECT_NE(window.statuses.end(),
              std::find(window.statuses.begin(), window.statuses.end(), shown_fits.c_str()));
    for (const std::string &s : window.statuses) EXPECT_LE(s.size(), 60u);
}

// The pump and the clock: a busy queue is drained one message per call; an
// empty one is looked at again after pump_idle_ms of the pump's clock, so a
// message that arrives waits at most 5 ms or until the next entry.
class PumpTest : public WalkerTest {
protected:
    void fresh(DWORD clock, DWORD entry_ms) {
        sim::reset();
        std::memset(&scan_state, 0, sizeof scan_state);
        message_pump_reset();
        window.statuses.clear();
        window.on_status = nullptr;
        window.attach();
        m().clock_ms = clock;
        m().entry_ms = entry_ms;
        for (int i = 0; i < files; ++i) m().add_file("C:\\f" + std::to_string(i), "x");
    }
    static constexpr int files = 60;
    // Whether the walk ends before the idle wait after a message posted
    // during entry post_after is over (the window's own loop handles it then).
    static bool ends_first(int post_after, DWORD entry_ms) {
        return (DWORD)(files - post_after) * entry_ms < pump_idle_ms;
    }

    // What the pump did with a message posted to a window of its own during
    // the status of entry post_after, over a walk of the root.
    struct Arrival {
        int handled = 0;
        DWORD posted_at = 0, handled_at = 0;
        size_t handled_after = 0;  // statuses shown when it was handled
        // Handled within 5 ms, or before the next entry's status.
        bool in_time(int post_after) const {
            return handled_at - posted_at <= 5 || handled_after == (size_t)post_after;
        }
    };
    Arrival post_during_entry(int post_after) {
        Arrival a;
        HWND target = m().create_window([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
            ++a.handled;
            a.handled_at = m().clock_ms;
            a.handled_after = window.statuses.size();
            return 0;
        });
        window.on_status = [&](const std::string &) {
            if ((int)window.statuses.size() != post_after) return;
            m().post_message(target, WM_TIMER, 1, 0);
            a.posted_at = m().clock_ms;
        };
        directory_walker("C:\\*.*");
        window.on_status = nullptr;
        return a;
    }
};

TEST_F(PumpTest, BusyQueueDrainsOneMessagePerCall) {
    fresh(1000, 0);  // the clock stands still
    std::vector<size_t> shown_at_dispatch;
    HWND target = m().create_window([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        shown_at_dispatch.push_back(window.statuses.size());
        return 0;
    });
    for (int i = 0; i < 10; ++i) m().post_message(target, WM_TIMER, 1, 0);
    EXPECT_EQ(files, directory_walker("C:\\*.*"));
    // Two calls per file entry, before and after its status: every call looks
    // while it finds messages.
    EXPECT_EQ((std::vector<size_t>{0, 1, 1, 2, 2, 3, 3, 4, 4, 5}), shown_at_dispatch);
    // The eleventh look found the queue empty; with no time passing there is no other.
    EXPECT_EQ(11, m().calls["PeekMessageA"]);
}

// A held Esc asks once: its auto-repeats (bit 30, the key was already down)
// are dropped, neither asking nor dispatched; a fresh press after the
// release asks again.
TEST_F(PumpTest, HeldEscapeAsksOnceUntilPressedAgain) {
    fresh(0, 20);  // every call looks
    int dispatched = 0;
    HWND target = m().create_window([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        ++dispatched;
        return 0;
    });
    window.on_status = [&](const std::string &s) {
        if (s == "C:\\f1") m().post_message(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        if (s == "C:\\f2" || s == "C:\\f3") m().post_message(target, WM_KEYDOWN, VK_ESCAPE, 0x40010001);
        if (s == "C:\\f4") m().post_message(target, WM_SYSKEYDOWN, VK_ESCAPE, 0x60010001);
        if (s == "C:\\f5") m().post_message(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
        if (s == "C:\\f6") m().post_message(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    };
    m().confirm_answers = {IDNO, IDYES};
    EXPECT_EQ(0, directory_walker("C:\\*.*"));
    EXPECT_EQ(2u, m().confirm_calls.size());
    EXPECT_EQ(1, dispatched) << "the release alone";
    EXPECT_EQ(1, scan_state.scan_terminated);
}

TEST_F(PumpTest, ArrivingMessageWaitsAtMostFiveMsOrUntilTheNextEntry) {
    for (DWORD entry_ms : {1u, 2u, 3u, 4u, 7u, 20u})
        for (DWORD start : {0u, 0xFFFFFFF0u})  // the tick count wraps mid-walk
            for (int post_after = 1; post_after <= files; post_after += 3) {
                fresh(start, entry_ms);
                Arrival a = post_during_entry(post_after);
                std::string where = "entry_ms " + std::to_string(entry_ms) + " start " + std::to_string(start) +
                                    " posted during entry " + std::to_string(post_after);
                if (ends_first(post_after, entry_ms)) continue;
                ASSERT_EQ(1, a.handled) << where;
                EXPECT_TRUE(a.in_time(post_after)) << where << ": waited " << a.handled_at - a.posted_at << " ms";
            }
}

TEST_F(PumpTest, QuietQueueIsLookedAtOncePerIdleInterval) {
    for (DWORD start : {0u, 0xFFFFFFF0u}) {
        // One entry a millisecond; the root is listed once: 60 entries, 180
        // calls (two an entry, then one an entry for the subfolders).
        fresh(start, 1);
        directory_walker("C:\\*.*");
        int looks = m().calls["PeekMessageA"];
        EXPECT_GE(looks, files / (int)pump_idle_ms - 1) << start;
        EXPECT_LE(looks, files / (int)pump_idle_ms + 1) << start;
    }
}

// GetTickCount moves only with the system timer, in steps far above the idle
// wait (10 to 16 ms on NT). Entries that come every millisecond must still see
// an arriving message within 5 ms: the wait is not measured in those steps.
TEST_F(PumpTest, CoarseTickCountDoesNotStretchTheWait) {
    for (DWORD tick : {10u, 16u, 55u})
        for (int post_after = 1; post_after < files; ++post_after) {
            fresh(0, 1);
            m().tick_ms = tick;
            if (ends_first(post_after, 1)) continue;
            Arrival a = post_during_entry(post_after);
            std::string where = "tick " + std::to_string(tick) + " ms, posted during entry " + std::to_string(post_after);
            ASSERT_EQ(1, a.handled) << where;
            EXPECT_TRUE(a.in_time(post_after)) << where << ": waited " << a.handled_at - a.posted_at << " ms";
        }
}
