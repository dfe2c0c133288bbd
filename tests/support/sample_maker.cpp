// The sample maker.
#include "tests/support/sample_maker.h"

#include <cstring>
#include <functional>

#include "engine/pe_layout.h"

namespace sample {

namespace {

int32_t le32(const unsigned char *p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

// File offset of an RVA in a made sample.
int64_t file_offset(uint32_t rva) { return (int64_t)rva - section_rva + section_file_offset; }

// Chooses the entry RVA so that both windows fall inside the section's raw
// data; 0 when they cannot.
uint32_t choose_entry(const unsigned char *rec) {
    int32_t o1 = le32(rec + 50), o2 = le32(rec + 75), size = le32(rec + 100);
    int64_t lo = o1 < o2 ? o1 : o2, hi = o1 > o2 ? o1 : o2;
    // Need: file_offset(entry + lo) >= section_file_offset and
    //       file_offset(entry + hi) + 20 <= size.
    int64_t min_entry = (int64_t)section_rva - lo;
    int64_t max_entry = (int64_t)size - 20 - hi + section_rva - section_file_offset;
    if (min_entry < section_rva) min_entry = section_rva;
    if (min_entry > max_entry) return 0;
    return (uint32_t)((min_entry + max_entry) / 2);
}

}  // namespace

void put32(std::string &d, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = (char)(v >> (8 * i));
}

void put16(std::string &d, size_t at, uint16_t v) {
    d[at] = (char)v;
    d[at + 1] = (char)(v >> 8);
}

uint32_t entry_rva(const unsigned char *rec) { return choose_entry(rec); }

std::string make(const unsigned char *rec) {
    uint32_t entry = choose_entry(rec);
    int32_t size = le32(rec + 100);
    if (!entry || size < (int32_t)section_file_offset + 40) return std::string();
    std::string d((size_t)size, '\0');
    // Filler that is neither zero nor any pattern.
    for (size_t i = section_file_offset; i < d.size(); ++i) d[i] = (char)(0x90 ^ (i * 7));
    d[0] = 'M';
    d[1] = 'Z';
    put16(d, pe::header_offset_field, (uint16_t)pe_offset);
    std::memcpy(&d[pe_offset], "PE\0\0", 4);
    size_t fh = pe_offset + 4;
    put16(d, fh + 0, 0x014C);        // Machine: i386
    put16(d, fh + pe::number_of_sections, 1);
    put16(d, fh + pe::size_of_optional_header, pe::optional_header_size);
    put16(d, fh + 18, 0x0102);       // executable, 32-bit
    size_t oh = pe_offset + pe::optional_header_at;
    uint32_t raw_size = (uint32_t)size - section_file_offset;
    uint32_t virtual_size = (raw_size + 0xFFF) & ~0xFFFu;
    put16(d, oh + 0, 0x010B);        // PE32
    put32(d, oh + 4, raw_size);      // SizeOfCode
    put32(d, oh + pe::address_of_entry_point, entry);
    put32(d, oh + 20, section_rva);  // BaseOfCode
    put32(d, oh + 28, 0x400000);     // ImageBase
    put32(d, oh + 32, 0x1000);       // SectionAlignment
    put32(d, oh + 36, 0x200);        // FileAlignment
    put16(d, oh + 40, 4);            // OS version
    put16(d, oh + 48, 4);            // subsystem version
    put32(d, oh + 56, section_rva + virtual_size);  // SizeOfImage
    put32(d, oh + pe::size_of_headers, section_file_offset);
    put16(d, oh + 68, 2);            // Windows GUI
    put32(d, oh + 72, 0x100000);     // stack reserve
    put32(d, oh + 76, 0x1000);
    put32(d, oh + 80, 0x100000);     // heap reserve
    put32(d, oh + 84, 0x1000);
    put32(d, oh + 92, 16);           // NumberOfRvaAndSizes
    size_t sh = pe_offset + pe::section_table_at;
    std::memcpy(&d[sh], ".text", 5);
    put32(d, sh + pe::section_virtual_size, virtual_size);
    put32(d, sh + pe::section_virtual_address, section_rva);
    put32(d, sh + pe::section_size_of_raw_data, raw_size);
    put32(d, sh + pe::section_pointer_to_raw_data, section_file_offset);
    put32(d, sh + 36, 0xE0000020);   // code, read, write, execute
    std::memcpy(&d[(size_t)file_offset(entry + (uint32_t)le32(rec + 50))], rec + 54, 20);
    std::memcpy(&d[(size_t)file_offset(entry + (uint32_t)le32(rec + 75))], rec + 79, 20);
    return d;
}

std::string make_runnable(const unsigned char *rec) {
    std::string d = make(rec);
    if (d.empty()) return d;
    uint32_t entry = choose_entry(rec);
    const uint32_t imports = section_rva, image_base = 0x400000;
    const uint32_t code_size = 13, import_size = 0x80;
    // Neither the code nor the import data may touch a pattern window.
    for (int at : {50, 75}) {
        int64_t window = (int64_t)entry + le32(rec + at);
        if (window < imports + import_size && window + 20 > imports) return std::string();
        if (window < entry + code_size && window + 20 > entry) return std::string();
    }
    if (entry < imports + import_size) return std::string();
    size_t base = (size_t)file_offset(imports);
    std::memset(&d[base], 0, import_size);
    put32(d, base + 0, imports + 0x40);   // OriginalFirstThunk
    put32(d, base + 12, imports + 0x60);  // Name
    put32(d, base + 16, imports + 0x50);  // FirstThunk
    put32(d, base + 0x40, imports + 0x70);
    put32(d, base + 0x50, imports + 0x70);
    std::memcpy(&d[base + 0x60], "KERNEL32.dll", 12);
    std::memcpy(&d[base + 0x72], "Sleep", 5);
    size_t oh = pe_offset + pe::optional_header_at;
    put32(d, oh + 96 + 8, imports);         // import directory
    put32(d, oh + 96 + 12, 40);
    put32(d, oh + 96 + 8 * 12, imports + 0x50);  // import address table
    put32(d, oh + 96 + 8 * 12 + 4, 8);
    put16(d, pe_offset + pe::file_header_at + 18, 0x0103);   // executable, 32-bit, no relocations
    size_t code = (size_t)file_offset(entry);
    const unsigned char loop[code_size] = {0x68, 0xE8, 0x03, 0x00, 0x00,  // push 1000
                                           0xFF, 0x15, 0, 0, 0, 0,        // call [Sleep]
                                           0xEB, 0xF3};                   // jmp to the push
    std::memcpy(&d[code], loop, code_size);
    put32(d, code + 7, image_base + imports + 0x50);
    return d;
}

std::string one_byte_longer(const unsigned char *rec) { return make(rec) + "\x01"; }

std::string pattern_byte_wrong(const unsigned char *rec, int which) {
    std::string d = make(rec);
    uint32_t entry = choose_entry(rec);
    size_t at = (size_t)file_offset(entry + (uint32_t)le32(rec + (which == 1 ? 50 : 75)));
    d[at + 19] = (char)(d[at + 19] ^ 0x01);
    return d;
}

std::string pe_signature_broken(const unsigned char *rec) {
    std::string d = make(rec);
    d[pe_offset + 1] = 'X';
    return d;
}

std::string too_many_sections(const unsigned char *rec) {
    std::string d = make(rec);
    put16(d, pe_offset + pe::file_header_at + pe::number_of_sections, 21);
    return d;
}

std::string header_offset_past_end(const unsigned char *rec) {
    std::string d = make(rec);
    put16(d, pe::header_offset_field, 0xFFF0);
    if (d.size() > 0xFFF0) d.resize(0xFFF0 - 1);
    return d;
}

std::vector<named_file> malformed(const unsigned char *rec) {
    const std::string good = make(rec);
    const size_t fh = pe_offset + pe::file_header_at, oh = pe_offset + pe::optional_header_at,
                 sh = pe_offset + pe::section_table_at;
    std::vector<named_file> out;
    auto edited = [&](const char *name, const std::function<void(std::string &)> &edit, bool matches = false) {
        std::string d = good;
        edit(d);
        out.push_back({name, d, matches});
    };
    edited("header-cut.exe", [&](std::string &d) { put32(d, pe::header_offset_field, (uint32_t)d.size() - 6); });
    edited("header-at-end.exe", [&](std::string &d) { put32(d, pe::header_offset_field, (uint32_t)d.size()); });
    edited("header-negative.exe", [&](std::string &d) { put32(d, pe::header_offset_field, 0x80000000u); });
    edited("sections-ffff.exe", [&](std::string &d) { put16(d, fh + 2, 0xFFFF); });
    edited("sections-none.exe", [&](std::string &d) { put16(d, fh + 2, 0); });
    edited("optional-header-huge.exe", [&](std::string &d) { put16(d, fh + 16, 0xFFFF); }, true);
    edited("section-past-end.exe", [&](std::string &d) { put32(d, sh + 20, 0x7FFFFFF0u); });
    edited("section-raw-huge.exe", [&](std::string &d) { put32(d, sh + 16, 0xFFFFFFFFu); }, true);
    edited("section-virtual-wrap.exe", [&](std::string &d) {
        put32(d, sh + 8, 0xFFFFFFFFu);
        put32(d, sh + 12, 0xFFFFF000u);
    });
    edited("entry-in-no-section.exe", [&](std::string &d) { put32(d, oh + 16, 0x00800000u); });
    edited("entry-max.exe", [&](std::string &d) { put32(d, oh + 16, 0xFFFFFFFFu); });
    edited("entry-at-section-end.exe", [&](std::string &d) {
        put32(d, oh + 16, section_rva + (uint32_t)(d.size() - section_file_offset));
    });
    for (size_t cut : {(size_t)2, (size_t)pe::header_offset_field, (size_t)0x40, fh + 2, oh + 16, sh + 20, (size_t)section_file_offset,
                       good.size() - 1})
        out.push_back({"cut-" + std::to_string(cut) + ".exe", good.substr(0, cut), false});
    out.push_back({"empty.exe", std::string(), false});
    out.push_back({"zeros.exe", std::string(good.size(), '\0'), false});
    out.push_back({"ones.exe", std::string(good.size(), '\xFF'), false});
    return out;
}

std::string record(const char *name, int32_t offset1, const std::string &pattern1, int32_t offset2,
                   const std::string &pattern2, int32_t file_size, int32_t size_rule) {
    std::string r(108, '\0');
    std::strncpy(&r[0], name, 49);
    put32(r, 50, (uint32_t)offset1);
    std::memcpy(&r[54], pattern1.data(), pattern1.size() < 20 ? pattern1.size() : 20);
    put32(r, 75, (uint32_t)offset2);
    std::memcpy(&r[79], pattern2.data(), pattern2.size() < 20 ? pattern2.size() : 20);
    put32(r, 100, (uint32_t)file_size);
    put32(r, 104, (uint32_t)size_rule);
    return r;
}

}  // namespace sample
