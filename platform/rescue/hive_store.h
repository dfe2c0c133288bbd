// The offline registry of a Windows disk mounted on Linux: one hive file
// (such as Windows/System32/config/SOFTWARE) opened through libhivex, its
// keys found by backslash paths without regard to case, its values read as
// the Win32 registry functions hand them out, values and whole keys deleted
// in memory, and the result committed without ever writing the hive in
// place: a new file beside it, flushed, renamed over it, with one backup of
// the original made before the first commit.
//
// Names cross this interface in UTF-8 (ansi_to_utf8 / utf8_to_ansi convert
// from and to the ANSI code page, Windows-1252).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

struct hive_h;

namespace rescue {

// Outcome of a lookup, read or delete: absent is a normal answer (the
// future seam's ERROR_FILE_NOT_FOUND), failed carries last_error().
enum class HiveStatus { ok, absent, failed };

struct HiveValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    // Only from read_value_ansi: some character of a string had no
    // Windows-1252 form (or the UTF-16 was malformed) and became '?'.
    bool lossy = false;
};

enum class CommitOutcome {
    written,             // the hive now holds the changes
    nothing_to_commit,   // no change since open (or the last commit): nothing written
    changed_on_disk,     // the file differs from what was opened: nothing written
    failed,              // nothing renamed over the hive; last_error() says why
};

struct CommitReport {
    CommitOutcome outcome = CommitOutcome::failed;
    bool backup_written = false;  // this commit wrote NAME.pellmark-backup
    // The hive file now holds the changes: with `written`, and also with
    // `failed` when only flushing the folder after the rename failed.
    bool hive_replaced = false;
};

class HiveStore {
public:
    using Key = size_t;  // 0: no key; invalid after the key (or one above it) is deleted

    // Opens the hive at `path` (a symbolic link is followed: path() is the
    // file's own); nullptr, with the reason in `error`, when the file cannot
    // be read or libhivex does not accept it as a hive.
    static std::unique_ptr<HiveStore> open(const std::string &path, std::string &error);
    ~HiveStore();
    HiveStore(const HiveStore &) = delete;
    HiveStore &operator=(const HiveStore &) = delete;

    Key root() const;
    // The key at a backslash path below the root ("" is the root; empty
    // parts, as in "A\\\\B" or a trailing backslash, are skipped), each name
    // compared without case.
    HiveStatus find_key(const std::string &path, Key &out) const;
    HiveStatus find_key(Key from, const std::string &path, Key &out) const;
    HiveStatus key_name(Key key, std::string &out) const;
    // Names as stored (their case kept), in the hive's order.
    HiveStatus subkeys(Key key, std::vector<std::string> &names) const;
    HiveStatus values(Key key, std::vector<std::string> &names) const;

    // The value's type and stored bytes, unchanged ("" is the default value).
    HiveStatus read_value(Key key, const std::string &name, HiveValue &out) const;
    // As RegQueryValueExA hands it out: REG_SZ, REG_EXPAND_SZ and
    // REG_MULTI_SZ data converted from UTF-16LE to Windows-1252, one byte
    // per UTF-16 unit (so lengths and terminators stay as stored; an odd
    // trailing byte is dropped), characters without a Windows-1252 form as
    // '?' with `lossy` set; other types as read_value.
    HiveStatus read_value_ansi(Key key, const std::string &name, HiveValue &out) const;

    HiveStatus delete_value(Key key, const std::string &name);
    // Deletes the key with every key and value below it (not the root).
    HiveStatus delete_key(Key key);

    // Writes the changes (see the top of this file). A failed change earlier
    // in this session leaves the hive in memory in doubt: every later
    // commit then fails, writing nothing.
    CommitReport commit();

    bool changed() const { return dirty_; }
    // Closed cleanly by Windows (equal sequence numbers); else no change is made.
    bool clean() const { return clean_; }
    const std::string &path() const { return path_; }
    std::string backup_path() const { return path_ + ".pellmark-backup"; }
    const std::string &last_error() const { return error_; }

private:
    HiveStore() = default;
    HiveStatus fail(const std::string &what) const;
    HiveStatus find_child(Key parent, const std::string &name, Key &out) const;
    HiveStatus find_value(Key key, const std::string &name, size_t &out) const;
    bool refuse_change();
    // written when the file is as opened (or last committed), else why not.
    CommitOutcome disk_state() const;
    bool write_beside(const std::string &final_path, const std::vector<uint8_t> *bytes, bool no_replace,
                      std::vector<uint8_t> *written, bool &installed);

    hive_h *hive_ = nullptr;
    std::string path_;
    std::vector<uint8_t> snapshot_;  // the file's bytes as opened or last committed
    struct stat written_stat_ {};
    off_t size_ = 0;
    int64_t mtime_ns_ = 0;
    mode_t mode_ = 0644;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    uint32_t minor_version_ = 0;
    bool clean_ = true;      // base block sequence numbers equal
    bool dirty_ = false;     // changed in memory since open or the last commit
    bool in_doubt_ = false;  // a change failed halfway
    mutable std::string error_;
};

// Windows-1252 bytes to UTF-8 (every byte has a form; the five bytes the
// code page leaves undefined map to U+0081, U+008D, U+008F, U+0090, U+009D
// as Windows maps them).
std::string ansi_to_utf8(const std::string &ansi);
// UTF-8 to Windows-1252; characters without a form become '?' and set
// `lossy` (when given).
std::string utf8_to_ansi(const std::string &utf8, bool *lossy = nullptr);
// Upper case of a UTF-16 unit as the registry compares names: ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic letters; others unchanged.
uint16_t registry_upcase(uint16_t c);

}  // namespace rescue
