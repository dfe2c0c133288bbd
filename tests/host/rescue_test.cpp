// pellmark-rescue end to end: the program run on folder trees shaped like
// Windows installations, made here in a temporary folder with real hive
// files and samples. Each run's lines and exit code are compared exactly,
// and every file and every hive key and value (read back through the hive
// store) before and after: a detect-only run changes nothing, a removal
// removes exactly the infected files and the trojan's values and keys.
#include <gtest/gtest.h>

#include <dirent.h>
#include <ftw.h>
#include <fcntl.h>
#include <signal.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <algorithm>
#include <chrono>
#include <random>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <hivex.h>

#include "engine/scan_driver.h"
#include "engine/signature_table.h"
#include "tests/host/test_support.h"
#include "platform/rescue/hive_store.h"
#include "tests/support/hive_builder.h"
#include "tests/support/sample_maker.h"

namespace {

using hive_builder::Key;

const std::string hijacked_hosts =
    "begin 644 hosts\n"
    "M,3(W+C N,\"XQ(\" @(\" @(&QO8V%L:&]S= T*,3(W+C N,\"XQ(\" @(\" @(\'=I\n"
    "M;F1O=W-U<&1A=&4N;6EC<F]S;V9T+F-O;0T*,3(W+C N,\"XQ(\" @(\" @(\'5P\n"
    "`\nend\n";

const char run_key[] = "Microsoft\\Windows\\CurrentVersion\\Run";
const char run_services_key[] = "Microsoft\\Windows\\CurrentVersion\\RunServices";
const char uninstall_key[] = "Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v";

std::string upper(std::string text) {
    for (char &c : text) c = (char)std::toupper((unsigned char)c);
    return text;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return std::remove(path); }

struct RunResult {
    int code = -1;
    std::vector<std::string> lines;  // after the header
    std::string output;
};

// One installation shape: its folder names on disk and what its SOFTWARE
// hive says of it.
struct Shape;
void PrintTo(const Shape &shape, std::ostream *out);

struct Shape {
    const char *name;
    const char *windows;   // the Windows folder on disk
    const char *system;    // its system folder on disk
    const char *root;      // SystemRoot as the hive names it
    const char *version;   // CurrentVersion
    const char *build;
    const char *product;
};

void PrintTo(const Shape &shape, std::ostream *out) { *out << shape.name; }

class Rescue : public ::testing::TestWithParam<Shape> {
protected:
    void SetUp() override {
        char folder[] = "/tmp/pellmark-rescue-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        top = folder;
        disk = top + "/disk";
        ASSERT_EQ(0, mkdir(disk.c_str(), 0755));
        sample_bytes = sample::make(signature_table);
        ASSERT_FALSE(sample_bytes.empty());
    }
    void TearDown() override {
        for (const std::string &path : immutable) set_immutable(path, false);
        if (!top.empty() && top.rfind("/tmp/pellmark-rescue-test-", 0) == 0)
            nftw(top.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // The folders on the way to a file below the disk.
    void folders_of(const std::string &relative) {
        std::string path = disk + "/" + relative;
        for (size_t at = path.find('/', disk.size() + 1); at != std::string::npos; at = path.find('/', at + 1))
            mkdir(path.substr(0, at).c_str(), 0755);
    }
    void put(const std::string &relative, const std::string &data) {
        folders_of(relative);
        std::ofstream(disk + "/" + relative, std::ios::binary) << data;
    }

    // Runs the program on the tree (and only on it): its lines after the
    // header and the exit code.
    RunResult run(const std::string &arguments) {
        std::string log = top + "/run.log";
        std::string command = std::string(PELLMARK_RESCUE_PROGRAM) + " --log " + log + " " + arguments + " 2>&1";
        RunResult r;
        FILE *pipe = popen(command.c_str(), "r");
        if (!pipe) return r;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
        int status = pclose(pipe);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::istringstream in(r.output);
        std::string line;
        bool header = true;
        while (std::getline(in, line)) {
            if (!header) r.lines.push_back(line);
            if (line.rfind("-----------------------------------------", 0) == 0 && header) header = false;
        }
        return r;
    }

    // Every file below the disk with its size and a hash of its bytes.
    std::map<std::string, std::string> files() {
        std::map<std::string, std::string> out;
        walk(disk, "", out);
        return out;
    }
    void walk(const std::string &path, const std::string &relative, std::map<std::string, std::string> &out) {
        DIR *d = opendir(path.c_str());
        if (!d) return;
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string full = path + "/" + name, rel = relative + "/" + name;
            struct stat st;
            if (lstat(full.c_str(), &st) != 0) continue;
            if (S_ISLNK(st.st_mode)) {
                char target[4096];
                ssize_t n = readlink(full.c_str(), target, sizeof target);
                out[rel] = "link to " + std::string(target, n > 0 ? (size_t)n : 0);
            } else if (S_ISDIR(st.st_mode)) {
                walk(full, rel, out);
            } else {
                std::ifstream in(full, std::ios::binary);
                std::string bytes(std::istreambuf_iterator<char>(in), {});
                out[rel] = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
            }
        }
        closedir(d);
    }

    // Every key and value of a hive, one line each, read back by the store.
    std::set<std::string> hive(const std::string &relative) {
        std::set<std::string> out;
        std::string error;
        std::unique_ptr<rescue::HiveStore> store = rescue::HiveStore::open(disk + "/" + relative, error);
        if (!store) {
            out.insert("cannot open: " + error);
            return out;
        }
        dump(*store, store->root(), "", out);
        return out;
    }
    void dump(rescue::HiveStore &store, rescue::HiveStore::Key key, const std::string &path, std::set<std::string> &out) {
        out.insert(path + "\\");
        std::vector<std::string> names;
        store.values(key, names);
        for (const std::string &name : names) {
            rescue::HiveValue v;
            store.read_value(key, name, v);
            std::ostringstream line;
            line << path << "\\:" << name << "=" << v.type << ":";
            for (uint8_t b : v.data) line << std::hex << (int)b << ",";
            out.insert(line.str());
        }
        std::vector<std::string> subkeys;
        store.subkeys(key, subkeys);
        for (const std::string &name : subkeys) {
            rescue::HiveStore::Key child;
            store.find_key(key, name, child);
            dump(store, child, path + "\\" + name, out);
        }
    }
    // The lines of `all` about the key or value at `prefix` (a key path, or
    // "path\:name=" for a value).
    static std::set<std::string> under(const std::set<std::string> &all, const std::string &prefix) {
        std::set<std::string> out;
        for (const std::string &line : all)
            if (line.compare(0, prefix.size(), prefix) == 0) out.insert(line);
        return out;
    }
    static std::set<std::string> minus(std::set<std::string> a, const std::set<std::string> &b) {
        for (const std::string &line : b) a.erase(line);
        return a;
    }

    // The installation: an infected system file with a service in both
    // control sets, a read-only infected copy on a second drive, a near
    // miss, innocent files, the trojan's autorun values and uninstall
    // entry, and innocent values and services beside them, one of them a
    // genuine service whose name is the infected file's.
    void make_installation(const Shape &s) {
        std::string windows = s.windows, system = windows + "/" + s.system;
        std::string root = s.root, sys = root + "\\system32";
        put(system + "/evil.exe", sample_bytes);
        put(system + "/kernel32.dll", std::string(23552, 'k'));
        put(system + "/drivers/etc/hosts", hijacked_hosts);
        put("Documents and Settings/user/copy.scr", sample_bytes);
        put("Documents and Settings/user/near.exe", sample::one_byte_longer(signature_table));
        put("Documents and Settings/user/letter.txt", "Dear Sir,\r\n");
        put(windows + "/explorer.exe", std::string(4096, 'e'));
        // Links that lead out of the tree, to a sample that is not the disk's.
        mkdir((top + "/outside").c_str(), 0755);
        std::ofstream(top + "/outside/other.exe", std::ios::binary) << sample_bytes;
        ASSERT_EQ(0, symlink((top + "/outside").c_str(), (disk + "/Linked folder").c_str()));
        ASSERT_EQ(0, symlink((top + "/outside/other.exe").c_str(), (disk + "/" + windows + "/linked.exe").c_str()));
        outside_before = outside();

        Key software("$$$PROTO.HIV");
        software.path("Microsoft\\Windows NT\\CurrentVersion")
            .sz("CurrentVersion", s.version)
            .sz("CurrentBuildNumber", s.build)
            .sz("CSDVersion", "Service Pack 3")
            .sz("ProductName", s.product)
            .sz("SystemRoot", root);
        software.path("Microsoft\\Windows\\CurrentVersion").sz("ProgramFilesDir", "C:\\Program Files");
        // The value names the file in another case than the disk's.
        software.path(run_key)
            .sz("Evil", upper(root) + "\\SYSTEM32\\EVIL.EXE /start")
            .sz("Good", "C:\\good.exe")
            .sz("SMrhcjg7j0e38v", root + "\\rhcjg7j0e38v.exe");
        software.path(run_services_key).sz("Spooler", sys + "\\spoolsv.exe");
        software.path(uninstall_key).sz("UninstallString", "C:\\Program Files\\x\\uninstall.exe");
        software.path("Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other").sz("UninstallString", "C:\\other.exe");
        // A 64-bit Windows 7 keeps its 32-bit programs' registry apart.
        if (std::string(s.name) == "w7") software.path("Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run");
        hive_builder::Options software_options;
        folders_of(system + "/config/SOFTWARE");
        ASSERT_TRUE(hive_builder::write(disk + "/" + system + "/config/SOFTWARE", software, software_options));

        Key sys_hive("$$$PROTO.HIV");
        sys_hive.path("Select").dword("Current", 1).dword("Default", 1).dword("LastKnownGood", 2);
        for (const char *set : {"ControlSet001", "ControlSet002"}) {
            Key &services = sys_hive.path(std::string(set) + "\\Services");
            services.key("Spooler").expand_sz("ImagePath", "%SystemRoot%\\system32\\spoolsv.exe").dword("Start", 2);
            services.key("Tcpip").expand_sz("ImagePath", "system32\\DRIVERS\\tcpip.sys").dword("Start", 1);
        }
        Key &one = sys_hive.path("ControlSet001\\Services\\evil");
        one.expand_sz("ImagePath", "%SystemRoot%\\system32\\evil.exe").dword("Start", 2);
        one.key("Enum").sz("0", "Root\\LEGACY_EVIL\\0000");
        sys_hive.path("ControlSet002\\Services\\evil").sz("ImagePath", "\\??\\" + sys + "\\EVIL.EXE");
        // A service of another name that runs the same file (as a genuine
        // service whose file the trojan replaced would), and one of a name
        // that merely begins like the file's.
        sys_hive.path("ControlSet002\\Services\\helper").expand_sz("ImagePath", "system32\\evil.exe -k");
        sys_hive.path("ControlSet001\\Services\\evilx").sz("ImagePath", sys + "\\evilx.exe");
        hive_builder::Options system_options;
        system_options.file_name = "\\SystemRoot\\System32\\Config\\SYSTEM";
        ASSERT_TRUE(hive_builder::write(disk + "/" + system + "/config/SYSTEM", sys_hive, system_options));
    }

    std::map<std::string, std::string> outside() {
        std::map<std::string, std::string> out;
        walk(top + "/outside", "", out);
        return out;
    }

    // The file system's immutable flag (as root on ext2/3/4): the file then
    // cannot be deleted. False when the file system has no such flag.
    bool set_immutable(const std::string &path, bool on) {
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        int flags = 0;
        bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) close(fd);
        if (ok && on) immutable.push_back(path);
        return ok;
    }

