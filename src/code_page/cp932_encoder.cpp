// Builds the Unicode -> CP932 table from the decoding table, choosing among duplicate codes.
#include "code_page/cp932_encoder.h"

#include <memory>

#include "code_page/cp932_table.h"

namespace tarselctl::cp932 {

namespace {

std::unique_ptr<EncoderTable> BuildEncoderTable() {
    auto table = std::make_unique<EncoderTable>();
    table->fill(0);
    for (unsigned c = 1; c < 0x80; ++c) (*table)[c] = static_cast<std::uint16_t>(c);
    for (unsigned b = 0xA1; b <= 0xDF; ++b) (*table)[0xFF61 + (b - 0xA1)] = static_cast<std::uint16_t>(b);
    // Several characters have more than one code (NEC row 13, NEC-selected and IBM
    // extensions duplicate each other and row 2). Windows and the C library both encode
    // the lowest code, except that the NEC-selected rows 0xED/0xEE lose to the IBM rows.
    for (int nec_selected_pass = 0; nec_selected_pass < 2; ++nec_selected_pass) {
        for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
            int li = LeadIndex(static_cast<std::uint8_t>(lead));
            if (li < 0) continue;
            bool nec_selected = lead == 0xED || lead == 0xEE;
            if (nec_selected != (nec_selected_pass == 1)) continue;
            for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
                int ti = TrailIndex(static_cast<std::uint8_t>(trail));
                if (ti < 0) continue;
                char16_t u = kDoubleByte[li][ti];
                if (u != 0 && (*table)[u] == 0) (*table)[u] = static_cast<std::uint16_t>(lead << 8 | trail);
            }
        }
    }
    for (const auto& a : kEncoderAdditions) (*table)[a.unicode] = a.code;
    return table;
}

}  // namespace

const EncoderTable& Encoder() {
    static const std::unique_ptr<EncoderTable> table = BuildEncoderTable();
    return *table;
}

}  // namespace tarselctl::cp932
