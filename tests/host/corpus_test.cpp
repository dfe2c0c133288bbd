// Whole scans over hostile drives: malformed PE files, files that vanish,
// lock or shrink while the scan reaches them, names the ANSI code page cannot
// show, and a folder link that leads back up the tree. The scan must finish,
// report nothing false and change nothing but what it really removes.
#include "test_support.h"

#include <map>

#include "engine/scan_driver.h"
#include "engine/signature_table.h"
#include "tests/support/sample_maker.h"

namespace {
const char *run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char *found = "     W32/Quelby.Qgs.Dl.Trojan removed";

class Corpus : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        m().set_version(VER_PLATFORM_WIN32_NT, 5, 1);
        m().system_dir = "C:\\WINDOWS\\system32";
        m().install_perflib();
        m().add_dir("C:\\WINDOWS\\system32");
        m().reg_set(HKEY_LOCAL_MACHINE, run, "Good", "C:\\good.exe");
        std::strcpy(scan_state.scan_target, "!:");
        scan_state.disposition_choice = 100;
        sample = sample::make(signature_table);
    }

    // Every file: path -> size and digest of its bytes.
    std::map<std::string, std::string> contents() {
        std::map<std::string, std::string> out;
        for (const std::string &f : m().all_files()) {
            std::string data = m().file_data(f);
            out[f] = std::to_string(data.size()) + ":" + std::to_string(std::hash<std::string>()(data));
        }
        return out;
    }

    // What the scan must leave: everything as it was but the removed files.
    void expect_only_removed(std::map<std::string, std::string> before, const std::vector<std::string> &removed) {
        for (const std::string &f : removed) before.erase(f);
        EXPECT_EQ(before, contents());
        EXPECT_TRUE(m().reg_has_value(HKEY_LOCAL_MACHINE, run, "Good"));
        EXPECT_TRUE(m().pending_deletes.empty());
        EXPECT_TRUE(m().terminated.empty());
    }

    std::vector<std::string> statistics(int scanned, int infected, int removed) {
        std::vector<std::string> out;
        if (infected) out.push_back(" ");
        out.push_back("Scanning statistics");
        out.push_back("------------------------------");
        out.push_back("Total files scanned\t\t:  " + std::to_string(scanned));
        out.push_back("Total files infected\t\t:  " + std::to_string(infected));
        out.push_back("Total files removed\t\t:  " + std::to_string(removed));
        return out;
    }

    std::string sample;
};
}  // namespace