    std::vector<std::string> immutable;
    std::string top, disk, sample_bytes;
    std::map<std::string, std::string> outside_before;
};

TEST_P(Rescue, DetectOnlyFindsEverythingAndChangesNothing) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    std::string config = std::string(s.windows) + "/" + s.system + "/config/";
    auto files_before = files();
    auto software_before = hive(config + "SOFTWARE"), system_before = hive(config + "SYSTEM");
    RunResult r = run("--report " + disk);
    std::string sys = std::string("C:\\") + s.windows + "\\" + s.system;
    // The hosts file is checked with the first infected file, and what a
    // removal deletes with it (the uninstall entry and its Run value) is
    // reported found before that file's line.
    std::vector<std::string> want = {
        sys + "\\drivers\\etc\\hosts     W32/Nyxem.Worm found",
        "System Registry     W32/Quelby.Trojan uninstall entry found",
        "System Registry     W32/Quelby.Trojan startup entry found",
        "C:\\Documents and Settings\\user\\copy.scr     W32/Quelby.Qgs.Dl.Trojan found",
        "System Registry     W32/Quelby.Trojan found",
        sys + "\\evil.exe     W32/Quelby.Qgs.Dl.Trojan found",
        "System Registry     W32/Quelby.Trojan service evil in ControlSet001 found",
        "System Registry     W32/Quelby.Trojan service evil in ControlSet002 found",
        " ",
        "Scanning statistics",
        "------------------------------",
        // Every file of the tree, the two hives among them; not the linked ones.
        "Total files scanned\t\t:  9",
        "Total files infected\t\t:  3",
        "Total files removed\t\t:  0",
        "RESULT 4 infected=3 removed=0 scheduled=0 left=0 scanned=9",
    };
    EXPECT_EQ(want, r.lines) << r.output;
    EXPECT_EQ(4, r.code);
    EXPECT_EQ(std::string(s.name) == "w7",
              r.output.find("\nNote:         a 64-bit Windows: the 32-bit programs' registry (Software\\Wow6432Node) "
                            "is not scanned or cleaned\n") != std::string::npos)
        << r.output;
    EXPECT_EQ(files_before, files());
    EXPECT_EQ(software_before, hive(config + "SOFTWARE"));
    EXPECT_EQ(system_before, hive(config + "SYSTEM"));
    EXPECT_EQ(outside_before, outside());
}

