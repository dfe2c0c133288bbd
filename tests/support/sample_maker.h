// Test equipment: PE32 files made to match (or narrowly miss) one 108-byte
// signature record. Shared by the host and the Windows-side tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sample {

// Layout of every made sample: PE header at 0x80, one section mapping
// RVA 0x1000 to file offset 0x400, headers of 0x400 bytes.
enum : uint32_t {
    pe_offset = 0x80,
    section_rva = 0x1000,
    section_file_offset = 0x400,
};

// A file of exactly the record's size whose two 20-byte windows, at the
// record's offsets from the entry point, hold the record's patterns. Empty
// when the record's windows cannot both lie inside a file of that size.
std::string make(const unsigned char *record);

// A sample that also runs: at its entry point a loop calls Sleep (imported
// from KERNEL32.dll) forever, so it can be a running process that matches
// the record. Empty when the code or the import data would touch a window.
std::string make_runnable(const unsigned char *record);

// The entry point RVA that make() chose for the record.
uint32_t entry_rva(const unsigned char *record);

// Near misses, each from a made sample.
std::string one_byte_longer(const unsigned char *record);
std::string pattern_byte_wrong(const unsigned char *record, int which);  // which: 1 or 2
std::string pe_signature_broken(const unsigned char *record);
std::string too_many_sections(const unsigned char *record);  // declares 21
std::string header_offset_past_end(const unsigned char *record);

// Malformed files, each named: made samples with a broken header (cut by
// the file's end, sections past the end, 0xFFFF sections, an entry point in
// no section, ...), samples cut short at several points, and a zero-length
// file. Only those marked matches still match: their damage is in header
// fields that locating the entry point does not use.
struct named_file {
    std::string name;
    std::string data;
    bool matches = false;
};
std::vector<named_file> malformed(const unsigned char *record);

// A 108-byte record from its fields (patterns as 20 raw bytes).
std::string record(const char *name, int32_t offset1, const std::string &pattern1, int32_t offset2,
                   const std::string &pattern2, int32_t file_size, int32_t size_rule = 1);

// Little-endian helpers for editing made files at explicit offsets.
void put32(std::string &data, size_t at, uint32_t value);
void put16(std::string &data, size_t at, uint16_t value);

}  // namespace sample
