// The offline hive store (hive_store.h): lookups, reads and deletes through
// libhivex, and the commit that writes a changed hive beside the original,
// flushes it and renames it over the original, after one flushed backup.
#include "platform/rescue/hive_store.h"

#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rescue {
namespace {

// libhivex allocates what it returns with malloc.
struct Freed {
    void *p;
    ~Freed() { std::free(p); }
};

// Windows-1252 0x80..0x9F; 0 where the code page defines no character
// (Windows maps those bytes to the C1 control of the same value).
const uint16_t cp1252_high[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

uint16_t ansi_char(unsigned char b) {
    if (b < 0x80 || b >= 0xA0) return b;
    uint16_t c = cp1252_high[b - 0x80];
    return c ? c : b;
}

// The Windows-1252 byte of a UTF-16 unit; false when it has none.
bool ansi_byte(uint16_t c, unsigned char &out) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        out = (unsigned char)c;
        return true;
    }
    for (int i = 0; i < 32; ++i)
        if (cp1252_high[i] ? cp1252_high[i] == c : c == 0x80 + i) {
            out = (unsigned char)(0x80 + i);
            return true;
        }
    return false;
}

// UTF-8 to UTF-16 units; a malformed sequence becomes U+FFFD.
std::vector<uint16_t> to_utf16(const std::string &s) {
    std::vector<uint16_t> out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        bool ok = n != 0 && i + n <= s.size();
        for (size_t k = 1; ok && k < n; ++k) {
            unsigned char cc = (unsigned char)s[i + k];
            ok = (cc & 0xC0) == 0x80;
            cp = cp << 6 | (cc & 0x3F);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back((uint16_t)(0xD800 | cp >> 10));
            out.push_back((uint16_t)(0xDC00 | (cp & 0x3FF)));
        } else {
            out.push_back((uint16_t)cp);
        }
    }
    return out;
}

void append_utf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | cp >> 6);
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xE0 | cp >> 12);
        out += (char)(0x80 | (cp >> 6 & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

bool same_name(const std::string &a, const std::string &b) {
    std::vector<uint16_t> x = to_utf16(a), y = to_utf16(b);
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
        if (registry_upcase(x[i]) != registry_upcase(y[i])) return false;
    return true;
}

bool is_string_type(uint32_t type) {
    return type == hive_t_REG_SZ || type == hive_t_REG_EXPAND_SZ || type == hive_t_REG_MULTI_SZ;
}

int64_t mtime_ns(const struct stat &st) { return (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec; }

std::string errno_text(int err) { return std::strerror(err); }

bool read_file(const std::string &path, std::vector<uint8_t> &out, struct stat &st, std::string &error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + errno_text(errno);
        return false;
    }
    bool ok = fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = path + ": not a regular file";
        return false;
    }
    out.clear();
    if (ok) out.resize((size_t)st.st_size);
    size_t got = 0;
    while (ok && got < out.size()) {
        ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            if (n == 0) errno = EIO;
            break;
        }
        got += (size_t)n;
    }
    // A file that grew while it was read is read again by the caller's check.
    int err = errno;
    ::close(fd);
    if (!ok) error = path + ": " + errno_text(err);
    return ok;
}

bool write_all(int fd, const uint8_t *data, size_t size) {
    while (size) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= (size_t)n;
    }
    return true;
}

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Some file systems (FUSE ones among them) cannot flush a folder; what they
// can do then is all there is.
bool sync_folder(const std::string &folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    ::close(fd);
    return ok;
}

// The prefix of every file this store writes beside a hive before renaming
// it into place.
std::string temporary_prefix(const std::string &path) { return name_of(path) + ".pellmark-new."; }

// Removes what killed or failed commits left: files named with the
// temporary prefix, which are never a hive or a backup.
void remove_stale_temporaries(const std::string &path) {
    std::string folder = folder_of(path), prefix = temporary_prefix(path);
    DIR *dir = opendir(folder.c_str());
    if (!dir) return;
    while (struct dirent *entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            unlink((folder + "/" + entry->d_name).c_str());
    }
    closedir(dir);
}

}  // namespace

