// The offline hive pieces of the rescue program: hives written by the test
// builder must read back exactly through two independent readers (libhivex,
// and libregf's regfexport), and the hive store must find, read, delete and
// commit as promised, including when its commit is killed at any moment.
#include <gtest/gtest.h>
#include <hivex.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/rescue/hive_store.h"
#include "tests/support/hive_builder.h"

namespace {

using hive_builder::Key;
using rescue::CommitOutcome;
using rescue::HiveStatus;
using rescue::HiveStore;
using rescue::HiveValue;

// ---- The two trees, shaped like a Windows XP SOFTWARE and SYSTEM hive ----

Key software_tree() {
    Key root("$$$PROTO.HIV");
    Key &cv = root.path("Microsoft\\Windows\\CurrentVersion");
    cv.sz("ProgramFilesDir", "C:\\Program Files").sz("CommonFilesDir", "C:\\Program Files\\Common Files");
    cv.key("Run")
        .sz("", "")
        .sz("Tray", "C:\\WINDOWS\\tray.exe /start")
        .expand_sz("Updater", "%SystemRoot%\\system32\\upd.exe")
        .sz("Caf\xc3\xa9 Helper", "C:\\Caf\xc3\xa9\\helper.exe");
    cv.key("RunServices").sz("SvcHelper", "C:\\WINDOWS\\svchelp.exe");
    cv.key("RunOnce");
    Key &uninstall = cv.key("Uninstall");
    for (int i = 0; i < 50; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "App%02d", (i * 37) % 50);  // not added in order
        uninstall.key(name).sz("DisplayName", std::string("Application ") + name).sz(
            "UninstallString", std::string("C:\\Program Files\\") + name + "\\uninst.exe");
    }
    uninstall.key("App07").key("Components").dword("Count", 3);
    uninstall.key("Caf\xc3\xa9 Player")
        .sz("UninstallString", "\"C:\\Program Files\\Caf\xc3\xa9\\unins000.exe\"")
        .dword("NoModify", 1)
        .binary("Blob", {})
        .multi_sz("Files", {"a.dll", "b\xe2\x82\xac.dll", ""});
    uninstall.key("\xd0\x9f\xd1\x80\xd0\xbe\xd0\xb3\xd1\x80\xd0\xb0\xd0\xbc\xd0\xbc\xd0\xb0")  // Cyrillic "Programma"
        .sz("UninstallString", "C:\\\xd0\x9f\\x.exe");
    Key &nt = root.path("Microsoft\\Windows NT\\CurrentVersion");
    nt.sz("CurrentVersion", "5.1").sz("SystemRoot", "C:\\WINDOWS").sz("CurrentBuildNumber", "2600");
    nt.dword("InstallDate", 0xFFFFFFFFu);
    std::vector<uint8_t> product_id(164);
    for (size_t i = 0; i < product_id.size(); ++i) product_id[i] = (uint8_t)(i * 7 + 1);
    nt.binary("DigitalProductId", product_id);
    root.path("Classes\\.txt").sz("", "txtfile");
    return root;
}

Key system_tree() {
    Key root("$$$PROTO.HIV");
    root.key("Select").dword("Current", 2).dword("Default", 2).dword("Failed", 0).dword("LastKnownGood", 1);
    for (int set = 1; set <= 2; ++set) {
        Key &cs = root.key(set == 1 ? "ControlSet001" : "ControlSet002");
        Key &services = cs.key("Services");
        for (const char *name : {"Beep", "Tcpip", "Netlogon", "qsvc"}) {
            Key &svc = services.key(name);
            svc.expand_sz("ImagePath", std::string("system32\\drivers\\") + name + (set == 1 ? ".sys" : "2.sys"))
                .dword("Start", set == 1 ? 3 : 2)
                .dword("Type", 1)
                .sz("DisplayName", name);
            svc.key("Enum").dword("Count", 1).sz("0", std::string("Root\\LEGACY_") + name + "\\0000");
            svc.key("Parameters").binary("Security", {1, 0, 0x14, 0x80, 0x90, 0, 0, 0});
        }
        cs.path("Control\\Session Manager")
            .multi_sz("PendingFileRenameOperations", {"\\??\\C:\\WINDOWS\\x.dll", ""});
    }
    return root;
}

