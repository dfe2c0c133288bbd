// The parts of the PE/COFF layout that the matcher reads, by name: where the
// headers stand and where the fields it uses stand within them. Shared by
// the matcher, the sample maker and the tests.
#pragma once
#include <cstdint>

namespace pe {

enum : uint32_t {
    // The DOS header's 32-bit field holding the offset of the "PE\0\0"
    // signature (the matcher reads its low 16 bits).
    header_offset_field = 0x3C,
    signature_size = 4,

    // From the signature: the COFF file header follows it, the optional
    // header follows that, and the section table follows the optional
    // header. The section table's place assumes the 224-byte optional
    // header of a PE32 image (SizeOfOptionalHeader is not read).
    file_header_at = 4,
    file_header_size = 20,
    optional_header_at = 24,
    optional_header_size = 224,
    section_table_at = 248,
    section_header_size = 40,

    // COFF file header fields
    number_of_sections = 2,
    size_of_optional_header = 16,

    // Optional header fields
    optional_magic = 0,
    address_of_entry_point = 16,
    image_base = 28,
    section_alignment = 32,
    file_alignment = 36,
    size_of_image = 56,
    size_of_headers = 60,

    // Section header fields
    section_name = 0,
    section_virtual_size = 8,
    section_virtual_address = 12,
    section_size_of_raw_data = 16,
    section_pointer_to_raw_data = 20,
    section_characteristics = 36,
};

static_assert(optional_header_at == file_header_at + file_header_size, "the optional header follows the file header");
static_assert(section_table_at == optional_header_at + optional_header_size, "a PE32 optional header");

}  // namespace pe
