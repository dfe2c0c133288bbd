// The signature data, one row per line, and its packing into the 108-byte
// records at compile time.
//
// A row is { name, first offset, first pattern, second offset, second pattern,
// file size, size rule } with each pattern as 40 hex digits. A row whose
// patterns are not known yet is given by its name (and whatever else is
// known); it keeps its place in the table and is packed with size rule 0, so
// it can never match. Filling in a row's two patterns makes it live.
#include "engine/signature_table.h"

#include <array>
#include <cstddef>

namespace {

struct signature_row {
    const char *name;
    int32_t offset1 = 0;
    const char *pattern1 = "";
    int32_t offset2 = 0;
    const char *pattern2 = "";
    int32_t file_size = 0;
    int32_t size_rule = 0;
};

constexpr signature_row rows[] = {
    {"W32/Quelby.Qgs.Dl.Trojan", -2683, "c40e837c8bc2857c6f1f867ca7ea827c56be807c", 6788, "07e454e072ca40a8a1b622c68cc72db59ec957ed", 23552, 1},
    {"W32/Quelby.Ptt.Dl.Trojan"},
    {"W32/Quelby.Qcd.Dl.Trojan"},
    {"W32/Quelby.Qad.Dl.Trojan"},
    {"W32/Quelby.Qsh.Dl.Trojan"},
    {"W32/Quelby.Qhu.Dl.Trojan"},
    {"W32/Quelby.Qis.Dl.Trojan"},
    {"W32/Quelby.Qjj.Dl.Trojan"},
    {"W32/Quelby.Qjk.Dl.Trojan"},
    {"W32/Quelby.Qjo.Dl.Trojan"},
    {"W32/Quelby.Qju.Dl.Trojan"},
    {"W32/Quelby.Qkk.Dl.Trojan"},
    {"W32/Quelby.Qms.Dl.Trojan"},
    {"W32/Quelby.Qlu.Dl.Trojan"},
    {"W32/Quelby.Quc.Dl.Trojan"},
    {"W32/Quelby.Qtb.Dl.Trojan"},
    {"W32/Quelby.Qtd.Dl.Trojan"},
    {"W32/Quelby.Qwd.Dl.Trojan"},
    {"W32/Quelby.Quj.Dl.Trojan"},
    {"W32/Quelby.Qxr.Dl.Trojan"},
    {"W32/Quelby.Qtt.Dl.Trojan"},
    {"W32/Quelby.Qur.Dl.Trojan"},
    {"W32/Quelby.Qvd.Dl.Trojan"},
    {"W32/Quelby.Qsx.Dl.Trojan"},
    {"W32/Quelby.Qtc.Dl.Trojan"},
    {"W32/Quelby.Qtk.Dl.Trojan"},
    {"W32/Quelby.Qvb.Dl.Trojan"},
    {"W32/Quelby.Qtn.Dl.Trojan"},
    {"W32/Quelby.Qup.Dl.Trojan"},
    {"W32/Quelby.Qti.Dl.Trojan"},
    {"W32/Quelby.Raq.Dl.Trojan"},
    {"W32/Quelby.Qzf.Dl.Trojan"},
    {"W32/Quelby.Raa.Dl.Trojan"},
    {"W32/Quelby.Rby.Dl.Trojan"},
    {"W32/Quelby.Qyh.Dl.Trojan"},
    {"W32/Quelby.Rcr.Dl.Trojan"},
    {"W32/Quelby.Rbl.Dl.Trojan"},
    {"W32/Quelby.Raf.Dl.Trojan"},
    {"W32/Quelby.Rar.Dl.Trojan"},
    {"W32/Quelby.Rbp.Dl.Trojan"},
    {"W32/Quelby.Qyp.Dl.Trojan"},
    {"W32/Quelby.Rao.Dl.Trojan"},
    {"W32/Quelby.Qyf.Dl.Trojan"},
    {"W32/Quelby.Rca.Dl.Trojan"},
    {"W32/Quelby.Rbb.Dl.Trojan"},
    {"W32/Quelby.Rbg.Dl.Trojan"},
    {"W32/Quelby.Rac.Dl.Trojan"},
    {"W32/Quelby.Qwa.Dl.Trojan"},
    {"W32/Quelby.Qyy.Dl.Trojan"},
    {"W32/Quelby.Ral.Dl.Trojan"},
    {"W32/Quelby.Qyu.Dl.Trojan"},
    {"W32/Quelby.Qzx.Dl.Trojan"},
    {"W32/Quelby.Qzo.Dl.Trojan"},
    {"W32/Quelby.Rbc.Dl.Trojan"},
    {"W32/Quelby.Rbs.Dl.Trojan"},
    {"W32/Quelby.Rag.Dl.Trojan"},
    {"W32/Quelby.Rhd.Dl.Trojan"},
    {"W32/Quelby.Rey.Dl.Trojan"},
    {"W32/Quelby.Rdv.Dl.Trojan"},
    {"W32/Quelby.Reb.Dl.Trojan"},
    {"W32/Quelby.Rdy.Dl.Trojan"},
    {"W32/Quelby.Rdg.Dl.Trojan"},
    {"W32/Quelby.Rcm.Dl.Trojan"},
    {"W32/Quelby.Rev.Dl.Trojan"},
    {"W32/Quelby.Rek.Dl.Trojan"},
    {"W32/Quelby.Res.Dl.Trojan"},
    {"W32/Quelby.Rfp.Dl.Trojan"},
    {"W32/Quelby.Rkk.Dl.Trojan"},
    {"W32/Quelby.Rgh.Dl.Trojan"},
    {"W32/Quelby.Rhc.Dl.Trojan"},
    {"W32/Quelby.Rkb.Dl.Trojan"},
    {"W32/Quelby.Rrf.Dl.Trojan"},
    {"W32/Quelby.Rnh.Dl.Trojan"},
    {"W32/Quelby.Rkn.Dl.Trojan"},
    {"W32/Quelby.Rqh.Dl.Trojan"},
    {"W32/Quelby.Rmp.Dl.Trojan"},
    {"W32/Quelby.Rfm.Dl.Trojan"},
    {"W32/Quelby.Rrb.Dl.Trojan"},
    {"W32/Quelby.Rkl.Dl.Trojan"},
    {"W32/Quelby.Rks.Dl.Trojan"},
    {"W32/Quelby.Rgr.Dl.Trojan"},
    {"W32/Quelby.Rfx.Dl.Trojan"},
    {"W32/Quelby.Rhe.Dl.Trojan"},
    {"W32/Quelby.Rgd.Dl.Trojan"},
    {"W32/Quelby.Rdq.Dl.Trojan"},
    {"W32/Quelby.Rod.Dl.Trojan"},
    {"W32/Quelby.Rmx.Dl.Trojan"},
    {"W32/Quelby.Rnj.Dl.Trojan"},
    {"W32/Quelby.Rhb.Dl.Trojan"},
    {"W32/Quelby.Rki.Dl.Trojan"},
    {"W32/Quelby.Rsr.Dl.Trojan"},
    {"W32/Quelby.Rqn.Dl.Trojan"},
    {"W32/Quelby.Rsc.Dl.Trojan"},
    {"W32/Quelby.Rqq.Dl.Trojan"},
    {"W32/Quelby.Rpp.Dl.Trojan"},
    {"W32/Quelby.Rqp.Dl.Trojan"},
    {"W32/Quelby.Rrc.Dl.Trojan"},
    {"W32/Quelby.Rqz.Dl.Trojan"},
    {"W32/Quelby.Rpo.Dl.Trojan"},
    {"W32/Quelby.Rtv.Dl.Trojan"},
    {"W32/Quelby.Rtt.Dl.Trojan"},
    {"W32/Quelby.Rpl.Dl.Trojan"},
    {"W32/Quelby.Do.Dl.Trojan"},
    {"W32/Quelby.Rwh.Dl.Trojan"},
    {"W32/Quelby.Ambv.Dl.Trojan"},
    {"W32/Quelby.Ambp.Dl.Trojan"},
    {"W32/Quelby.Amau.Dl.Trojan"},
    {"W32/Quelby.Amba.Dl.Trojan"},
    {"W32/Quelby.Amdn.Dl.Trojan"},
    {"W32/Quelby.Anqn.Dl.Trojan"},
    {"W32/Quelby.Amdz.Dl.Trojan"},
    {"W32/Quelby.Anqk.Dl.Trojan"},
    {"W32/Quelby.Bmhb.Dl.Trojan"},
    {"W32/Quelby.Bmgs.Dl.Trojan"},
    {"W32/Quelby.Bnar.Trojan"},
    {"W32/Quelby.Dy.Dl.Trojan", -29008, "", -100, "", 32256, 1},
    {"W32/Quelby.Bngg.Dl.Trojan"},
};

static_assert(sizeof rows / sizeof rows[0] == signature_count, "the table has 117 rows");

constexpr size_t text_length(const char *s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

constexpr int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

constexpr bool pattern_valid(const char *hex) {
    size_t n = text_length(hex);
    if (n == 0) return true;
    if (n != 2 * pattern_size) return false;
    for (size_t i = 0; i < n; ++i)
        if (hex_digit(hex[i]) < 0) return false;
    return true;
}

constexpr bool row_has_data(const signature_row &r) {
    return text_length(r.pattern1) == 2 * pattern_size && text_length(r.pattern2) == 2 * pattern_size;
}

constexpr bool rows_valid() {
    for (const signature_row &r : rows) {
        size_t n = text_length(r.name);
        if (n == 0 || n >= record_name_size) return false;
        if (!pattern_valid(r.pattern1) || !pattern_valid(r.pattern2)) return false;
    }
    return true;
}
static_assert(rows_valid(), "every row has a name of at most 49 characters and 20-byte hex patterns");

typedef std::array<unsigned char, (signature_count + 1) * record_size> packed_table;

constexpr void put_le32(packed_table &t, size_t at, int32_t v) {
    uint32_t u = (uint32_t)v;
    for (int i = 0; i < 4; ++i) t[at + i] = (unsigned char)(u >> (8 * i));
}

constexpr void put_pattern(packed_table &t, size_t at, const char *hex) {
    if (text_length(hex) != 2 * pattern_size) return;
    for (size_t i = 0; i < pattern_size; ++i)
        t[at + i] = (unsigned char)(hex_digit(hex[2 * i]) * 16 + hex_digit(hex[2 * i + 1]));
}

constexpr packed_table pack() {
    packed_table t{};
    for (size_t r = 0; r < signature_count; ++r) {
        const signature_row &row = rows[r];
        size_t base = r * record_size;
        for (size_t i = 0; row.name[i]; ++i) t[base + record_name + i] = (unsigned char)row.name[i];
        put_le32(t, base + record_offset1, row.offset1);
        put_pattern(t, base + record_pattern1, row.pattern1);
        put_le32(t, base + record_offset2, row.offset2);
        put_pattern(t, base + record_pattern2, row.pattern2);
        put_le32(t, base + record_file_size, row.file_size);
        put_le32(t, base + record_size_rule, row_has_data(row) ? row.size_rule : 0);
    }
    return t;  // the end record stays all zero
}

constexpr packed_table packed = pack();

}  // namespace

const unsigned char *const signature_table = packed.data();

int signature_rows_with_data() {
    int n = 0;
    for (const signature_row &r : rows)
        if (row_has_data(r)) ++n;
    return n;
}