TEST_P(Rescue, RemovalRemovesExactlyTheTrojan) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    std::string config = std::string(s.windows) + "/" + s.system + "/config/";
    auto files_before = files();
    auto software_before = hive(config + "SOFTWARE"), system_before = hive(config + "SYSTEM");
    RunResult r = run(disk);
    std::string sys = std::string("C:\\") + s.windows + "\\" + s.system;
    std::string hive_dir = std::string("C:\\") + s.windows + "\\" + s.system + "\\config\\";
    std::vector<std::string> want = {
        sys + "\\drivers\\etc\\hosts     W32/Nyxem.Worm removed",
        "C:\\Documents and Settings\\user\\copy.scr     W32/Quelby.Qgs.Dl.Trojan removed",
        "System Registry     W32/Quelby.Trojan removed",
        sys + "\\evil.exe     W32/Quelby.Qgs.Dl.Trojan removed",
        "System Registry     W32/Quelby.Trojan service evil in ControlSet001 removed",
        "System Registry     W32/Quelby.Trojan service evil in ControlSet002 removed",
        " ",
        "Scanning statistics",
        "------------------------------",
        // The hosts file went before the walk reached it; the hive backups,
        // written before the first line of a change, are walked too.
        "Total files scanned\t\t:  10",
        "Total files infected\t\t:  3",
        "Total files removed\t\t:  3",
        "Registry hive " + hive_dir + "SOFTWARE written, the original kept as SOFTWARE.pellmark-backup",
        "Registry hive " + hive_dir + "SYSTEM written, the original kept as SYSTEM.pellmark-backup",
        "RESULT 1 infected=3 removed=3 scheduled=0 left=0 scanned=10",
    };
    EXPECT_EQ(want, r.lines) << r.output;
    EXPECT_EQ(1, r.code);
    std::ifstream log(top + "/run.log", std::ios::binary);
    EXPECT_EQ(r.output, std::string(std::istreambuf_iterator<char>(log), {})) << "the log holds what stdout shows";

    // Files: exactly the infected ones and the hosts file gone, the hive
    // backups beside the hives (equal to the hives as they were).
    auto expected_files = files_before;
    std::string system = std::string("/") + s.windows + "/" + s.system;
    expected_files.erase(system + "/evil.exe");
    expected_files.erase(system + "/drivers/etc/hosts");
    expected_files.erase("/Documents and Settings/user/copy.scr");
    auto after = files();
    std::string software_file = "/" + config + "SOFTWARE", system_file = "/" + config + "SYSTEM";
    EXPECT_EQ(files_before[software_file], after[software_file + ".pellmark-backup"]);
    EXPECT_EQ(files_before[system_file], after[system_file + ".pellmark-backup"]);
    for (const std::string &f : {software_file, system_file}) {
        after.erase(f);
        after.erase(f + ".pellmark-backup");
        expected_files.erase(f);
    }
    EXPECT_EQ(expected_files, after);

    // Hives: exactly the trojan's values and service keys gone.
    std::set<std::string> software_gone = under(software_before, std::string("\\") + run_key + "\\:Evil=");
    for (const std::string &line : under(software_before, std::string("\\") + run_key + "\\:SMrhcjg7j0e38v="))
        software_gone.insert(line);
    for (const std::string &line : under(software_before, std::string("\\") + uninstall_key + "\\:"))
        software_gone.insert(line);
    EXPECT_EQ(3u, software_gone.size());
    EXPECT_EQ(minus(software_before, software_gone), hive(config + "SOFTWARE"));
    std::set<std::string> system_gone;
    for (const char *key : {"\\ControlSet001\\Services\\evil\\", "\\ControlSet002\\Services\\evil\\"})
        for (const std::string &line : under(system_before, key)) system_gone.insert(line);
    EXPECT_EQ(7u, system_gone.size());
    EXPECT_EQ(minus(system_before, system_gone), hive(config + "SYSTEM"));

    // A second run finds nothing and writes no hive; the backups of the
    // first stay as they are.
    auto backups = files();
    RunResult again = run(disk);
    EXPECT_EQ(0, again.code) << again.output;
    EXPECT_EQ("RESULT 0 infected=0 removed=0 scheduled=0 left=0 scanned=8", again.lines.back());
    EXPECT_EQ(backups, files());
    EXPECT_EQ(outside_before, outside());
}

