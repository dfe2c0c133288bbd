// Reading byte layouts: little-endian values at explicit offsets, checked
// against the end of what was read, and exact reads at an offset of an open
// file. Every parser of the engine (the PE headers, the signature and text
// records, the performance data) reads through these.
#pragma once
#include <cstddef>
#include <cstdint>

// Unchecked little-endian reads, for fixed-size fields whose bounds the
// caller's own layout guarantees (a record of known size, a header array).
inline uint16_t read_le16(const unsigned char *p) { return (uint16_t)(p[0] | p[1] << 8); }
inline int32_t read_le32(const unsigned char *p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

// A block of bytes of known size. Each read says whether it fits; one that
// does not leaves out untouched and returns false.
struct byte_view {
    const unsigned char *data;
    size_t size;

    bool fits(size_t at, size_t width) const { return at <= size && width <= size - at; }
    bool le16(size_t at, uint16_t &out) const {
        if (!fits(at, 2)) return false;
        out = read_le16(data + at);
        return true;
    }
    bool le32(size_t at, uint32_t &out) const {
        if (!fits(at, 4)) return false;
        out = (uint32_t)read_le32(data + at);
        return true;
    }
};

// Seeks from the start of the open file fd to offset and reads exactly count
// bytes; 0 when the seek or a full read fails. Offsets beyond what the C
// runtime's seek takes (2 GiB and more) fail.
int read_exactly_at(int fd, uint64_t offset, void *buffer, unsigned count);