TEST_F(Corpus, MalformedFilesAreScannedAndLeftAlone) {
    std::vector<sample::named_file> corpus = sample::malformed(signature_table);
    ASSERT_GE(corpus.size(), 20u);
    std::vector<std::string> c_hits, d_hits;
    for (const sample::named_file &f : corpus) {
        m().add_file("C:\\corpus\\" + f.name, f.data);
        m().add_file("D:\\deep\\er\\" + f.name, f.data, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        if (f.matches) {
            c_hits.push_back("C:\\corpus\\" + f.name);
            d_hits.push_back("D:\\deep\\er\\" + f.name);
        }
    }
    ASSERT_EQ(2u, c_hits.size());
    m().add_file("C:\\corpus\\real.exe", sample);
    c_hits.push_back("C:\\corpus\\real.exe");
    auto before = contents();

    scan_driver();

    std::vector<std::string> removed = c_hits, want;
    removed.insert(removed.end(), d_hits.begin(), d_hits.end());
    for (const std::string &f : removed) want.push_back(f + found);
    const int hits = (int)removed.size();
    for (const std::string &line : statistics(2 * (int)corpus.size() + 1, hits, hits)) want.push_back(line);
    EXPECT_EQ(want, window.lines);
    EXPECT_EQ("Scanning completed", window.statuses.back());
    expect_only_removed(before, removed);
}

TEST_F(Corpus, FilesChangingUnderTheWalk) {
    m().add_file("C:\\moving\\vanishes.exe", sample);
    m().add_file("C:\\moving\\locks.exe", sample);
    m().add_file("C:\\moving\\shrinks.exe", sample);
    m().add_file("C:\\moving\\stays.exe", sample);
    m().add_file("C:\\moving\\zz-last.txt", "after the others");
    m().on_open = [&](const std::string &path) {
        sim::Node *n = m().find(path);
        if (!n) return;
        if (n->name == "vanishes.exe")
            n->parent->remove_child(n);
        else if (n->name == "locks.exe") n->unreadable = n->locked = true;
    };
    m().on_read = [&](sim::Node *n) {
        if (n->name == "shrinks.exe" && n->data.size() > 0x100) n->data.resize(0x100);
    };
    scan_driver();

    std::vector<std::string> want = {"C:\\moving\\stays.exe" + std::string(found)};
    for (const std::string &line : statistics(5, 1, 1)) want.push_back(line);
    EXPECT_EQ(want, window.lines);
    EXPECT_FALSE(m().exists("C:\\moving\\vanishes.exe"));
    EXPECT_EQ(sample, m().file_data("C:\\moving\\locks.exe"));
    EXPECT_EQ(sample.substr(0, 0x100), m().file_data("C:\\moving\\shrinks.exe"));
    EXPECT_EQ("after the others", m().file_data("C:\\moving\\zz-last.txt"));
    EXPECT_FALSE(m().exists("C:\\moving\\stays.exe"));
}

TEST_F(Corpus, UnshowableNamesAndAFolderLoop) {
    // The ANSI listing shows a name it cannot represent with '?', a name by
    // which the file can be neither opened nor deleted.
    sim::Node *unshowable = m().add_file("C:\\names\\??.exe", sample);
    unshowable->unreadable = unshowable->locked = true;
    m().add_file("C:\\names\\\xE9t\xE9.exe", sample);  // code-page characters are ordinary names
    m().add_file("C:\\loop\\f.txt", "in the loop");
    m().add_file("C:\\loop\\evil.exe", sample);
    m().add_link("C:\\loop\\again", "C:\\loop");
    auto before = contents();

    scan_driver();

    // The loop is walked level by level until a level's pattern would not fit.
    int levels = 0;
    for (std::string pattern = "C:\\loop\\*.*"; pattern.size() < 260; pattern.insert(7, "\\again")) ++levels;
    ASSERT_GT(levels, 30);
    const int shown = (int)std::count_if(window.statuses.begin(), window.statuses.end(),
                                         [](const std::string &s) { return s.find("f.txt") != std::string::npos; });
    EXPECT_EQ(levels, shown);

    std::vector<std::string> want = {"C:\\names\\\xE9t\xE9.exe" + std::string(found),
                                     "C:\\loop\\evil.exe" + std::string(found)};
    // Every level holds f.txt and (until its removal) evil.exe; "again" is a folder.
    for (const std::string &line : statistics(levels + 1 + 2, 2, 2)) want.push_back(line);
    EXPECT_EQ(want, window.lines);
    EXPECT_EQ("Scanning completed", window.statuses.back());
    expect_only_removed(before, {"C:\\loop\\evil.exe", "C:\\names\\\xE9t\xE9.exe"});
}

TEST_F(Corpus, DetectOnlyFindsAFileReachedByManyPathsOnce) {
    // A folder loop and a second way into the same folder: the removal meets
    // the file once and deletes it; the detect-only scan reports it once.
    m().add_file("C:\\loop\\evil.exe", sample);
    m().add_link("C:\\loop\\again", "C:\\loop");
    m().add_link("C:\\mnt", "C:\\loop");
    auto before = contents();
    scan_state.detect_only = 1;
    scan_driver();
    EXPECT_EQ(1, scan_state.files_infected);
    EXPECT_EQ(1, std::count_if(window.lines.begin(), window.lines.end(), [](const std::string &l) {
                  return l.find("evil.exe     W32/Quelby.") != std::string::npos;
              }));
    EXPECT_EQ(before, contents());
}
