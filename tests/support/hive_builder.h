// Test equipment: writes a small but complete NT registry hive file ("regf")
// from a tree of keys and values, since the library the rescue store reads
// hives with can change a hive but not create one. Every key shares one
// security record; subkeys are indexed by one lf (version 1.3) or lh
// (version 1.5) record per key, sorted the way the system sorts them.
#pragma once
#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace hive_builder {

enum : uint32_t {
    reg_none = 0,
    reg_sz = 1,
    reg_expand_sz = 2,
    reg_binary = 3,
    reg_dword = 4,
    reg_multi_sz = 7,
};

// Names and string data are given in UTF-8 and stored as the system stores
// them: names of characters up to U+00FF one byte each ("compressed"),
// other names and all string data as UTF-16LE.
struct Value {
    std::string name;  // "" is the key's default value
    uint32_t type = reg_none;
    std::vector<uint8_t> data;  // exactly the bytes stored
};

struct Key {
    std::string name;  // case kept as given
    std::vector<Value> values;  // kept in the order given
    std::list<Key> subkeys;  // references stay valid as keys are added

    explicit Key(std::string key_name = "") : name(std::move(key_name)) {}

    // The subkey of that name (compared without case), made if missing.
    Key &key(const std::string &subkey_name);
    // The key at a backslash path below this one, made as needed.
    Key &path(const std::string &backslash_path);

    // Adds a value (or replaces the one of that name, compared without case).
    Key &value(const std::string &value_name, uint32_t type, std::vector<uint8_t> data);
    Key &sz(const std::string &value_name, const std::string &text);
    Key &expand_sz(const std::string &value_name, const std::string &text);
    Key &dword(const std::string &value_name, uint32_t number);
    Key &binary(const std::string &value_name, std::vector<uint8_t> bytes);
    Key &multi_sz(const std::string &value_name, const std::vector<std::string> &strings);
};

// The data of a REG_SZ or REG_EXPAND_SZ value as the system stores it:
// UTF-16LE with its terminating NUL.
std::vector<uint8_t> string_data(const std::string &utf8);
// The data of a REG_MULTI_SZ value: each string NUL-terminated, then a NUL.
std::vector<uint8_t> multi_string_data(const std::vector<std::string> &strings);
// UTF-8 to UTF-16 code units (no terminator); throws std::invalid_argument
// on malformed UTF-8.
std::vector<uint16_t> utf16(const std::string &utf8);

struct Options {
    uint32_t minor_version = 3;  // 3: lf subkey indexes; 5: lh (hashed) indexes
    std::string file_name = "\\SystemRoot\\System32\\Config\\SOFTWARE";  // base block, last 31 characters
    uint64_t timestamp = 0x01C4F1D2A0000000ull;  // FILETIME of the base block, first bin and every key
};

// The hive file's bytes, the root key being `root` (its name is the root
// key's name, such as "$$$PROTO.HIV"). Throws std::invalid_argument for a
// tree it cannot write: a value of more than 16344 bytes, a name longer
// than 255 characters, two subkeys whose names differ only in case.
std::vector<uint8_t> build(const Key &root, const Options &options = {});

// build() written to a file; false (with errno) when the file cannot be written.
bool write(const std::string &path, const Key &root, const Options &options = {});

}  // namespace hive_builder