uint16_t registry_upcase(uint16_t c) {
    if (c >= 'a' && c <= 'z') return (uint16_t)(c - 0x20);
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : (uint16_t)(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c <= 0x137) return (c & 1) && c != 0x131 ? (uint16_t)(c - 1) : c;
    if (c >= 0x139 && c <= 0x148) return (c & 1) ? c : (uint16_t)(c - 1);
    if (c >= 0x14A && c <= 0x177) return (c & 1) ? (uint16_t)(c - 1) : c;
    if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c : (uint16_t)(c - 1);
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return (uint16_t)(c - 0x25);
    if (c == 0x3C2) return 0x3A3;
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) return (uint16_t)(c - 0x20);
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return (uint16_t)(c - 0x3F);
    if (c >= 0x430 && c <= 0x44F) return (uint16_t)(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return (uint16_t)(c - 0x50);
    return c;
}

std::string ansi_to_utf8(const std::string &ansi) {
    std::string out;
    for (char b : ansi) append_utf8(out, ansi_char((unsigned char)b));
    return out;
}

std::string utf8_to_ansi(const std::string &utf8, bool *lossy) {
    std::string out;
    bool lost = false;
    std::vector<uint16_t> units = to_utf16(utf8);
    for (size_t i = 0; i < units.size(); ++i) {
        unsigned char b;
        if (!ansi_byte(units[i], b)) {
            b = '?';
            lost = true;
            if (units[i] >= 0xD800 && units[i] < 0xDC00 && i + 1 < units.size()) ++i;  // one '?' a character
        }
        out += (char)b;
    }
    if (lossy) *lossy = lost;
    return out;
}

std::unique_ptr<HiveStore> HiveStore::open(const std::string &path, std::string &error) {
    std::unique_ptr<HiveStore> store(new HiveStore());
    // The file itself, not a link to it: the new hive and the backup are
    // made in its folder and the rename replaces it, not the link.
    char *real = realpath(path.c_str(), nullptr);
    if (!real) {
        error = path + ": " + errno_text(errno);
        return nullptr;
    }
    store->path_ = real;
    std::free(real);
    struct stat st;
    if (!read_file(store->path_, store->snapshot_, st, error)) return nullptr;
    store->hive_ = hivex_open(store->path_.c_str(), HIVEX_OPEN_WRITE);
    if (!store->hive_) {
        int err = errno;
        error = store->path_ + ": not a registry hive libhivex can open (" + errno_text(err) + ")";
        return nullptr;
    }
    // libhivex read the file again: it must have read what was hashed.
    std::vector<uint8_t> again;
    struct stat st2;
    if (!read_file(store->path_, again, st2, error)) return nullptr;
    if (again != store->snapshot_ || st2.st_size != st.st_size || mtime_ns(st2) != mtime_ns(st)) {
        error = store->path_ + ": the file changed while it was being opened";
        return nullptr;
    }
    store->size_ = st.st_size;
    store->mtime_ns_ = mtime_ns(st);
    store->mode_ = st.st_mode & 07777;
    store->uid_ = st.st_uid;
    store->gid_ = st.st_gid;
    const std::vector<uint8_t> &b = store->snapshot_;
    auto le32 = [&](size_t at) {
        return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
    };
    // libhivex accepted the file, so its 4096-byte base block is there.
    store->clean_ = le32(4) == le32(8);
    store->minor_version_ = le32(24);
    return store;
}

HiveStore::~HiveStore() {
    if (hive_) hivex_close(hive_);
}

HiveStatus HiveStore::fail(const std::string &what) const {
    error_ = what;
    return HiveStatus::failed;
}

HiveStore::Key HiveStore::root() const { return hivex_root(hive_); }

HiveStatus HiveStore::key_name(Key key, std::string &out) const {
    Freed name{hivex_node_name(hive_, key)};
    if (!name.p) return fail(path_ + ": a key name cannot be read (" + errno_text(errno) + ")");
    out = (const char *)name.p;
    return HiveStatus::ok;
}