// The same installation as a simulated machine: its files (links left
// out, as the rescue never follows them) and its two hives as
// HKEY_LOCAL_MACHINE\SOFTWARE and \SYSTEM, the folders and version the
// rescue reads from the SOFTWARE hive.
void simulate(const std::string &disk, const Shape &s) {
    sim::reset();
    std::memset(&scan_state, 0, sizeof scan_state);
    message_pump_reset();
    sim::Machine &m = sim::machine();
    m.set_version(VER_PLATFORM_WIN32_NT, (DWORD)std::atoi(s.version), (DWORD)std::atoi(std::strchr(s.version, '.') + 1));
    m.windows_dir = std::string("C:\\") + s.windows;
    m.system_dir = m.windows_dir + "\\" + s.system;
    m.environment["SYSTEMROOT"] = m.windows_dir;
    m.environment["WINDIR"] = m.windows_dir;
    m.add_drive('C', DRIVE_FIXED);
    std::function<void(const std::string &, const std::string &)> walk = [&](const std::string &path,
                                                                            const std::string &windows) {
        // Added in the order NTFS lists a folder, the rescue's order.
        DIR *d = opendir(path.c_str());
        if (!d) return;
        std::vector<std::string> names;
        while (dirent *e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) { return upper(a) < upper(b); });
        for (const std::string &name : names) {
            if (name == "." || name == "..") continue;
            struct stat st;
            std::string full = path + "/" + name;
            if (lstat(full.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
            if (S_ISDIR(st.st_mode)) {
                m.add_dir(windows + "\\" + name);
                walk(full, windows + "\\" + name);
            } else {
                std::ifstream in(full, std::ios::binary);
                m.add_file(windows + "\\" + name, std::string(std::istreambuf_iterator<char>(in), {}));
            }
        }
    };
    walk(disk, "C:");
    std::string config = disk + "/" + s.windows + "/" + s.system + "/config/";
    for (const char *hive : {"SOFTWARE", "SYSTEM"}) {
        std::string error;
        auto store = rescue::HiveStore::open(config + hive, error);
        ASSERT_TRUE(store) << error;
        std::function<void(rescue::HiveStore::Key, const std::string &)> copy = [&](rescue::HiveStore::Key key,
                                                                                   const std::string &path) {
            m.reg_key(HKEY_LOCAL_MACHINE, path, true);
            std::vector<std::string> names;
            store->values(key, names);
            for (const std::string &name : names) {
                rescue::HiveValue v;
                store->read_value_ansi(key, name, v);
                m.reg_set_raw(HKEY_LOCAL_MACHINE, path, rescue::utf8_to_ansi(name),
                              std::string(v.data.begin(), v.data.end()), v.type);
            }
            std::vector<std::string> subkeys;
            store->subkeys(key, subkeys);
            for (const std::string &name : subkeys) {
                rescue::HiveStore::Key child;
                store->find_key(key, name, child);
                copy(child, path + "\\" + rescue::utf8_to_ansi(name));
            }
        };
        copy(store->root(), hive);
    }
}

// The lines of a scan of the simulated machine, run as pellscan.exe runs it.
std::vector<std::string> simulated_lines(bool detect_only) {
    ReportWindow window;
    window.attach();
    std::strcpy(scan_state.scan_target, "!:");
    scan_state.disposition_choice = 100;
    scan_state.scan_running = 1;
    scan_state.unattended = 1;
    scan_state.detect_only = detect_only ? 1 : 0;
    scan_driver();
    return window.lines;
}

// The engine behaves the same over both seams: the simulated machine of
// the same installation gives the rescue's lines, less those only the
// rescue writes (its service keys, its hives, its RESULT).
TEST_P(Rescue, TheSimulatorGivesTheSameLines) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    auto own = [](const std::vector<std::string> &lines) {
        std::vector<std::string> out;
        for (const std::string &line : lines)
            if (line.find(" service ") == std::string::npos && line.rfind("Registry hive ", 0) != 0 &&
                line.rfind("RESULT ", 0) != 0)
                out.push_back(line);
        return out;
    };
    ASSERT_NO_FATAL_FAILURE(simulate(disk, s));
    std::vector<std::string> detect = simulated_lines(true);
    ASSERT_NO_FATAL_FAILURE(simulate(disk, s));
    std::vector<std::string> removal = simulated_lines(false);
    EXPECT_EQ(own(run("--report " + disk).lines), detect);
    // The rescue's hive backups, written during its walk, are walked too.
    auto unscanned = [&](std::vector<std::string> lines) {
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const std::string &l) { return l.rfind("Total files scanned", 0) == 0; }),
                    lines.end());
        return lines;
    };
    EXPECT_EQ(unscanned(own(run(disk).lines)), unscanned(removal));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Rescue,
    ::testing::Values(Shape{"w2000", "WINNT", "system32", "C:\\WINNT", "5.0", "2195", "Microsoft Windows 2000"},
                      Shape{"xp", "WINDOWS", "system32", "C:\\WINDOWS", "5.1", "2600", "Microsoft Windows XP"},
                      Shape{"w7", "Windows", "System32", "C:\\Windows", "6.1", "7601", "Windows 7 Professional"}),
    [](const ::testing::TestParamInfo<Shape> &info) { return std::string(info.param.name); });