// ---- Dumps: a hive as lines, one per key and value, compared as sets ----

std::string hex(const uint8_t *p, size_t n) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) std::snprintf(b, sizeof b, "%02x", p[i]), out += b;
    return out;
}

std::string join(const std::string &path, const std::string &name) { return path.empty() ? name : path + "\\" + name; }

// What the tree holds, exactly (the data's bytes).
void exact_lines(const Key &key, const std::string &path, std::set<std::string> &out) {
    out.insert("K " + path);
    for (const hive_builder::Value &v : key.values)
        out.insert("V " + path + "|" + v.name + "|" + std::to_string(v.type) + "|" + hex(v.data.data(), v.data.size()));
    for (const Key &sub : key.subkeys) exact_lines(sub, join(path, sub.name), out);
}

std::set<std::string> exact_dump(const Key &root) {
    std::set<std::string> out;
    exact_lines(root, "", out);
    return out;
}

// What libhivex reads, exactly.
bool hivex_lines(hive_h *h, hive_node_h node, const std::string &path, std::set<std::string> &out) {
    out.insert("K " + path);
    hive_value_h *values = hivex_node_values(h, node);
    if (!values) return false;
    bool ok = true;
    for (hive_value_h *v = values; ok && *v; ++v) {
        char *name = hivex_value_key(h, *v);
        hive_type t;
        size_t len;
        char *data = hivex_value_value(h, *v, &t, &len);
        ok = name && data;
        if (ok) out.insert("V " + path + "|" + name + "|" + std::to_string(t) + "|" + hex((const uint8_t *)data, len));
        std::free(name);
        std::free(data);
    }
    std::free(values);
    hive_node_h *children = hivex_node_children(h, node);
    if (!children) return false;
    for (hive_node_h *c = children; ok && *c; ++c) {
        char *name = hivex_node_name(h, *c);
        ok = name && hivex_lines(h, *c, join(path, name), out);
        std::free(name);
    }
    std::free(children);
    return ok;
}

std::set<std::string> hivex_dump(const std::string &file) {
    std::set<std::string> out;
    hive_h *h = hivex_open(file.c_str(), 0);
    if (!h) return {"hivex cannot open " + file};
    if (!hivex_lines(h, hivex_root(h), "", out)) out.insert("hivex read error");
    hivex_close(h);
    return out;
}

// What regfexport shows of a value: strings as text, REG_DWORD in decimal,
// other data as hex bytes, always with the stored size.
std::string regf_rendering(const hive_builder::Value &v) {
    std::string size = std::to_string(v.data.size());
    if (v.type == hive_builder::reg_sz || v.type == hive_builder::reg_expand_sz) {
        std::string text;
        for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
            uint32_t c = v.data[i] | v.data[i + 1] << 8;
            if (c == 0) break;
            if (c < 0x80) text += (char)c;
            else if (c < 0x800) text += (char)(0xC0 | c >> 6), text += (char)(0x80 | (c & 0x3F));
            else text += (char)(0xE0 | c >> 12), text += (char)(0x80 | (c >> 6 & 0x3F)), text += (char)(0x80 | (c & 0x3F));
        }
        return size + "|" + text;
    }
    if (v.type == hive_builder::reg_dword) {
        uint32_t n = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | (uint32_t)v.data[3] << 24;
        return size + "|" + std::to_string(n);
    }
    return size + "|" + hex(v.data.data(), v.data.size());
}

const char *regf_type_name(uint32_t type) {
    switch (type) {
    case hive_builder::reg_sz: return "REG_SZ";
    case hive_builder::reg_expand_sz: return "REG_EXPAND_SZ";
    case hive_builder::reg_binary: return "REG_BINARY";
    case hive_builder::reg_dword: return "REG_DWORD_LITTLE_ENDIAN";
    case hive_builder::reg_multi_sz: return "REG_MULTI_SZ";
    default: return "?";
    }
}

