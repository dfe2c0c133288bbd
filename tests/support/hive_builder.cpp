// Test equipment: the regf hive writer (hive_builder.h). The file is a
// 4096-byte base block followed by hive bins of 4096 bytes (larger only
// for a cell that needs it); each bin starts with a 32-byte header and is
// filled with cells, each a signed 32-bit size (negative when in use,
// multiple of 8, counting itself) and its record. Every offset in a record
// counts from the start of the first bin. All fields are written at their
// explicit offsets, little-endian.
#include "tests/support/hive_builder.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace hive_builder {
namespace {

constexpr uint32_t base_block_size = 4096;
constexpr uint32_t bin_size = 4096;
constexpr uint32_t bin_header_size = 32;
constexpr uint32_t no_cell = 0xFFFFFFFFu;
constexpr size_t largest_cell_data = 16344;  // larger data needs big-data records

void put16(std::vector<uint8_t> &out, size_t at, uint16_t v) {
    out[at] = (uint8_t)v;
    out[at + 1] = (uint8_t)(v >> 8);
}
void put32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = (uint8_t)(v >> (8 * i));
}
void put64(std::vector<uint8_t> &out, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) out[at + i] = (uint8_t)(v >> (8 * i));
}
uint32_t get32(const std::vector<uint8_t> &in, size_t at) {
    return (uint32_t)in[at] | (uint32_t)in[at + 1] << 8 | (uint32_t)in[at + 2] << 16 | (uint32_t)in[at + 3] << 24;
}