HiveStatus HiveStore::find_child(Key parent, const std::string &name, Key &out) const {
    Freed children{hivex_node_children(hive_, parent)};
    if (!children.p) return fail(path_ + ": the subkeys of a key cannot be read (" + errno_text(errno) + ")");
    for (const hive_node_h *c = (const hive_node_h *)children.p; *c; ++c) {
        std::string child;
        if (key_name(*c, child) != HiveStatus::ok) return HiveStatus::failed;
        if (same_name(child, name)) {
            out = *c;
            return HiveStatus::ok;
        }
    }
    return HiveStatus::absent;
}

HiveStatus HiveStore::find_key(const std::string &path, Key &out) const { return find_key(root(), path, out); }

HiveStatus HiveStore::find_key(Key from, const std::string &path, Key &out) const {
    Key at = from;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) {
            HiveStatus s = find_child(at, path.substr(start, end - start), at);
            if (s != HiveStatus::ok) return s;
        }
        start = end + 1;
    }
    out = at;
    return HiveStatus::ok;
}

HiveStatus HiveStore::subkeys(Key key, std::vector<std::string> &names) const {
    names.clear();
    Freed children{hivex_node_children(hive_, key)};
    if (!children.p) return fail(path_ + ": the subkeys of a key cannot be read (" + errno_text(errno) + ")");
    for (const hive_node_h *c = (const hive_node_h *)children.p; *c; ++c) {
        std::string name;
        if (key_name(*c, name) != HiveStatus::ok) return HiveStatus::failed;
        names.push_back(name);
    }
    return HiveStatus::ok;
}

HiveStatus HiveStore::values(Key key, std::vector<std::string> &names) const {
    names.clear();
    Freed list{hivex_node_values(hive_, key)};
    if (!list.p) return fail(path_ + ": the values of a key cannot be read (" + errno_text(errno) + ")");
    for (const hive_value_h *v = (const hive_value_h *)list.p; *v; ++v) {
        Freed name{hivex_value_key(hive_, *v)};
        if (!name.p) return fail(path_ + ": a value name cannot be read (" + errno_text(errno) + ")");
        names.emplace_back((const char *)name.p);
    }
    return HiveStatus::ok;
}

HiveStatus HiveStore::find_value(Key key, const std::string &name, size_t &out) const {
    Freed list{hivex_node_values(hive_, key)};
    if (!list.p) return fail(path_ + ": the values of a key cannot be read (" + errno_text(errno) + ")");
    for (const hive_value_h *v = (const hive_value_h *)list.p; *v; ++v) {
        Freed value_name{hivex_value_key(hive_, *v)};
        if (!value_name.p) return fail(path_ + ": a value name cannot be read (" + errno_text(errno) + ")");
        if (same_name((const char *)value_name.p, name)) {
            out = *v;
            return HiveStatus::ok;
        }
    }
    return HiveStatus::absent;
}

HiveStatus HiveStore::read_value(Key key, const std::string &name, HiveValue &out) const {
    size_t value;
    HiveStatus s = find_value(key, name, value);
    if (s != HiveStatus::ok) return s;
    hive_type type;
    size_t len;
    Freed data{hivex_value_value(hive_, value, &type, &len)};
    if (!data.p) return fail(path_ + ": the data of value " + name + " cannot be read (" + errno_text(errno) + ")");
    out.type = (uint32_t)type;
    out.data.assign((const uint8_t *)data.p, (const uint8_t *)data.p + len);
    out.lossy = false;
    return HiveStatus::ok;
}

HiveStatus HiveStore::read_value_ansi(Key key, const std::string &name, HiveValue &out) const {
    HiveStatus s = read_value(key, name, out);
    if (s != HiveStatus::ok || !is_string_type(out.type)) return s;
    std::vector<uint8_t> ansi;
    bool lossy = out.data.size() % 2 != 0;
    for (size_t i = 0; i + 1 < out.data.size(); i += 2) {
        uint16_t c = (uint16_t)(out.data[i] | out.data[i + 1] << 8);
        unsigned char b;
        if (!ansi_byte(c, b)) b = '?', lossy = true;
        ansi.push_back(b);
    }
    out.data.swap(ansi);
    out.lossy = lossy;
    return HiveStatus::ok;
}