void regf_lines(const Key &key, const std::string &path, std::set<std::string> &out) {
    out.insert("K " + path);
    for (const hive_builder::Value &v : key.values)
        out.insert("V " + path + "|" + (v.name.empty() ? "(default)" : v.name) + "|" + regf_type_name(v.type) + "|" +
                   regf_rendering(v));
    for (const Key &sub : key.subkeys) regf_lines(sub, join(path, sub.name), out);
}

std::set<std::string> regf_expected(const Key &root) {
    std::set<std::string> out;
    regf_lines(root, "", out);
    return out;
}

// What regfexport (libregf) reads: its "Key path:", "Value:", "Type:",
// "Data size:" and "Data:" lines (hex dumps of 16 bytes a line).
std::set<std::string> regf_dump(const std::string &file) {
    std::string command = "regfexport '" + file + "' 2>/dev/null";
    FILE *p = popen(command.c_str(), "r");
    if (!p) return {"regfexport cannot be run"};
    std::vector<std::string> lines;
    char buf[4096];
    std::string partial;
    while (std::fgets(buf, sizeof buf, p)) {
        partial += buf;
        if (!partial.empty() && partial.back() == '\n') {
            partial.pop_back();
            lines.push_back(partial);
            partial.clear();
        }
    }
    if (!partial.empty()) lines.push_back(partial);
    int status = pclose(p);
    std::set<std::string> out;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out.insert("regfexport failed on " + file);
    auto starts = [](const std::string &s, const char *prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; };
    std::string path;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string &l = lines[i];
        if (starts(l, "Key path: ")) {
            path = l.substr(10);
            size_t slash = path.find('\\');  // the root key's own name
            path = slash == std::string::npos ? "" : path.substr(slash + 1);
            out.insert("K " + path);
        } else if (starts(l, "Value: ")) {
            std::string name = l.substr(l.find(' ', 7) + 1);
            std::string type, size, data;
            size_t j = i + 1;
            for (; j < lines.size() && !lines[j].empty(); ++j) {
                const std::string &f = lines[j];
                if (starts(f, "Type: ")) type = f.substr(f.rfind('(') + 1, f.size() - f.rfind('(') - 2);
                else if (starts(f, "Data size: ")) size = f.substr(11);
                else if (f == "Data:") {
                    size_t left = std::stoul(size);
                    while (left && ++j < lines.size()) {
                        size_t at = lines[j].find(": ") + 2;
                        for (size_t k = 0; k < 16 && left; ++k, --left) {
                            if (k == 8) ++at;  // the gap between the two halves
                            data += lines[j].substr(at, 2);
                            at += 3;
                        }
                    }
                } else if (starts(f, "Data: ")) data = f.substr(6);
            }
            i = j;
            out.insert("V " + path + "|" + name + "|" + type + "|" + size + "|" + data);
        }
    }
    return out;
}

// Both readers, against the tree.
void expect_readers_agree(const std::string &file, const Key &tree) {
    EXPECT_EQ(hivex_dump(file), exact_dump(tree)) << file << " through libhivex";
    EXPECT_EQ(regf_dump(file), regf_expected(tree)) << file << " through regfexport";
}

std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