// How many keys regfexport (libregf) reads in a hive file; 0 when it fails.
size_t regf_keys(const std::string &file) {
    FILE *p = popen(("regfexport '" + file + "' 2>/dev/null").c_str(), "r");
    if (!p) return 0;
    size_t keys = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, p))
        if (std::strncmp(line, "Key path: ", 10) == 0) ++keys;
    int status = pclose(p);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? keys : 0;
}

// A run killed at a random moment (SIGKILL, no chance to clean up) leaves
// each hive whole and loadable by both readers, holding what it held less some of what a
// whole run removes: never anything else, never a hive half written. Each
// commit is one of those states, so the kills land before, between and in
// the commits.
class RescueKilled : public Rescue {};
// Runs of one shape only.
class RescueOnce : public Rescue {};

TEST_P(RescueKilled, EachHiveStaysWholeBetweenOldAndNew) {
    const Shape &s = GetParam();
    std::string config = std::string(s.windows) + "/" + s.system + "/config/";
    // The hives a whole run leaves.
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    auto software_old = hive(config + "SOFTWARE"), system_old = hive(config + "SYSTEM");
    ASSERT_EQ(1, run(disk).code);
    auto software_new = hive(config + "SOFTWARE"), system_new = hive(config + "SYSTEM");
    ASSERT_NE(software_old, software_new);
    ASSERT_NE(system_old, system_new);
    // How long a whole run takes here, to spread the kills over it.
    auto started = std::chrono::steady_clock::now();
    nftw(disk.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    nftw((top + "/outside").c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    mkdir(disk.c_str(), 0755);
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    ASSERT_EQ(1, run(disk).code);
    long whole_us = (long)std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    std::mt19937 random(27);
    int killed = 0, partial = 0, runs = 40;
    for (int i = 0; i < runs; ++i) {
        nftw(disk.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        nftw((top + "/outside").c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        mkdir(disk.c_str(), 0755);
        ASSERT_NO_FATAL_FAILURE(make_installation(s));
        long delay = std::uniform_int_distribution<long>(0, whole_us)(random);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(PELLMARK_RESCUE_PROGRAM, PELLMARK_RESCUE_PROGRAM, disk.c_str(), (char *)nullptr);
            _exit(127);
        }
        usleep((useconds_t)delay);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFSIGNALED(status)) ++killed;
        auto between = [&](const char *name) {
            auto now = hive(config + name);
            const auto &old_state = std::string(name) == "SOFTWARE" ? software_old : system_old;
            const auto &new_state = std::string(name) == "SOFTWARE" ? software_new : system_new;
            return minus(now, old_state).empty() && minus(new_state, now).empty();
        };
        for (const char *name : {"SOFTWARE", "SYSTEM"}) {
            ASSERT_TRUE(between(name)) << name << ", run " << i << ", killed after " << delay << " us";
            // The second reader, libregf, loads it and finds every key.
            size_t keys = 0;
            for (const std::string &line : hive(config + name)) keys += line.back() == '\\';
            EXPECT_EQ(keys, regf_keys(disk + "/" + config + name)) << name << ", run " << i;
        }
        if (hive(config + "SOFTWARE") != software_old && hive(config + "SOFTWARE") != software_new) ++partial;
        // The next run goes on from there.
        RunResult again = run(disk);
        ASSERT_TRUE(again.code == 0 || again.code == 1) << again.output;
        for (const char *name : {"SOFTWARE", "SYSTEM"}) ASSERT_TRUE(between(name)) << name << ", run " << i;
    }
    std::printf("[ kill test ] %d runs of up to %ld us, %d killed before their end, %d left SOFTWARE between two commits\n",
                runs, whole_us, killed, partial);
    EXPECT_GT(killed, 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RescueKilled,
                         ::testing::Values(Shape{"xp", "WINDOWS", "system32", "C:\\WINDOWS", "5.1", "2600",
                                                 "Microsoft Windows XP"}),
                         [](const ::testing::TestParamInfo<Shape> &info) { return std::string(info.param.name); });

// Ctrl+C (SIGINT) stops the walk at its next entry: the run says so and
// ends with exit code 5, what it removed before the stop committed.
TEST_P(RescueOnce, AnInterruptStopsTheWalk) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    for (int i = 0; i < 40; ++i)
        for (int k = 0; k < 100; ++k)
            put("Data/" + std::to_string(i) + "/" + std::to_string(k) + ".txt", std::string(100, 'x'));
    std::string out = top + "/interrupted.txt";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(file, 1);
        dup2(file, 2);
        execl(PELLMARK_RESCUE_PROGRAM, PELLMARK_RESCUE_PROGRAM, disk.c_str(), (char *)nullptr);
        _exit(127);
    }
    usleep(20000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(out);
    std::string output((std::istreambuf_iterator<char>(in)), {});
    ASSERT_TRUE(WIFEXITED(status)) << output;
    if (WEXITSTATUS(status) != 5 && output.find("RESULT 1 ") != std::string::npos)
        GTEST_SKIP() << "the walk ended before the interrupt";
    EXPECT_EQ(5, WEXITSTATUS(status)) << output;
    EXPECT_NE(std::string::npos, output.find("\nStopped before the end (a signal): files not reached were not scanned\nRESULT 5 "))
        << output;
}

// A hive that libhivex does not accept is neither read nor written: the
// run says so before it scans, cleans the other hive, and its exit code
// says that not everything is known to be removed.
TEST_P(RescueOnce, AHiveThatCannotBeOpened) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    std::string config = std::string(s.windows) + "/" + s.system + "/config/";
    put(config + "SYSTEM", "regf" + std::string(8188, '\x5a'));
    auto files_before = files();
    auto software_before = hive(config + "SOFTWARE");
    RunResult r = run(disk);
    EXPECT_EQ(3, r.code) << r.output;
    ASSERT_FALSE(r.lines.empty());
    std::string hive_dir = std::string("C:\\") + s.windows + "\\" + s.system + "\\config\\";
    EXPECT_EQ(0u, r.lines[0].rfind("Registry hive " + hive_dir + "SYSTEM cannot be opened (", 0)) << r.output;
    EXPECT_NE(std::string::npos, r.lines[0].find("): its keys are not scanned or cleaned")) << r.output;
    for (const std::string &line : r.lines) EXPECT_EQ(std::string::npos, line.find(" service ")) << line;
    EXPECT_EQ(files_before["/" + config + "SYSTEM"], files()["/" + config + "SYSTEM"]);
    EXPECT_EQ(0u, files().count("/" + config + "SYSTEM.pellmark-backup"));
    EXPECT_NE(software_before, hive(config + "SOFTWARE"));
}

// A hive that changes on disk during the run is not written, and from then
// on nothing is said to be removed from it: the trojan's values it holds
// are not reported removed, the run ends with exit code 3, the other hive
// is cleaned.
TEST_P(RescueOnce, AHiveChangedDuringTheRunIsNotWrittenNorSaidCleaned) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    // Files walked before the first infected one, to change the hive meanwhile.
    for (int i = 0; i < 40; ++i)
        for (int k = 0; k < 100; ++k)
            put("Data/" + std::to_string(i) + "/" + std::to_string(k) + ".txt", std::string(100, 'x'));
    std::string config = std::string(s.windows) + "/" + s.system + "/config/";
    std::string software = disk + "/" + config + "SOFTWARE";
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(out[0]);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execl(PELLMARK_RESCUE_PROGRAM, PELLMARK_RESCUE_PROGRAM, disk.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE *in = fdopen(out[0], "r");
    std::string output;
    char line[4096];
    bool touched = false;
    while (std::fgets(line, sizeof line, in)) {
        output += line;
        if (!touched && std::strncmp(line, "-----", 5) == 0) {
            // Another program writes the hive: its time changes.
            struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
            ASSERT_EQ(0, utimensat(AT_FDCWD, software.c_str(), times, 0));
            touched = true;
        }
    }
    fclose(in);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string hive_dir = std::string("C:\\") + s.windows + "\\" + s.system + "\\config\\";
    if (output.find("Registry hive " + hive_dir + "SOFTWARE NOT written: it changed on disk during the run") ==
        std::string::npos)
        GTEST_SKIP() << "the hive was not committed after the change\n" << output;
    EXPECT_EQ(3, WIFEXITED(status) ? WEXITSTATUS(status) : -1) << output;
    // The trojan's Run value is still in the hive: no line says it is removed.
    EXPECT_EQ(1u, under(hive(config + "SOFTWARE"), std::string("\\") + run_key + "\\:Evil=").size());
    EXPECT_EQ(std::string::npos, output.find("\nSystem Registry     W32/Quelby.Trojan removed\n")) << output;
    struct stat st;
    EXPECT_NE(0, stat((software + ".pellmark-backup").c_str(), &st));
    EXPECT_NE(std::string::npos, output.find("\nSystem Registry     W32/Quelby.Trojan service evil in ControlSet001 removed\n"))
        << output;
}

// A folder of the file system mounted again inside the tree (a bind mount,
// the same device) is a mount point like any other: it is not walked. The
// mount is made in a mount namespace of the run's own.
TEST_P(RescueOnce, ABindMountInTheTreeIsNotFollowed) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    ASSERT_EQ(0, mkdir((disk + "/Mounted").c_str(), 0755));
    std::string command = "unshare -m sh -c 'mount --bind \"" + top + "/outside\" \"" + disk +
                          "/Mounted\" 2>/dev/null || exit 99; exec \"" + PELLMARK_RESCUE_PROGRAM + "\" \"" + disk +
                          "\"' 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = pclose(pipe);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 99 || code == 127 || output.find("unshare:") != std::string::npos)
        GTEST_SKIP() << "no mount namespace here: " << output;
    EXPECT_EQ(1, code) << output;
    EXPECT_EQ(std::string::npos, output.find("C:\\Mounted")) << output;
    EXPECT_EQ(outside_before, outside());
}