bool HiveStore::refuse_change() {
    if (in_doubt_) {
        fail(path_ + ": an earlier change failed halfway; no further change is made");
        return true;
    }
    if (!clean_) {
        // Its transaction log holds writes the file lacks; a rewritten base
        // block with equal sequence numbers would make Windows ignore it.
        fail(path_ + ": the hive was not closed cleanly (its log is pending); it is not changed");
        return true;
    }
    return false;
}

HiveStatus HiveStore::delete_value(Key key, const std::string &name) {
    if (refuse_change()) return HiveStatus::failed;
    size_t target;
    HiveStatus s = find_value(key, name, target);
    if (s != HiveStatus::ok) return s;
    // libhivex deletes a value by setting all the key's others anew.
    Freed list{hivex_node_values(hive_, key)};
    if (!list.p) return fail(path_ + ": the values of a key cannot be read (" + errno_text(errno) + ")");
    std::vector<std::string> names;
    std::vector<std::vector<char>> datas;
    std::vector<hive_type> types;
    for (const hive_value_h *v = (const hive_value_h *)list.p; *v; ++v) {
        if (*v == target) continue;
        Freed value_name{hivex_value_key(hive_, *v)};
        hive_type type;
        size_t len;
        Freed data{hivex_value_value(hive_, *v, &type, &len)};
        if (!value_name.p || !data.p)
            return fail(path_ + ": another value of the key cannot be read, so none is rewritten");
        // Version 1.4 and later store data over 16344 bytes in big-data
        // records, which libhivex does not write: such a value would come
        // back in a form Windows misreads.
        if (len > 16344 && minor_version_ >= 4)
            return fail(path_ + ": the key holds a value too large to rewrite safely; " + name + " is left");
        names.emplace_back((const char *)value_name.p);
        datas.emplace_back((const char *)data.p, (const char *)data.p + len);
        types.push_back(type);
    }
    std::vector<hive_set_value> set(names.size());
    for (size_t i = 0; i < set.size(); ++i) {
        set[i].key = &names[i][0];
        set[i].t = types[i];
        set[i].len = datas[i].size();
        set[i].value = datas[i].data();
    }
    if (hivex_node_set_values(hive_, key, set.size(), set.data(), 0) != 0) {
        in_doubt_ = true;
        return fail(path_ + ": deleting value " + name + " failed (" + errno_text(errno) + ")");
    }
    dirty_ = true;
    return HiveStatus::ok;
}

HiveStatus HiveStore::delete_key(Key key) {
    if (refuse_change()) return HiveStatus::failed;
    if (key == root()) return fail(path_ + ": the root key is not deleted");
    if (hivex_node_delete_child(hive_, key) != 0) {
        // libhivex may have freed the subtree before failing to unlink it.
        in_doubt_ = true;
        return fail(path_ + ": deleting a key failed (" + errno_text(errno) + ")");
    }
    dirty_ = true;
    return HiveStatus::ok;
}

CommitOutcome HiveStore::disk_state() const {
    std::vector<uint8_t> now;
    struct stat st;
    std::string why;
    if (!read_file(path_, now, st, why)) {
        if (errno != ENOENT) {
            error_ = why;
            return CommitOutcome::failed;
        }
    } else if (st.st_size == size_ && mtime_ns(st) == mtime_ns_ && now == snapshot_) {
        return CommitOutcome::written;  // unchanged: writing may go on
    }
    error_ = path_ + ": the file changed on disk since it was opened; it is not written";
    return CommitOutcome::changed_on_disk;
}