std::vector<std::string> folder_names(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class HiveFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/pellmark-hive-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { clear(); rmdir(dir.c_str()); }
    void clear() {
        for (const std::string &n : folder_names(dir)) unlink((dir + "/" + n).c_str());
    }
    std::string make(const std::string &name, const Key &tree, uint32_t minor = 3) {
        hive_builder::Options o;
        o.minor_version = minor;
        std::string file = dir + "/" + name;
        EXPECT_TRUE(hive_builder::write(file, tree, o));
        return file;
    }
    std::unique_ptr<HiveStore> open(const std::string &file) {
        std::string error;
        std::unique_ptr<HiveStore> store = HiveStore::open(file, error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    std::string dir;
};

// Removes a value or a key (by backslash path below the root) from a tree.
void remove_value(Key &root, const std::string &key, const std::string &name) {
    std::vector<hive_builder::Value> &v = root.path(key).values;
    v.erase(std::remove_if(v.begin(), v.end(), [&](const hive_builder::Value &x) { return x.name == name; }), v.end());
}
void remove_key(Key &root, const std::string &parent, const std::string &name) {
    root.path(parent).subkeys.remove_if([&](const Key &k) { return k.name == name; });
}

// The change the commit tests make to the SOFTWARE tree, in the store and
// in the tree.
void change_store(HiveStore &s) {
    HiveStore::Key run, app;
    ASSERT_EQ(s.find_key("Microsoft\\Windows\\CurrentVersion\\Run", run), HiveStatus::ok);
    ASSERT_EQ(s.delete_value(run, "tray"), HiveStatus::ok);
    ASSERT_EQ(s.find_key("microsoft\\windows\\currentversion\\uninstall\\app07", app), HiveStatus::ok);
    ASSERT_EQ(s.delete_key(app), HiveStatus::ok);
}
Key changed_software_tree() {
    Key t = software_tree();
    remove_value(t, "Microsoft\\Windows\\CurrentVersion\\Run", "Tray");
    remove_key(t, "Microsoft\\Windows\\CurrentVersion\\Uninstall", "App07");
    return t;
}

}  // namespace

TEST_F(HiveFiles, BuilderHivesReadBackExactlyThroughBothReaders) {
    for (uint32_t minor : {3u, 5u}) {
        SCOPED_TRACE("version 1." + std::to_string(minor));
        expect_readers_agree(make("SOFTWARE", software_tree(), minor), software_tree());
        expect_readers_agree(make("SYSTEM", system_tree(), minor), system_tree());
    }
    // A key of 50 subkeys lists them all, in the index's sorted order.
    std::unique_ptr<HiveStore> s = open(dir + "/SOFTWARE");
    ASSERT_TRUE(s);
    HiveStore::Key uninstall;
    std::vector<std::string> names;
    ASSERT_EQ(s->find_key("Microsoft\\Windows\\CurrentVersion\\Uninstall", uninstall), HiveStatus::ok);
    ASSERT_EQ(s->subkeys(uninstall, names), HiveStatus::ok);
    ASSERT_EQ(names.size(), 52u);
    EXPECT_EQ(names[0], "App00");
    EXPECT_EQ(names[49], "App49");
    EXPECT_EQ(names[50], "Caf\xc3\xa9 Player");
}

TEST_F(HiveFiles, LookupsIgnoreCaseAndReadsGiveWhatWindowsWould) {
    std::unique_ptr<HiveStore> soft = open(make("SOFTWARE", software_tree()));
    ASSERT_TRUE(soft);
    std::unique_ptr<HiveStore> sys = open(make("SYSTEM", system_tree(), 5));
    ASSERT_TRUE(sys);
    HiveStore::Key k, run;
    HiveValue v;

    ASSERT_EQ(soft->find_key("MICROSOFT\\windows\\CurrentVERSION\\run\\", run), HiveStatus::ok);
    std::string name;
    ASSERT_EQ(soft->key_name(run, name), HiveStatus::ok);
    EXPECT_EQ(name, "Run");
    std::vector<std::string> names;
    ASSERT_EQ(soft->values(run, names), HiveStatus::ok);
    EXPECT_EQ(names, (std::vector<std::string>{"", "Tray", "Updater", "Caf\xc3\xa9 Helper"}));
    EXPECT_EQ(soft->find_key("Microsoft\\Windows\\CurrentVersion\\RunOnceEx", k), HiveStatus::absent);
    EXPECT_EQ(soft->find_key("Microsoft\\Windows\\Current", k), HiveStatus::absent);
    EXPECT_EQ(soft->read_value(run, "Missing", v), HiveStatus::absent);

    // Raw reads: type and the stored bytes.
    ASSERT_EQ(soft->read_value(run, "UPDATER", v), HiveStatus::ok);
    EXPECT_EQ(v.type, (uint32_t)hive_builder::reg_expand_sz);
    EXPECT_EQ(v.data, hive_builder::string_data("%SystemRoot%\\system32\\upd.exe"));
    ASSERT_EQ(soft->read_value(run, "", v), HiveStatus::ok);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{0, 0}));
    ASSERT_EQ(soft->find_key("Microsoft\\Windows NT\\CurrentVersion", k), HiveStatus::ok);
    ASSERT_EQ(soft->read_value(k, "installdate", v), HiveStatus::ok);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(soft->read_value(k, "DigitalProductId", v), HiveStatus::ok);
    EXPECT_EQ(v.data.size(), 164u);

    // Names beyond ASCII compare without case too (Latin-1 and Cyrillic).
    ASSERT_EQ(soft->find_key("Microsoft\\Windows\\CurrentVersion\\Uninstall\\CAF\xc3\x89 PLAYER", k), HiveStatus::ok);
    ASSERT_EQ(soft->find_key("Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                             "\xd0\xbf\xd0\xa0\xd0\x9e\xd0\xb3\xd0\xa0\xd0\xb0\xd0\x9c\xd0\xbc\xd0\x90",
                             k),
              HiveStatus::ok);

    // As RegQueryValueExA: Windows-1252, one byte a UTF-16 unit, the
    // terminators kept; what has no Windows-1252 form is '?' and said so.
    ASSERT_EQ(soft->read_value_ansi(run, "caf\xc3\xa9 helper", v), HiveStatus::ok);
    EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("C:\\Caf\xe9\\helper.exe", 18) + '\0');
    EXPECT_FALSE(v.lossy);
    ASSERT_EQ(soft->find_key("Microsoft\\Windows\\CurrentVersion\\Uninstall\\Caf\xc3\xa9 Player", k), HiveStatus::ok);
    ASSERT_EQ(soft->read_value_ansi(k, "Files", v), HiveStatus::ok);
    EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("a.dll\0b\x80.dll\0\0\0", 15));
    EXPECT_FALSE(v.lossy);
    ASSERT_EQ(soft->read_value_ansi(k, "NoModify", v), HiveStatus::ok);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{1, 0, 0, 0}));
    ASSERT_EQ(soft->find_key("Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                             "\xd0\x9f\xd1\x80\xd0\xbe\xd0\xb3\xd1\x80\xd0\xb0\xd0\xbc\xd0\xbc\xd0\xb0",
                             k),
              HiveStatus::ok);
    ASSERT_EQ(soft->read_value_ansi(k, "UninstallString", v), HiveStatus::ok);
    EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("C:\\?\\x.exe", 10) + '\0');
    EXPECT_TRUE(v.lossy);
    EXPECT_EQ(rescue::ansi_to_utf8("Caf\xe9 \x80"), "Caf\xc3\xa9 \xe2\x82\xac");
    bool lossy = false;
    EXPECT_EQ(rescue::utf8_to_ansi("\xe2\x82\xac\xd0\x9f", &lossy), "\x80?");
    EXPECT_TRUE(lossy);

    // CurrentControlSet as the seam will resolve it: Select\Current.
    ASSERT_EQ(sys->find_key("select", k), HiveStatus::ok);
    ASSERT_EQ(sys->read_value(k, "Current", v), HiveStatus::ok);
    ASSERT_EQ(v.data, (std::vector<uint8_t>{2, 0, 0, 0}));
    ASSERT_EQ(sys->find_key("ControlSet002\\Services\\QSVC", k), HiveStatus::ok);
    ASSERT_EQ(sys->read_value_ansi(k, "ImagePath", v), HiveStatus::ok);
    EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("system32\\drivers\\qsvc2.sys", 26) + '\0');
}

