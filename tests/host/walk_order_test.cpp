// The walker against a reference walker that lists every directory twice
// (its files, then its subdirectories): on random trees, stopped at random
// entries, and on folders too wide for the walker's stack of names, both
// show the same statuses, count and open the same files and call the pump
// at the same points; the walker lists each directory once.
#include "test_support.h"

#include <random>
#include <set>

#include "engine/signature_table.h"
#include "tests/support/sample_maker.h"

namespace {

// --- The reference: two listings per directory ---

int cut_before_last_dot(char *buf) {
    char *dot = std::strrchr(buf, '.');
    if (!dot) return 0;
    (dot > buf ? dot[-1] : dot[0]) = 0;
    return 1;
}

void show(const char *path) {
    char shortened[512] = {0};
    shorten_path(path, shortened, 60);
    show_status(shortened);
}

int32_t two_listing_walk(const char *pattern) {
    char walk[260], path[260], dirs[260], sub[260];
    WIN32_FIND_DATAA f;
    scan_state.match_pending = 0;
    if (!copy_text(walk, sizeof walk, pattern)) return scan_state.files_scanned;
    if (std::strlen(walk) <= 6) {
        char *probe = scan_state.program_files_pattern;
        std::strcpy(probe, walk);
        if (char *colon = std::strchr(probe, ':')) {
            colon[1] = 0;
            std::strcat(probe, "\\Program Files");
            if (os::_access(probe, 0) == 0) {
                scan_state.program_files_found = 1;
                std::strcat(probe, "\\*.*");
            }
        }
    }
    HANDLE h = os::FindFirstFileA(walk, &f);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            message_pump();
            if (scan_state.scan_terminated) return os::FindClose(h), 0;
            std::strcpy(path, walk);
            if (!cut_before_last_dot(path)) return os::FindClose(h), -1;
            if (!append_text(path, sizeof path, f.cFileName)) continue;
            show(path);
            if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                ++scan_state.files_scanned;
                for (const scanner_entry *s = scanner_list; s->label; ++s)
                    if (s->scan(s->label, path, (uint64_t)f.nFileSizeHigh << 32 | f.nFileSizeLow)) break;
            }
            message_pump();
            if (scan_state.scan_terminated) return os::FindClose(h), 0;
        } while (os::FindNextFileA(h, &f));
        os::FindClose(h);
    }
    std::strcpy(dirs, walk);
    if (char *dot = std::strrchr(dirs, '.')) dot[1] = 0;
    if (!append_text(dirs, sizeof dirs, "*")) return scan_state.files_scanned;
    h = os::FindFirstFileA(dirs, &f);
    if (h == INVALID_HANDLE_VALUE) return scan_state.files_scanned;
    do {
        message_pump();
        if (scan_state.scan_terminated) return os::FindClose(h), 0;
        if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !std::strcmp(f.cFileName, ".") ||
            !std::strcmp(f.cFileName, ".."))
            continue;
        std::strcpy(sub, walk);
        if (!cut_before_last_dot(sub)) return os::FindClose(h), -1;
        if (!append_text(sub, sizeof sub, f.cFileName) || !append_text(sub, sizeof sub, "\\*.*")) continue;
        if (std::strstr(sub, "\\Program Files\\")) scan_state.program_files_entered = 1;
        if (two_listing_walk(sub) == -1) return os::FindClose(h), -1;
    } while (os::FindNextFileA(h, &f));
    os::FindClose(h);
    return scan_state.files_scanned;
}

// --- Random trees ---

struct TreeMaker {
    std::mt19937 rng;
    std::string near_miss = sample::pattern_byte_wrong(signature_table, 1);  // opened, never removed
    int names = 0;

    explicit TreeMaker(unsigned seed) : rng(seed) {}
    int below(int n) { return (int)(rng() % (unsigned)n); }

    // A name unique in the tree; now and then one that takes the path to
    // within a few characters of the 260-byte bound (either side of it).
    std::string name_below(const std::string &dir, bool is_dir) {
        std::string n = (below(3) ? "n" : "n.") + std::to_string(++names);
        if (below(12) == 0) {
            int target = 259 - (is_dir ? 4 : 0) + below(7) - 4;
            int fill = target - (int)dir.size() - 1 - (int)n.size();
            if (fill > 0) n += std::string((size_t)fill, 'x');
        }
        return n;
    }

    void fill(const std::string &dir, int depth) {
        int entries = below(20) == 0 ? 20 + below(30) : below(7);
        for (int i = 0; i < entries; ++i) {
            bool is_dir = depth < 7 && below(10) < (depth < 2 ? 4 : 2);
            std::string path = dir + "\\" + name_below(dir, is_dir);
            if (!is_dir) {
                sim::machine().add_file(path, below(10) == 0 ? near_miss : "x");
                continue;
            }
            sim::Node *d = sim::machine().add_dir(path);
            if (below(20) == 0) d->list_denied = true;
            fill(path, depth + 1);
        }
    }

