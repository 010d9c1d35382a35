// libFuzzer target: every conversion, fed random bytes cut into random pieces, must give
// exactly what it gives for the same bytes whole (JIS output: up to the escapes that a cut
// adds and that change nothing), and the code page must take any bytes and any text.
//
// Every input also goes through one of the UTF-8 stream conversions (byte 0 picks it too),
// cut and whole alike, and what it writes as UTF-8 must be well-formed.
//
// Input layout: byte 0 picks the conversion, byte 1 seeds the cut points, the rest is the
// text (read as UTF-16 pairs by the wide-text conversions).
#include <tarsel/code_page.h>

#include <cstdint>
#include <cstdlib>

#include "code_converters/codawa_samples.h"
#include "code_converters/utf8_stream_converter.h"

#include "cut_points.h"

namespace {

using namespace tarselctl;
using namespace tarselctl::testing;

std::vector<std::size_t> Cuts(std::size_t size, std::uint8_t seed) { return fuzzing::CutPoints(size, seed, 9); }

void Check(bool ok) {
    if (!ok) std::abort();
}

void CheckWideText(std::string (Codawa::*method)(String&), const String& text, const std::vector<std::size_t>& cuts) {
    auto whole = CreateCodawa();
    String whole_left = text;
    const std::string whole_out = ((*whole).*method)(whole_left);
    auto pieces = CreateCodawa();
    String left;
    std::string out;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        left.append(text, from, cut - from);
        out += ((*pieces).*method)(left);
        from = cut;
    }
    left.append(text, from, String::npos);
    out += ((*pieces).*method)(left);
    Check(out == whole_out && left == whole_left);
}

struct Utf8Result {
    std::string out, rest;
    std::uint64_t substitutions;
};

Utf8Result FeedUtf8(TextCode from, TextCode to, const std::string& input, const std::vector<std::size_t>& cuts) {
    Utf8StreamConverter converter(from, to);
    Utf8Result r;
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        r.out += converter.Convert(std::string_view(input).substr(at, cut - at));
        at = cut;
    }
    r.out += converter.Convert(std::string_view(input).substr(at));
    r.substitutions = converter.Substitutions();
    r.rest = converter.Finish();
    return r;
}

void CheckUtf8Stream(std::uint8_t selector, const std::string& input, const std::vector<std::size_t>& cuts) {
    constexpr TextCode kPairs[7][2] = {{TextCode::Sjis, TextCode::Utf8}, {TextCode::Euc, TextCode::Utf8},
                                       {TextCode::Jis, TextCode::Utf8},  {TextCode::Utf8, TextCode::Sjis},
                                       {TextCode::Utf8, TextCode::Euc},  {TextCode::Utf8, TextCode::Jis},
                                       {TextCode::Utf8, TextCode::Utf8}};
    const TextCode from = kPairs[selector % 7][0], to = kPairs[selector % 7][1];
    const Utf8Result whole = FeedUtf8(from, to, input, {});
    const Utf8Result cut = FeedUtf8(from, to, input, cuts);
    Check(cut.rest == whole.rest && cut.substitutions == whole.substitutions);
    if (to != TextCode::Jis) {
        Check(cut.out == whole.out);
    } else if (input.find('\x1b') == std::string::npos) {
        Check(WithoutRedundantEscapes(cut.out) == WithoutRedundantEscapes(whole.out));
    }
    if (to == TextCode::Utf8) {
        const Utf8Result again = FeedUtf8(TextCode::Utf8, TextCode::Utf8, whole.out, {});
        Check(again.out == whole.out && again.rest.empty() && again.substitutions == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t selector = data[0];
    const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::vector<std::size_t> cuts = Cuts(input.size(), data[1]);
    const ByteMethod methods[] = {&Codawa::SjisToEuc, &Codawa::EucToSjis, &Codawa::JisToSjis,
                                  &Codawa::SjisToSjis, &Codawa::ToSjis};
    switch (selector % 8) {
        case 0: case 1: case 2: case 3: case 4: {
            const char16_t* code = selector & 0x80 ? u"EUC" : u"SJIS";
            Check(Feed(methods[selector % 8], input, cuts, code) == Feed(methods[selector % 8], input, {}, code));
            break;
        }
        case 5: {
            const Result whole = Feed(&Codawa::SjisToJis, input, {});
            const Result cut = Feed(&Codawa::SjisToJis, input, cuts);
            Check(cut.left == whole.left);
            if (input.find('\x1b') == std::string::npos) Check(WithoutRedundantEscapes(cut.out) == whole.out);
            break;
        }
        case 6: {
            String text;
            for (std::size_t i = 0; i + 1 < input.size(); i += 2) {
                text += static_cast<char16_t>(static_cast<std::uint8_t>(input[i]) |
                                              static_cast<std::uint8_t>(input[i + 1]) << 8);
            }
            std::vector<std::size_t> text_cuts;
            for (std::size_t cut : cuts) {
                if (cut / 2 < text.size() && (text_cuts.empty() || text_cuts.back() < cut / 2)) text_cuts.push_back(cut / 2);
            }
            CheckWideText(selector & 0x80 ? &Codawa::TextToEuc : &Codawa::TextToSjis, text, text_cuts);
            // Every character the code page writes, it reads back (unmappable ones as '?').
            const std::string sjis = EncodeShiftJis(text);
            Check(DecodeShiftJis(sjis).size() <= text.size());
            break;
        }
        case 7: {
            const String decoded = DecodeShiftJis(input);
            Check(decoded.size() <= input.size());
            Check(DecodeShiftJis(EncodeShiftJis(decoded)) == DecodeShiftJis(EncodeShiftJis(DecodeShiftJis(EncodeShiftJis(decoded)))));
            break;
        }
    }
    CheckUtf8Stream(selector, input, cuts);
    return 0;
}