TEST_F(HiveFiles, DeletesCommitBesideTheHiveWithOneBackupNeverOverwritten) {
    std::string file = make("SOFTWARE", software_tree());
    std::vector<uint8_t> original = file_bytes(file);

    // No change: nothing is written, no backup made.
    {
        std::unique_ptr<HiveStore> s = open(file);
        ASSERT_TRUE(s);
        HiveStore::Key run;
        ASSERT_EQ(s->find_key("Microsoft\\Windows\\CurrentVersion\\Run", run), HiveStatus::ok);
        EXPECT_EQ(s->delete_value(run, "NotThere"), HiveStatus::absent);
        EXPECT_EQ(s->commit().outcome, CommitOutcome::nothing_to_commit);
    }
    EXPECT_EQ(folder_names(dir), (std::vector<std::string>{"SOFTWARE"}));

    {
        std::unique_ptr<HiveStore> s = open(file);
        ASSERT_TRUE(s);
        HiveStore::Key root = s->root();
        EXPECT_EQ(s->delete_key(root), HiveStatus::failed);
        change_store(*s);
        rescue::CommitReport r = s->commit();
        ASSERT_EQ(r.outcome, CommitOutcome::written) << s->last_error();
        EXPECT_TRUE(r.backup_written);
        EXPECT_TRUE(r.hive_replaced);
        EXPECT_EQ(s->commit().outcome, CommitOutcome::nothing_to_commit);
    }
    EXPECT_EQ(folder_names(dir), (std::vector<std::string>{"SOFTWARE", "SOFTWARE.pellmark-backup"}));
    EXPECT_EQ(file_bytes(dir + "/SOFTWARE.pellmark-backup"), original);
    Key expected = changed_software_tree();
    expect_readers_agree(file, expected);

    // A later run: the backup stays the first original.
    {
        std::unique_ptr<HiveStore> s = open(file);
        ASSERT_TRUE(s);
        HiveStore::Key k;
        EXPECT_EQ(s->find_key("Microsoft\\Windows\\CurrentVersion\\Uninstall\\App07", k), HiveStatus::absent);
        ASSERT_EQ(s->find_key("Microsoft\\Windows\\CurrentVersion\\Uninstall", k), HiveStatus::ok);
        ASSERT_EQ(s->delete_key(k), HiveStatus::ok);
        ASSERT_EQ(s->find_key("Microsoft\\Windows NT\\CurrentVersion", k), HiveStatus::ok);
        ASSERT_EQ(s->delete_value(k, "DigitalProductId"), HiveStatus::ok);
        rescue::CommitReport r = s->commit();
        ASSERT_EQ(r.outcome, CommitOutcome::written) << s->last_error();
        EXPECT_FALSE(r.backup_written);
    }
    EXPECT_EQ(file_bytes(dir + "/SOFTWARE.pellmark-backup"), original);
    remove_key(expected, "Microsoft\\Windows\\CurrentVersion", "Uninstall");
    remove_value(expected, "Microsoft\\Windows NT\\CurrentVersion", "DigitalProductId");
    expect_readers_agree(file, expected);
    EXPECT_EQ(folder_names(dir), (std::vector<std::string>{"SOFTWARE", "SOFTWARE.pellmark-backup"}));
}