    void build() {
        sim::Machine &m = sim::machine();
        m.add_drive('D', below(2) ? DRIVE_FIXED : DRIVE_CDROM);
        for (const char *root : {"C:", "D:"}) {
            if (below(2)) m.add_dir(std::string(root) + "\\Program Files");
            fill(root, 0);
            if (below(3) == 0) fill(std::string(root) + "\\Program Files", 1);
        }
    }
};

typedef int32_t (*walker_fn)(const char *);

// What one walk did, in order: pump calls (with the files counted so far),
// statuses, files opened, and the walks' results.
struct Walk {
    std::vector<std::string> trace;
    int listings = 0;  // directory listings that were opened (and closed)
    int32_t peeks = 0;
};

// Runs the driver's sequence of walks over a fresh machine that build()
// makes; pump call number stop_at (from 1) brings a close request, and the
// calls listed in escapes an Escape answered No.
Walk run(walker_fn walk, const std::function<void()> &build, int stop_at, const std::set<int> &escapes) {
    sim::reset();
    std::memset(&scan_state, 0, sizeof scan_state);
    message_pump_reset();
    sim::Machine &m = sim::machine();
    Walk w;
    ReportWindow window;
    window.attach();
    window.on_status = [&](const std::string &s) { w.trace.push_back("S " + s); };
    HWND other = m.create_window([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    build();
    m.on_open = [&](const std::string &path) { w.trace.push_back("O " + path); };
    m.on_call = [&](const char *call) {
        if (!std::strcmp(call, "FindClose")) ++w.listings;
        if (std::strcmp(call, "PeekMessageA")) return;
        // A message waits at every look, so that every pump call looks.
        ++w.peeks;
        w.trace.push_back("P " + std::to_string(scan_state.files_scanned));
        if (w.peeks == stop_at) m.post_message(other, WM_DESTROY);
        else if (escapes.count(w.peeks)) m.post_key(VK_ESCAPE);
        else m.post_message(other, WM_TIMER, 1);
    };
    for (char letter = 'C'; letter <= 'D'; ++letter) {
        char root[4] = {letter, ':', '\\', 0};
        if (os::GetDriveTypeA(root) != DRIVE_FIXED) continue;
        std::string pattern = std::string(root) + "*.*";
        w.trace.push_back("R " + std::to_string(walk(pattern.c_str())));
        if (scan_state.program_files_found && !scan_state.program_files_entered) {
            w.trace.push_back("R " + std::to_string(walk(scan_state.program_files_pattern)));
            scan_state.program_files_found = 0;
        }
    }
    m.on_call = nullptr;
    EXPECT_EQ(0, m.open_find_handles);
    EXPECT_TRUE(window.lines.empty());
    return w;
}

// Both walkers over the same tree, stopped at pump call stop_at (0: never);
// returns how many listings each opened (the reference's first).
std::pair<int, int> expect_same_walk(const std::function<void()> &build, int stop_at, const std::set<int> &escapes,
                      const std::string &where) {
    Walk two = run(two_listing_walk, build, stop_at, escapes);
    Walk one = run(directory_walker, build, stop_at, escapes);
    EXPECT_EQ(two.trace.size(), one.trace.size()) << where;
    for (size_t i = 0; i < two.trace.size() && i < one.trace.size(); ++i)
        if (two.trace[i] != one.trace[i]) {
            ADD_FAILURE() << where << " event " << i << ": " << two.trace[i] << " against " << one.trace[i];
            break;
        }
    return {two.listings, one.listings};
}

}  // namespace

TEST(WalkOneListing, RandomTreesStoppedAnywhereWalkAsTwoListingsDid) {
    for (unsigned seed = 1; seed <= 150; ++seed) {
        auto build = [seed] { TreeMaker(seed).build(); };
        Walk whole = run(two_listing_walk, build, 0, {});
        std::mt19937 rng(seed);
        std::set<int> escapes;
        for (int i = 0; i < 3; ++i) escapes.insert(1 + (int)(rng() % (unsigned)(whole.peeks + 1)));
        int stop_at = 1 + (int)(rng() % (unsigned)(whole.peeks + 1));
        std::string where = "seed " + std::to_string(seed);
        std::pair<int, int> listings = expect_same_walk(build, 0, escapes, where);
        EXPECT_EQ(listings.first, 2 * listings.second) << where;
        expect_same_walk(build, stop_at, escapes, where + " stopped at pump " + std::to_string(stop_at));
        if (HasFailure()) return;
    }
}

// Folders whose subfolder names overflow the stack, at the top and below a
// parent that holds part of it: those folders are listed a second time,
// nothing is missed and nothing changes order.
TEST(WalkOneListing, FoldersTooWideForTheStackAreListedAgain) {
    const int wide = (int)(subfolder_stack_bytes / 230) + 1;  // names of 230 characters and more
    auto build = [wide] {
        sim::Machine &m = sim::machine();
        for (int i = 0; i < wide; ++i) {
            std::string sub = "C:\\Wide\\" + std::to_string(i) + std::string(230, 'w');
            m.add_file(sub + "\\f", "x");
            m.add_file("C:\\Wide\\file" + std::to_string(i), "x");
        }
        // Parent and child each hold half the stack and more.
        for (int i = 0; i < wide; ++i) {
            std::string sub = "C:\\Half\\" + std::to_string(i) + std::string(110, 'h');
            if (i == 0) {
                for (int j = 0; j < wide; ++j) m.add_dir(sub + "\\" + std::to_string(j) + std::string(110, 'c'));
            } else {
                m.add_dir(sub);
            }
        }
    };
    Walk two = run(two_listing_walk, build, 0, {});
    expect_same_walk(build, two.peeks / 2, {}, "wide, stopped");
    expect_same_walk(build, 0, {}, "wide");
    // After the stopped walk the whole stack serves again: C:\, C:\Wide
    // (twice), its subfolders, C:\Half, its subfolders, the child (twice)
    // and its subfolders.
    Walk one = run(directory_walker, build, 0, {});
    EXPECT_EQ(1 + 2 + wide + 1 + wide + 1 + wide, one.listings);
}

// The one listing decides which subfolders are walked: one removed while
// the files before it are scanned is skipped like a folder that cannot be
// listed; one that appears is not walked (its place in the listing passed).
class WalkChanges : public EngineTest {};

TEST_F(WalkChanges, SubfoldersComeFromTheOneListing) {
    m().add_file("C:\\first", "1");
    m().add_file("C:\\Gone\\inside", "2");
    m().add_file("C:\\Kept\\inside", "3");
    window.on_status = [this](const std::string &s) {
        if (s != "C:\\first") return;
        sim::Node *root = m().find("C:\\");
        root->remove_child(m().find("C:\\Gone"));
        m().add_file("C:\\New\\inside", "4");
    };
    EXPECT_EQ(2, directory_walker("C:\\*.*"));
    EXPECT_EQ((std::vector<std::string>{"C:\\first", "C:\\Gone", "C:\\Kept", "C:\\Kept\\.", "C:\\Kept\\..",
                                        "C:\\Kept\\inside"}),
              window.statuses);
    EXPECT_TRUE(window.lines.empty());
}

// A folder link back up the tree, walked until the paths no longer fit, with
// double-byte names (code page 932, second bytes "\" and capitals among
// them): the stack of names fills part way down the loop and the deeper
// folders are listed twice; a listing that breaks off with an error other
// than its end is listed again for its subfolders.
TEST(WalkOneListing, LoopsDoubleByteNamesAndBrokenListingsWalkAsTwoListingsDid) {
    auto loop = [] {
        sim::Machine &m = sim::machine();
        m.ansi_code_page = 932;
        m.add_file("C:\\L\\f\x95\\", "x");
        m.add_link("C:\\L\\up", "C:\\L");
        for (int i = 0; i < 115; ++i) m.add_dir("C:\\L\\\x83\x41" + std::to_string(i) + std::string(34, 'd') + "\x95\\");
        m.add_file("C:\\L\\g", "x");
    };
    Walk two = run(two_listing_walk, loop, 0, {});
    std::pair<int, int> listings = expect_same_walk(loop, 0, {}, "loop");
    EXPECT_LT(listings.first, 2 * listings.second) << "some folders listed twice";
    expect_same_walk(loop, two.peeks * 2 / 3, {}, "loop, stopped deep");

    auto broken = [] {
        sim::Machine &m = sim::machine();
        m.add_file("C:\\f1", "x");
        m.add_file("C:\\D1\\in1", "x");
        m.add_file("C:\\f2", "x");
        m.add_file("C:\\D2\\in2", "x");
        m.add_file("C:\\f3", "x");
        m.find_next_fault_error = ERROR_ACCESS_DENIED;
        m.fail_after["FindNextFileA"] = 2;  // the root's listing ends after D1 and f2
        m.fail_calls["FindNextFileA"] = 1;
    };
    expect_same_walk(broken, 0, {}, "broken listing");
    Walk one = run(directory_walker, broken, 0, {});
    EXPECT_NE(one.trace.end(), std::find(one.trace.begin(), one.trace.end(), "S C:\\D2\\in2"));
}