// Upper case of the characters the test trees use (ASCII and Latin-1), as
// the system's table has them; others unchanged.
uint16_t upcase(uint16_t c) {
    if (c >= 'a' && c <= 'z') return (uint16_t)(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (uint16_t)(c - 0x20);
    if (c == 0xFF) return 0x178;
    return c;
}

std::vector<uint16_t> upper(const std::vector<uint16_t> &name) {
    std::vector<uint16_t> out(name);
    for (uint16_t &c : out) c = upcase(c);
    return out;
}

bool same_name(const std::string &a, const std::string &b) { return upper(utf16(a)) == upper(utf16(b)); }

// A name as stored in an nk or vk record: one byte a character when every
// character fits, else UTF-16LE.
struct StoredName {
    std::vector<uint8_t> bytes;
    bool compressed = true;
    uint32_t utf16_bytes = 0;  // its length as UTF-16, for the parent's "largest name" fields
};

StoredName stored_name(const std::string &utf8) {
    std::vector<uint16_t> units = utf16(utf8);
    if (units.size() > 255) throw std::invalid_argument("name longer than 255 characters: " + utf8);
    StoredName out;
    out.utf16_bytes = (uint32_t)units.size() * 2;
    out.compressed = std::all_of(units.begin(), units.end(), [](uint16_t c) { return c <= 0xFF; });
    for (uint16_t c : units) {
        out.bytes.push_back((uint8_t)c);
        if (!out.compressed) out.bytes.push_back((uint8_t)(c >> 8));
    }
    return out;
}

// A self-relative security descriptor: owner Administrators, group SYSTEM,
// a DACL granting SYSTEM and Administrators full access (inherited by
// subkeys).
std::vector<uint8_t> security_descriptor() {
    const uint8_t system_sid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const uint8_t admins_sid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    std::vector<uint8_t> sd(20);
    sd[0] = 1;                   // revision
    put16(sd, 2, 0x8004);        // SE_SELF_RELATIVE | SE_DACL_PRESENT
    // DACL at 20: header, then ACCESS_ALLOWED ACEs.
    size_t dacl = sd.size();
    sd.resize(dacl + 8);
    sd[dacl] = 2;  // ACL revision
    auto ace = [&](const uint8_t *sid, size_t sid_size) {
        size_t at = sd.size();
        sd.resize(at + 8 + sid_size);
        sd[at] = 0;     // ACCESS_ALLOWED_ACE_TYPE
        sd[at + 1] = 2; // CONTAINER_INHERIT_ACE
        put16(sd, at + 2, (uint16_t)(8 + sid_size));
        put32(sd, at + 4, 0x000F003F);  // KEY_ALL_ACCESS
        std::copy(sid, sid + sid_size, sd.begin() + (long)at + 8);
    };
    ace(system_sid, sizeof system_sid);
    ace(admins_sid, sizeof admins_sid);
    put16(sd, dacl + 2, (uint16_t)(sd.size() - dacl));  // ACL size
    put16(sd, dacl + 4, 2);                              // ACE count
    put32(sd, 16, (uint32_t)dacl);
    put32(sd, 4, (uint32_t)sd.size());  // owner
    sd.insert(sd.end(), admins_sid, admins_sid + sizeof admins_sid);
    put32(sd, 8, (uint32_t)sd.size());  // group
    sd.insert(sd.end(), system_sid, system_sid + sizeof system_sid);
    return sd;
}

// Places cells in bins: a cell that does not fit in the rest of the current
// bin closes it (the rest becomes one free cell) and opens a new one.
class Cells {
public:
    // Offset (from the first bin) of a new cell of `size` bytes, its size
    // field included; rounded up to a multiple of 8.
    uint32_t allocate(size_t size) {
        size = (size + 7) & ~(size_t)7;
        if (bins_.empty() || used_ + size > bins_.back().second) {
            close_bin();
            uint32_t next = bins_.empty() ? 0 : bins_.back().first + bins_.back().second;
            uint32_t need = (uint32_t)((bin_header_size + size + bin_size - 1) / bin_size * bin_size);
            bins_.emplace_back(next, need);
            used_ = bin_header_size;
        }
        uint32_t at = bins_.back().first + (uint32_t)used_;
        sizes_.emplace_back(at, (uint32_t)size);
        used_ += size;
        return at;
    }

    uint32_t total() const { return bins_.empty() ? 0 : bins_.back().first + bins_.back().second; }

    // The bins' bytes: headers, every cell's (negative) size, and the free
    // cell that ends each bin. Records are written into it afterwards.
    std::vector<uint8_t> lay_out(uint64_t timestamp) {
        close_bin();
        std::vector<uint8_t> out(total());
        for (size_t i = 0; i < bins_.size(); ++i) {
            uint32_t at = bins_[i].first;
            out[at] = 'h', out[at + 1] = 'b', out[at + 2] = 'i', out[at + 3] = 'n';
            put32(out, at + 4, at);
            put32(out, at + 8, bins_[i].second);
            if (i == 0) put64(out, at + 20, timestamp);
        }
        for (auto &cell : sizes_) put32(out, cell.first, (uint32_t)(-(int32_t)cell.second));
        for (auto &cell : free_) put32(out, cell.first, cell.second);
        return out;
    }

private:
    void close_bin() {
        if (bins_.empty()) return;
        size_t end = bins_.back().second;
        if (used_ < end) free_.emplace_back(bins_.back().first + (uint32_t)used_, (uint32_t)(end - used_));
        used_ = end;
    }

    std::vector<std::pair<uint32_t, uint32_t>> bins_;   // offset, size
    std::vector<std::pair<uint32_t, uint32_t>> sizes_;  // cells in use: offset, size
    std::vector<std::pair<uint32_t, uint32_t>> free_;
    size_t used_ = 0;
};

// Where each record of a key went, decided before anything is written.
struct Placed {
    const Key *key = nullptr;
    StoredName name;
    uint32_t nk = 0, value_list = no_cell, subkey_list = no_cell;
    std::vector<uint32_t> vk, data;  // data: no_cell when stored in the vk
    std::vector<StoredName> value_names;
    std::vector<Placed> subkeys;  // sorted as the index lists them
};

class Writer {
public:
    explicit Writer(const Options &options) : options_(options) {
        if (options.minor_version != 3 && options.minor_version != 5)
            throw std::invalid_argument("minor version must be 3 (lf) or 5 (lh)");
    }

    std::vector<uint8_t> build(const Key &root) {
        Placed tree;
        place(root, tree);
        std::vector<uint8_t> sd = security_descriptor();
        sk_ = cells_.allocate(4 + 20 + sd.size());
        place_below(tree);

        bins_ = cells_.lay_out(options_.timestamp);
        write(tree, no_cell, true);
        // The security record: a list of one, used by every key.
        uint32_t at = sk_ + 4;
        bins_[at] = 's', bins_[at + 1] = 'k';
        put32(bins_, at + 4, sk_);
        put32(bins_, at + 8, sk_);
        put32(bins_, at + 12, keys_);
        put32(bins_, at + 16, (uint32_t)sd.size());
        std::copy(sd.begin(), sd.end(), bins_.begin() + at + 20);

        std::vector<uint8_t> file(base_block_size);
        file[0] = 'r', file[1] = 'e', file[2] = 'g', file[3] = 'f';
        put32(file, 4, 1);  // primary and secondary sequence numbers equal: a clean hive
        put32(file, 8, 1);
        put32(file, 20, 1);  // major version
        put32(file, 24, options_.minor_version);
        put32(file, 28, 0);  // primary file
        put32(file, 32, 1);  // direct memory load
        put32(file, 36, tree.nk);
        put32(file, 40, (uint32_t)bins_.size());
        put32(file, 44, 1);  // clustering factor
        std::vector<uint16_t> file_name = utf16(options_.file_name);
        if (file_name.size() > 31) file_name.erase(file_name.begin(), file_name.end() - 31);
        for (size_t i = 0; i < file_name.size(); ++i) put16(file, 48 + 2 * i, file_name[i]);
        // XOR of the first 127 dwords. The system stores 0 as 1 and ~0 as
        // ~1; readers that compare the plain XOR would refuse those, so the
        // timestamp moves by 100 ns until the XOR is neither.
        for (uint64_t stamp = options_.timestamp;; ++stamp) {
            put64(file, 12, stamp);
            uint32_t sum = 0;
            for (size_t i = 0; i < 508; i += 4) sum ^= get32(file, i);
            if (sum != 0 && sum != 0xFFFFFFFFu) {
                put32(file, 508, sum);
                break;
            }
        }
        file.insert(file.end(), bins_.begin(), bins_.end());
        return file;
    }

private:
    // The key's own nk record (the root's comes first, then the security
    // record; every other record follows in depth-first order).
    void place(const Key &key, Placed &out) {
        out.key = &key;
        out.name = stored_name(key.name);
        out.nk = cells_.allocate(4 + 76 + out.name.bytes.size());
        ++keys_;
    }

    // Its value list, values and their data; then its subkey index and,
    // one after another, each subkey with everything below it.
    void place_values(Placed &out) {
        const Key &key = *out.key;
        if (!key.values.empty()) out.value_list = cells_.allocate(4 + 4 * key.values.size());
        for (const Value &v : key.values) {
            if (v.data.size() > largest_cell_data)
                throw std::invalid_argument("value data over 16344 bytes: " + v.name);
            out.value_names.push_back(stored_name(v.name));
            out.vk.push_back(cells_.allocate(4 + 20 + out.value_names.back().bytes.size()));
            out.data.push_back(v.data.size() <= 4 ? no_cell : cells_.allocate(4 + v.data.size()));
        }
    }

    void place_below(Placed &out) {
        const Key &key = *out.key;
        place_values(out);
        std::vector<const Key *> order;
        for (const Key &sub : key.subkeys) order.push_back(&sub);
        std::sort(order.begin(), order.end(),
                  [](const Key *a, const Key *b) { return upper(utf16(a->name)) < upper(utf16(b->name)); });
        for (size_t i = 1; i < order.size(); ++i)
            if (upper(utf16(order[i - 1]->name)) == upper(utf16(order[i]->name)))
                throw std::invalid_argument("two subkeys named " + order[i]->name);
        if (!order.empty()) out.subkey_list = cells_.allocate(4 + 4 + 8 * order.size());
        out.subkeys.resize(order.size());
        for (size_t i = 0; i < order.size(); ++i) {
            place(*order[i], out.subkeys[i]);
            place_below(out.subkeys[i]);
        }
    }

    void write(const Placed &p, uint32_t parent, bool root) {
        const Key &key = *p.key;
        uint32_t at = p.nk + 4;
        uint16_t flags = p.name.compressed ? 0x0020 : 0;  // KEY_COMP_NAME
        if (root) flags |= 0x0004 | 0x0008;                // KEY_HIVE_ENTRY, KEY_NO_DELETE
        bins_[at] = 'n', bins_[at + 1] = 'k';
        put16(bins_, at + 2, flags);
        put64(bins_, at + 4, options_.timestamp);
        put32(bins_, at + 16, root ? 0 : parent);
        put32(bins_, at + 20, (uint32_t)p.subkeys.size());
        put32(bins_, at + 28, p.subkey_list);
        put32(bins_, at + 32, no_cell);  // no volatile subkeys in a file
        put32(bins_, at + 36, (uint32_t)key.values.size());
        put32(bins_, at + 40, p.value_list);
        put32(bins_, at + 44, sk_);
        put32(bins_, at + 48, no_cell);  // no class name
        uint32_t longest_subkey = 0, longest_value = 0, largest_data = 0;
        for (const Placed &s : p.subkeys) longest_subkey = std::max(longest_subkey, s.name.utf16_bytes);
        for (size_t i = 0; i < key.values.size(); ++i) {
            longest_value = std::max(longest_value, p.value_names[i].utf16_bytes);
            largest_data = std::max(largest_data, (uint32_t)key.values[i].data.size());
        }
        put32(bins_, at + 52, longest_subkey);
        put32(bins_, at + 60, longest_value);
        put32(bins_, at + 64, largest_data);
        put16(bins_, at + 72, (uint16_t)p.name.bytes.size());
        std::copy(p.name.bytes.begin(), p.name.bytes.end(), bins_.begin() + at + 76);

        for (size_t i = 0; i < key.values.size(); ++i) {
            const Value &v = key.values[i];
            put32(bins_, p.value_list + 4 + 4 * i, p.vk[i]);
            uint32_t vk = p.vk[i] + 4;
            const StoredName &name = p.value_names[i];
            bins_[vk] = 'v', bins_[vk + 1] = 'k';
            put16(bins_, vk + 2, (uint16_t)name.bytes.size());
            if (p.data[i] == no_cell) {
                // Four bytes or fewer live in the offset field; the size's top bit says so.
                put32(bins_, vk + 4, 0x80000000u | (uint32_t)v.data.size());
                std::copy(v.data.begin(), v.data.end(), bins_.begin() + vk + 8);
            } else {
                put32(bins_, vk + 4, (uint32_t)v.data.size());
                put32(bins_, vk + 8, p.data[i]);
                std::copy(v.data.begin(), v.data.end(), bins_.begin() + p.data[i] + 4);
            }
            put32(bins_, vk + 12, v.type);
            put16(bins_, vk + 16, name.compressed && !name.bytes.empty() ? 0x0001 : 0);
            std::copy(name.bytes.begin(), name.bytes.end(), bins_.begin() + vk + 20);
        }

        if (!p.subkeys.empty()) {
            uint32_t list = p.subkey_list + 4;
            bool hashed = options_.minor_version >= 5;
            bins_[list] = 'l', bins_[list + 1] = hashed ? 'h' : 'f';
            put16(bins_, list + 2, (uint16_t)p.subkeys.size());
            for (size_t i = 0; i < p.subkeys.size(); ++i) {
                const Placed &s = p.subkeys[i];
                size_t entry = list + 4 + 8 * i;
                put32(bins_, entry, s.nk);
                std::vector<uint16_t> units = utf16(s.key->name);
                if (hashed) {
                    uint32_t hash = 0;
                    for (uint16_t c : units) hash = hash * 37 + upcase(c);
                    put32(bins_, entry + 4, hash);
                } else {
                    // Name hint: the first four characters, one byte each.
                    for (size_t c = 0; c < 4 && c < units.size(); ++c) bins_[entry + 4 + c] = (uint8_t)units[c];
                }
                write(s, p.nk, false);
            }
        }
    }

    const Options &options_;
    Cells cells_;
    std::vector<uint8_t> bins_;
    uint32_t sk_ = 0;
    uint32_t keys_ = 0;
};

}  // namespace