// Writes `bytes` (or, when null, libhivex's image of the hive) to a new
// file beside `final_path`, flushes it, and renames it to `final_path`
// (with `no_replace`, only if nothing is there: `installed` then says
// whether it went in), then flushes the folder. `written` receives the
// bytes as they are in the file, written_stat_ its size and time (which the
// rename keeps).
bool HiveStore::write_beside(const std::string &final_path, const std::vector<uint8_t> *bytes, bool no_replace,
                             std::vector<uint8_t> *written, bool &installed) {
    installed = false;
    std::string folder = folder_of(path_);
    std::string temp = folder + "/" + temporary_prefix(path_) + "XXXXXX";
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) return fail(folder + ": no new file can be made there (" + errno_text(errno) + ")"), false;
    auto give_up = [&](const std::string &what, int err) {
        if (fd >= 0) ::close(fd);
        unlink(temp.c_str());
        fail(what + " (" + errno_text(err) + ")");
        return false;
    };
    if (bytes) {
        if (!write_all(fd, bytes->data(), bytes->size())) return give_up(temp + ": writing failed", errno);
    } else {
        ::close(fd);
        fd = -1;
        if (hivex_commit(hive_, temp.c_str(), 0) != 0) return give_up(temp + ": writing the hive failed", errno);
        // libhivex must be able to read back what it wrote.
        hive_h *check = hivex_open(temp.c_str(), 0);
        if (!check) return give_up(temp + ": the written hive does not open", errno);
        hivex_close(check);
        fd = ::open(temp.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return give_up(temp + ": cannot be opened again", errno);
    }
    // The new file keeps the original's permissions; its owner only where
    // this process may set it (on NTFS and FAT mounts the mount decides).
    if (fchmod(fd, mode_) != 0 && errno != EPERM) return give_up(temp + ": setting its mode failed", errno);
    if (fchown(fd, uid_, gid_) != 0 && errno != EPERM) return give_up(temp + ": setting its owner failed", errno);
    if (fsync(fd) != 0) return give_up(temp + ": flushing failed", errno);
    if (written) {
        std::string why;
        if (::close(fd) != 0) {
            fd = -1;
            return give_up(temp + ": closing failed", errno);
        }
        fd = -1;
        if (!read_file(temp, *written, written_stat_, why)) return give_up(why, EIO);
    } else {
        int rc = ::close(fd);
        fd = -1;
        if (rc != 0) return give_up(temp + ": closing failed", errno);
    }

    if (no_replace) {
        if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, final_path.c_str(), RENAME_NOREPLACE) == 0) {
            installed = true;
        } else if (errno == EEXIST) {
            unlink(temp.c_str());
        } else if (errno == EINVAL || errno == ENOSYS) {
            // No such rename here: a hard link never replaces either.
            if (link(temp.c_str(), final_path.c_str()) == 0) {
                installed = true;
            } else if (errno != EEXIST) {
                return give_up(final_path + ": cannot be made", errno);
            }
            unlink(temp.c_str());
        } else {
            return give_up(final_path + ": cannot be made", errno);
        }
    } else {
        if (rename(temp.c_str(), final_path.c_str()) != 0) return give_up(final_path + ": replacing it failed", errno);
        installed = true;
    }
    if (!sync_folder(folder))
        return fail(final_path + " is in place, but flushing its folder failed (" + errno_text(errno) + ")"), false;
    return true;
}

CommitReport HiveStore::commit() {
    CommitReport report;
    if (in_doubt_) {
        fail(path_ + ": an earlier change failed halfway; the hive is not written");
        return report;
    }
    if (!dirty_) {
        report.outcome = CommitOutcome::nothing_to_commit;
        return report;
    }
    CommitOutcome state = disk_state();
    if (state != CommitOutcome::written) {
        report.outcome = state;
        return report;
    }
    remove_stale_temporaries(path_);

    // The backup: the original as opened, made once and never replaced.
    struct stat st;
    if (lstat(backup_path().c_str(), &st) != 0) {
        if (errno != ENOENT) {
            fail(backup_path() + ": " + errno_text(errno));
            return report;
        }
        bool installed;
        bool ok = write_beside(backup_path(), &snapshot_, true, nullptr, installed);
        report.backup_written = installed;  // also when only the folder's flush failed
        if (!ok) return report;
    }

    std::vector<uint8_t> written;
    bool installed;
    // Checked again just before the new hive is written: the backup took time.
    state = disk_state();
    if (state != CommitOutcome::written) {
        report.outcome = state;
        return report;
    }
    bool ok = write_beside(path_, nullptr, false, &written, installed);
    if (installed) {
        // From now on the new hive is what the file is compared against
        // (also when only the folder's flush failed after the rename).
        report.hive_replaced = true;
        snapshot_.swap(written);
        size_ = written_stat_.st_size;
        mtime_ns_ = mtime_ns(written_stat_);
        dirty_ = false;
    }
    if (!ok) return report;
    report.outcome = CommitOutcome::written;
    return report;
}

}  // namespace rescue