// A name with a line end in it (a Linux name, or a POSIX one on NTFS) makes
// no line of its own: every line the run writes is one the run means.
TEST_P(RescueOnce, ANameWithALineEndMakesNoLineOfItsOwn) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    put("Data/x\nRESULT 0 infected=0 removed=0 scheduled=0 left=0 scanned=0\r\n.exe", sample_bytes);
    RunResult r = run(disk);
    EXPECT_EQ(std::string::npos, r.output.find('\r')) << r.output;
    EXPECT_EQ(1, std::count_if(r.lines.begin(), r.lines.end(),
                               [](const std::string &line) { return line.rfind("RESULT ", 0) == 0; }))
        << r.output;
    EXPECT_NE(std::string::npos,
              r.output.find("\nC:\\Data\\x?RESULT 0 infected=0 removed=0 scheduled=0 left=0 scanned=0??.exe     "
                            "W32/Quelby.Qgs.Dl.Trojan removed\n"))
        << r.output;
}

// A hive that Windows did not close cleanly (its sequence numbers differ:
// its log holds writes the file lacks) is not changed: the run says so
// before it scans, leaves the file as it is, and its exit code says that
// not everything is removed.
TEST_P(RescueOnce, AHiveNotClosedCleanlyIsNotChanged) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    std::string config = std::string(s.windows) + "/" + s.system + "/config/";
    std::string software = disk + "/" + config + "SOFTWARE";
    {
        std::fstream f(software, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<unsigned char> base(512);
        f.read((char *)base.data(), 512);
        base[4] ^= 1;  // the primary sequence number
        uint32_t sum = 0;
        for (int i = 0; i < 508; i += 4)
            sum ^= (uint32_t)base[i] | (uint32_t)base[i + 1] << 8 | (uint32_t)base[i + 2] << 16 | (uint32_t)base[i + 3] << 24;
        for (int i = 0; i < 4; ++i) base[508 + i] = (unsigned char)(sum >> (8 * i));
        f.seekp(0);
        f.write((const char *)base.data(), 512);
    }
    auto before = files()["/" + config + "SOFTWARE"];
    RunResult r = run(disk);
    std::string hive_dir = std::string("C:\\") + s.windows + "\\" + s.system + "\\config\\";
    EXPECT_EQ(3, r.code) << r.output;
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(0u, r.lines[0].rfind("Registry hive " + hive_dir + "SOFTWARE ", 0)) << r.output;
    EXPECT_EQ(before, files()["/" + config + "SOFTWARE"]);
    EXPECT_EQ(0u, files().count("/" + config + "SOFTWARE.pellmark-backup"));
    EXPECT_EQ(std::string::npos, r.output.find("\nSystem Registry     W32/Quelby.Trojan removed\n")) << r.output;
}