TEST_F(HiveFiles, ThroughALinkTheHiveItselfIsReplacedAndTheLinkStays) {
    ASSERT_EQ(mkdir((dir + "/config").c_str(), 0755), 0);
    std::string file = make("config/SOFTWARE", software_tree());
    ASSERT_EQ(symlink("config/SOFTWARE", (dir + "/link").c_str()), 0);
    std::unique_ptr<HiveStore> s = open(dir + "/link");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->path(), file);
    change_store(*s);
    ASSERT_EQ(s->commit().outcome, CommitOutcome::written) << s->last_error();
    struct stat st;
    ASSERT_EQ(lstat((dir + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    expect_readers_agree(file, changed_software_tree());
    EXPECT_EQ(folder_names(dir + "/config"), (std::vector<std::string>{"SOFTWARE", "SOFTWARE.pellmark-backup"}));
    unlink((dir + "/config/SOFTWARE").c_str());
    unlink((dir + "/config/SOFTWARE.pellmark-backup").c_str());
    rmdir((dir + "/config").c_str());
}

TEST_F(HiveFiles, AHiveChangedOnDiskIsNotWritten) {
    std::string file = make("SYSTEM", system_tree());
    std::unique_ptr<HiveStore> s = open(file);
    ASSERT_TRUE(s);
    HiveStore::Key k;
    ASSERT_EQ(s->find_key("ControlSet001\\Services\\qsvc", k), HiveStatus::ok);
    ASSERT_EQ(s->delete_key(k), HiveStatus::ok);

    // Another writer changes one value, keeping the size and the time.
    struct stat before;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    Key other = system_tree();
    other.key("Select").dword("Current", 1);
    make("SYSTEM", other);
    std::vector<uint8_t> theirs = file_bytes(file);
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

    rescue::CommitReport r = s->commit();
    EXPECT_EQ(r.outcome, CommitOutcome::changed_on_disk);
    EXPECT_FALSE(r.hive_replaced);
    EXPECT_NE(s->last_error().find("changed on disk"), std::string::npos);
    EXPECT_EQ(file_bytes(file), theirs);
    EXPECT_EQ(folder_names(dir), (std::vector<std::string>{"SYSTEM"}));

    // Gone altogether counts as changed too.
    unlink(file.c_str());
    EXPECT_EQ(s->commit().outcome, CommitOutcome::changed_on_disk);
    EXPECT_TRUE(folder_names(dir).empty());
}

TEST_F(HiveFiles, WhatLibhivexCannotOpenIsRefusedAndAnUncleanHiveIsNotChanged) {
    std::string error;
    EXPECT_FALSE(HiveStore::open(dir + "/none", error));
    EXPECT_NE(error.find(dir + "/none"), std::string::npos);
    EXPECT_FALSE(HiveStore::open(dir, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos);

    std::vector<uint8_t> hive = hive_builder::build(software_tree());
    std::vector<uint8_t> junk(hive.size(), 0x5A);
    std::vector<uint8_t> bad_sum = hive;
    bad_sum[508] ^= 1;
    std::vector<uint8_t> cut(hive.begin(), hive.begin() + 0x1800);
    for (auto *bytes : {&junk, &bad_sum, &cut}) {
        put_file(dir + "/bad", *bytes);
        error.clear();
        EXPECT_FALSE(HiveStore::open(dir + "/bad", error));
        EXPECT_NE(error.find("not a registry hive"), std::string::npos) << error;
    }

    // Sequence numbers that differ: Windows left a log to replay. It reads,
    // but is not changed.
    std::vector<uint8_t> unclean = hive;
    unclean[8] ^= 1;
    unclean[508] ^= 1;  // the XOR checksum follows
    put_file(dir + "/SOFTWARE", unclean);
    std::unique_ptr<HiveStore> s = open(dir + "/SOFTWARE");
    ASSERT_TRUE(s);
    HiveStore::Key run;
    HiveValue v;
    ASSERT_EQ(s->find_key("Microsoft\\Windows\\CurrentVersion\\Run", run), HiveStatus::ok);
    EXPECT_EQ(s->read_value(run, "Tray", v), HiveStatus::ok);
    EXPECT_EQ(s->delete_value(run, "Tray"), HiveStatus::failed);
    EXPECT_NE(s->last_error().find("not closed cleanly"), std::string::npos);
    EXPECT_EQ(s->commit().outcome, CommitOutcome::nothing_to_commit);
    EXPECT_EQ(file_bytes(dir + "/SOFTWARE"), unclean);
}

// A child commits a change while the parent kills it at a random moment of
// the commit. Each time the hive is loadable by both readers and is the
// old or the new hive, a backup (if there is one) is the whole original,
// and leftovers are only the store's own temporary files, which the next
// commit removes.
TEST_F(HiveFiles, ACommitKilledAtAnyMomentLeavesTheOldOrTheNewHive) {
    std::string file = dir + "/SOFTWARE", backup = file + ".pellmark-backup";
    std::vector<uint8_t> before = hive_builder::build(software_tree());
    std::set<std::string> old_hivex = exact_dump(software_tree()), old_regf = regf_expected(software_tree());
    std::set<std::string> new_hivex = exact_dump(changed_software_tree()),
                          new_regf = regf_expected(changed_software_tree());

    auto reset = [&] {
        clear();
        put_file(file, before);
    };
    // Runs the child; kills it `delay_us` after it starts its commit (never
    // when negative). Returns true when it was killed before it finished;
    // `commit_us` is how long it ran after starting its commit.
    long commit_us = 0;
    auto run_child = [&](long delay_us) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            std::string error;
            std::unique_ptr<HiveStore> s = HiveStore::open(file, error);
            if (!s) _exit(2);
            change_store(*s);
            if (write(ready[1], "x", 1) != 1) _exit(2);
            _exit(s->commit().outcome == CommitOutcome::written ? 0 : 3);
        }
        close(ready[1]);
        char c;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        auto t0 = std::chrono::steady_clock::now();
        if (delay_us >= 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
            kill(pid, SIGKILL);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        commit_us =
            (long)std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }
        return WIFSIGNALED(status);
    };

    // How long a whole commit takes here, and the hive it makes.
    long longest_us = 0;
    for (int i = 0; i < 5; ++i) {
        reset();
        run_child(-1);
        longest_us = std::max(longest_us, commit_us);
    }
    std::vector<uint8_t> after = file_bytes(file);
    ASSERT_NE(after, before);
    ASSERT_EQ(hivex_dump(file), new_hivex);

    const char *runs_text = std::getenv("PELLMARK_HIVE_KILLS");
    int runs = runs_text ? std::atoi(runs_text) : 200;
    std::mt19937 random(20261209);
    std::uniform_int_distribution<long> delay(0, longest_us * 5 / 4);
    // Where the kills landed: before the backup was in place, between the
    // backup and the rename, after the rename.
    int killed = 0, old_alone = 0, old_with_backup = 0, new_hive = 0, with_leftovers = 0;
    for (int i = 0; i < runs; ++i) {
        reset();
        long d = delay(random);
        if (run_child(d)) ++killed;
        std::vector<uint8_t> now = file_bytes(file);
        bool is_old = now == before, is_new = now == after;
        ASSERT_TRUE(is_old || is_new) << "run " << i << ", killed after " << d << " us";
        new_hive += is_new;
        ASSERT_EQ(hivex_dump(file), is_old ? old_hivex : new_hivex) << "run " << i;
        ASSERT_EQ(regf_dump(file), is_old ? old_regf : new_regf) << "run " << i;
        bool leftovers = false;
        for (const std::string &n : folder_names(dir)) {
            if (n == "SOFTWARE") continue;
            if (n == "SOFTWARE.pellmark-backup") {
                ASSERT_EQ(file_bytes(backup), before) << "run " << i;
            } else {
                ASSERT_EQ(n.compare(0, 22, "SOFTWARE.pellmark-new."), 0) << n;
                leftovers = true;
            }
        }
        with_leftovers += leftovers;
        bool backed_up = access(backup.c_str(), F_OK) == 0;
        old_alone += is_old && !backed_up;
        old_with_backup += is_old && backed_up;
        if (is_new) {
            ASSERT_TRUE(access(backup.c_str(), F_OK) == 0) << "a new hive without its backup, run " << i;
        }
    }
    std::printf("[ kill test ] %d runs, a commit takes up to %ld us here; %d killed before exiting; "
                "old hive without backup %d, old hive with backup %d, new hive %d; temporary files left %d\n",
                runs, longest_us, killed, old_alone, old_with_backup, new_hive, with_leftovers);
    EXPECT_GT(old_alone + old_with_backup, 0);
    EXPECT_GT(new_hive, 0);

    // The next commit removes what killed ones left.
    reset();
    put_file(dir + "/SOFTWARE.pellmark-new.k1ll3d", std::vector<uint8_t>(before.begin(), before.begin() + 5000));
    run_child(-1);
    EXPECT_EQ(folder_names(dir), (std::vector<std::string>{"SOFTWARE", "SOFTWARE.pellmark-backup"}));
    EXPECT_EQ(file_bytes(file), after);
}