std::vector<uint16_t> utf16(const std::string &utf8) {
    std::vector<uint16_t> out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = (unsigned char)utf8[i];
        uint32_t cp;
        size_t n;
        if (c < 0x80) cp = c, n = 1;
        else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, n = 2;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, n = 3;
        else if ((c & 0xF8) == 0xF0) cp = c & 0x07, n = 4;
        else throw std::invalid_argument("malformed UTF-8");
        if (i + n > utf8.size()) throw std::invalid_argument("malformed UTF-8");
        for (size_t k = 1; k < n; ++k) {
            unsigned char cc = (unsigned char)utf8[i + k];
            if ((cc & 0xC0) != 0x80) throw std::invalid_argument("malformed UTF-8");
            cp = cp << 6 | (cc & 0x3F);
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

std::vector<uint8_t> string_data(const std::string &utf8) {
    std::vector<uint8_t> out;
    for (uint16_t c : utf16(utf8)) out.push_back((uint8_t)c), out.push_back((uint8_t)(c >> 8));
    out.push_back(0), out.push_back(0);
    return out;
}

std::vector<uint8_t> multi_string_data(const std::vector<std::string> &strings) {
    std::vector<uint8_t> out;
    for (const std::string &s : strings) {
        std::vector<uint8_t> one = string_data(s);
        out.insert(out.end(), one.begin(), one.end());
    }
    out.push_back(0), out.push_back(0);
    return out;
}

Key &Key::key(const std::string &subkey_name) {
    for (Key &k : subkeys)
        if (same_name(k.name, subkey_name)) return k;
    subkeys.emplace_back(subkey_name);
    return subkeys.back();
}

Key &Key::path(const std::string &backslash_path) {
    Key *at = this;
    size_t start = 0;
    while (start <= backslash_path.size()) {
        size_t end = backslash_path.find('\\', start);
        if (end == std::string::npos) end = backslash_path.size();
        if (end > start) at = &at->key(backslash_path.substr(start, end - start));
        start = end + 1;
    }
    return *at;
}

Key &Key::value(const std::string &value_name, uint32_t type, std::vector<uint8_t> data) {
    for (Value &v : values)
        if (same_name(v.name, value_name)) {
            v = Value{value_name, type, std::move(data)};
            return *this;
        }
    values.push_back(Value{value_name, type, std::move(data)});
    return *this;
}

Key &Key::sz(const std::string &n, const std::string &text) { return value(n, reg_sz, string_data(text)); }
Key &Key::expand_sz(const std::string &n, const std::string &text) {
    return value(n, reg_expand_sz, string_data(text));
}
Key &Key::dword(const std::string &n, uint32_t number) {
    return value(n, reg_dword,
                 {(uint8_t)number, (uint8_t)(number >> 8), (uint8_t)(number >> 16), (uint8_t)(number >> 24)});
}
Key &Key::binary(const std::string &n, std::vector<uint8_t> bytes) { return value(n, reg_binary, std::move(bytes)); }
Key &Key::multi_sz(const std::string &n, const std::vector<std::string> &strings) {
    return value(n, reg_multi_sz, multi_string_data(strings));
}

std::vector<uint8_t> build(const Key &root, const Options &options) { return Writer(options).build(root); }

bool write(const std::string &path, const Key &root, const Options &options) {
    std::vector<uint8_t> bytes = build(root, options);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace hive_builder