// A deletion the hive store refuses (here: the Run key also holds a value
// too large to rewrite in a version 1.5 hive) leaves the trojan's value;
// the run says so and ends with exit code 3.
TEST_P(RescueOnce, ARefusedDeletionIsSaid) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    std::string config = std::string(s.windows) + "/" + s.system + "/config/";
    std::string software = disk + "/" + config + "SOFTWARE";
    {
        std::fstream f(software, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<unsigned char> base(512);
        f.read((char *)base.data(), 512);
        base[24] = 5;  // the minor version
        uint32_t sum = 0;
        for (int i = 0; i < 508; i += 4)
            sum ^= (uint32_t)base[i] | (uint32_t)base[i + 1] << 8 | (uint32_t)base[i + 2] << 16 | (uint32_t)base[i + 3] << 24;
        for (int i = 0; i < 4; ++i) base[508 + i] = (unsigned char)(sum >> (8 * i));
        f.seekp(0);
        f.write((const char *)base.data(), 512);
    }
    hive_h *h = hivex_open(software.c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(nullptr, h);
    hive_node_h node = hivex_root(h);
    for (const char *name : {"Microsoft", "Windows", "CurrentVersion", "Run"}) node = hivex_node_get_child(h, node, name);
    ASSERT_NE(0u, node);
    std::vector<char> big(20000, 'b');
    hive_set_value value = {(char *)"Big", hive_t_REG_BINARY, big.size(), big.data()};
    ASSERT_EQ(0, hivex_node_set_value(h, node, &value, 0));
    ASSERT_EQ(0, hivex_commit(h, nullptr, 0));
    hivex_close(h);
    RunResult r = run(disk);
    EXPECT_EQ(3, r.code) << r.output;
    EXPECT_EQ(1u, under(hive(config + "SOFTWARE"), std::string("\\") + run_key + "\\:Evil=").size());
    EXPECT_EQ(std::string::npos, r.output.find("\nSystem Registry     W32/Quelby.Trojan removed\n")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("too large to rewrite safely")) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Shapes, RescueOnce,
                         ::testing::Values(Shape{"xp", "WINDOWS", "system32", "C:\\WINDOWS", "5.1", "2600",
                                                 "Microsoft Windows XP"}),
                         [](const ::testing::TestParamInfo<Shape> &info) { return std::string(info.param.name); });

// An infected file that cannot be deleted is reported so, counted as left,
// and nothing is scheduled: no rename file, no other file written.
TEST_P(Rescue, AFileThatCannotBeDeletedIsLeftAndNothingIsScheduled) {
    const Shape &s = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_installation(s));
    if (!set_immutable(disk + "/Documents and Settings/user/copy.scr", true))
        GTEST_SKIP() << "this file system cannot make a file immutable";
    auto files_before = files();
    RunResult r = run(disk);
    EXPECT_EQ(3, r.code) << r.output;
    const std::string copy = "C:\\Documents and Settings\\user\\copy.scr     W32/Quelby.Qgs.Dl.Trojan Unable to remove";
    EXPECT_EQ(1, std::count(r.lines.begin(), r.lines.end(), copy)) << r.output;
    EXPECT_EQ("RESULT 3 infected=3 removed=2 scheduled=0 left=1 scanned=10", r.lines.back());
    auto after = files();
    EXPECT_EQ(files_before["/Documents and Settings/user/copy.scr"], after["/Documents and Settings/user/copy.scr"]);
    for (const auto &f : after) EXPECT_TRUE(files_before.count(f.first) || f.first.find(".pellmark-backup") != std::string::npos) << f.first;
}

// A Windows 9x disk: its files are cleaned, its registry is not read, and
// the output says so; no rename file is ever written.
TEST(Rescue9x, FilesOnlyWithOneLineAboutTheRegistry) {
    char folder[] = "/tmp/pellmark-rescue-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    std::string top = folder, disk = top + "/disk";
    std::string sample_bytes = sample::make(signature_table);
    for (const char *dir : {"/disk", "/disk/WIN98", "/disk/WIN98/SYSTEM", "/disk/My Documents"})
        mkdir((top + dir).c_str(), 0755);
    auto put = [&](const std::string &relative, const std::string &data) {
        std::ofstream(disk + "/" + relative, std::ios::binary) << data;
    };
    put("WIN98/SYSTEM.DAT", "CREG" + std::string(60, '\0'));
    put("WIN98/USER.DAT", "CREG" + std::string(60, '\0'));
    put("WIN98/SYSTEM/evil.exe", sample_bytes);
    put("WIN98/SYSTEM/kernel32.dll", std::string(23552, 'k'));
    put("WIN98/hosts", hijacked_hosts);
    // The Windows folder is the one MSDOS.SYS names.
    put("MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WIN98\r\nWinBootDir=C:\\WIN98\r\n");
    put("My Documents/near.exe", sample::one_byte_longer(signature_table));
    RunResult r;
    {
        std::string command = std::string(PELLMARK_RESCUE_PROGRAM) + " --report " + disk + " 2>&1";
        FILE *pipe = popen(command.c_str(), "r");
        ASSERT_NE(nullptr, pipe);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
        int status = pclose(pipe);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    EXPECT_EQ(4, r.code) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("\nRegistry: a Windows 9x disk (SYSTEM.DAT, USER.DAT): its registry is "
                                               "not read or cleaned, only its files are scanned\n"))
        << r.output;
    EXPECT_NE(std::string::npos, r.output.find("\nC:\\WIN98\\hosts     W32/Nyxem.Worm found\n")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("\nC:\\WIN98\\SYSTEM\\evil.exe     W32/Quelby.Qgs.Dl.Trojan found\n"))
        << r.output;

    std::string command = std::string(PELLMARK_RESCUE_PROGRAM) + " " + disk + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = pclose(pipe);
    EXPECT_EQ(1, WIFEXITED(status) ? WEXITSTATUS(status) : -1) << output;
    EXPECT_NE(std::string::npos, output.find("\nC:\\WIN98\\SYSTEM\\evil.exe     W32/Quelby.Qgs.Dl.Trojan removed\n"))
        << output;
    EXPECT_NE(std::string::npos, output.find("\nRESULT 1 infected=2 removed=2 scheduled=0 left=0 scanned=7\n")) << output;
    struct stat st;
    EXPECT_NE(0, stat((disk + "/WIN98/SYSTEM/evil.exe").c_str(), &st));
    EXPECT_NE(0, stat((disk + "/WIN98/hosts").c_str(), &st));
    EXPECT_NE(0, stat((disk + "/WIN98/wininit.ini").c_str(), &st));
    EXPECT_EQ(0, stat((disk + "/My Documents/near.exe").c_str(), &st));
    EXPECT_EQ(0, stat((disk + "/WIN98/SYSTEM.DAT").c_str(), &st));
    nftw(top.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// A 9x disk whose infected file cannot be deleted: it is left, and no file
// of the restart's rename machinery is touched, not even a working copy
// of wininit.ini that an earlier run on Windows left behind.
TEST(Rescue9x, AFileLeftTouchesNoRenameFile) {
    char folder[] = "/tmp/pellmark-rescue-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    std::string top = folder, disk = top + "/disk";
    for (const char *dir : {"/disk", "/disk/WINDOWS", "/disk/WINDOWS/SYSTEM"}) mkdir((top + dir).c_str(), 0755);
    auto put = [&](const std::string &relative, const std::string &data) {
        std::ofstream(disk + "/" + relative, std::ios::binary) << data;
    };
    const std::string rename = "[rename]\r\nNUL=C:\\OLD.TMP\r\n";
    put("WINDOWS/SYSTEM.DAT", "CREG" + std::string(60, '\0'));
    put("WINDOWS/SYSTEM/evil.exe", sample::make(signature_table));
    put("WINDOWS/wininit.ini", rename);
    put("WINDOWS/wininit.pmk", rename);
    std::string evil = disk + "/WINDOWS/SYSTEM/evil.exe";
    int fd = open(evil.c_str(), O_RDONLY);
    int flags = 0;
    bool immutable = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                     (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (immutable) {
        std::string command = std::string(PELLMARK_RESCUE_PROGRAM) + " " + disk + " 2>&1";
        FILE *pipe = popen(command.c_str(), "r");
        std::string output;
        char buffer[4096];
        size_t n;
        while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        int status = pipe ? pclose(pipe) : -1;
        EXPECT_EQ(3, WIFEXITED(status) ? WEXITSTATUS(status) : -1) << output;
        EXPECT_NE(std::string::npos, output.find("\nRESULT 3 infected=1 removed=0 scheduled=0 left=1 ")) << output;
        for (const char *name : {"/WINDOWS/wininit.ini", "/WINDOWS/wininit.pmk"}) {
            std::ifstream in(disk + name, std::ios::binary);
            EXPECT_EQ(rename, std::string(std::istreambuf_iterator<char>(in), {})) << name;
        }
        flags &= ~FS_IMMUTABLE_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) close(fd);
    nftw(top.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    if (!immutable) GTEST_SKIP() << "this file system cannot make a file immutable";
}

// A folder without a Windows installation is refused before anything is
// scanned or written, with exit code 6.
TEST(RescueRefusal, AFolderWithoutWindows) {
    char folder[] = "/tmp/pellmark-rescue-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    std::string top = folder;
    mkdir((top + "/Windows").c_str(), 0755);
    std::ofstream(top + "/Windows/evil.exe", std::ios::binary) << sample::make(signature_table);
    std::string command = std::string(PELLMARK_RESCUE_PROGRAM) + " " + top + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = pclose(pipe);
    EXPECT_EQ(6, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    EXPECT_EQ("pellmark-rescue: '" + top +
                  "' holds no Windows installation (no Windows\\System32\\config\\SOFTWARE, and no 9x "
                  "Windows\\SYSTEM.DAT); nothing was scanned\n",
              output);
    struct stat st;
    EXPECT_EQ(0, stat((top + "/Windows/evil.exe").c_str(), &st));
    nftw(top.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace
