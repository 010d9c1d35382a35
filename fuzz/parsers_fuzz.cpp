// libFuzzer target: the pure parsers that read what a server writes, on any bytes.
//  - Reply lines: the text cut into pieces at points the input chooses must give the same
//    lines, in the same order, and the same unfinished rest, as the text taken whole; the
//    multi-line state must end the same way.
//  - Listing lines, cut as the data connection cuts them: the same in pieces as whole, no
//    CR LF inside a line or left over.
//  - Listing entries: the UTF-8 and the UTF-16 reading of the same ASCII line must agree on
//    every field; an entry always has a name, never "." or "..", and a mode fits in 07777.
//  - PASV and EPSV replies: an address is four fields of 0-255 and a port 0-65535, or
//    nothing at all; EPSV gives 1-65535 or nothing.
//  - The announced size of a preliminary reply fits in 63 bits.
//
// Input layout: byte 0 seeds the cut points, the rest is the text.
#include <tarsel/listing.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "command/line_cutter.h"
#include "command/reply_lines.h"
#include "transfer/announced_size.h"
#include "transfer/data_address_text.h"

#include "cut_points.h"

namespace {

using namespace tarselctl;

void Check(bool ok) {
    if (!ok) std::abort();
}

String Widen(std::string_view bytes) {
    String text;
    for (unsigned char c : bytes) text.push_back(c);
    return text;
}

bool IsAscii(std::string_view bytes) {
    for (unsigned char c : bytes)
        if (c > 0x7f) return false;
    return true;
}

std::vector<std::size_t> Cuts(std::size_t size, std::uint8_t seed) { return fuzzing::CutPoints(size, seed, 13); }

struct Taken {
    std::vector<std::string> lines;
    std::vector<ReplyLineKind> kinds;
    std::string rest;
    std::string openCode;
};

Taken TakeInPieces(std::string_view text, const std::vector<std::size_t>& cuts) {
    Taken out;
    std::string buffer;
    std::size_t scanned = 0;
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        buffer.append(text.substr(from, to - from));
        from = to;
        for (auto& line : TakeReplyLines(buffer, scanned)) {
            out.kinds.push_back(ClassifyReplyLine(std::string_view(line), out.openCode));
            out.lines.push_back(std::move(line));
        }
    };
    for (std::size_t cut : cuts) feed(cut);
    feed(text.size());
    out.rest = buffer;
    return out;
}

void CheckReplyLines(std::string_view text, std::uint8_t seed) {
    const Taken whole = TakeInPieces(text, {});
    const Taken cut = TakeInPieces(text, Cuts(text.size(), seed));
    Check(whole.lines == cut.lines && whole.kinds == cut.kinds && whole.rest == cut.rest &&
          whole.openCode == cut.openCode);
    for (const auto& line : whole.lines) Check(line.find('\n') == std::string::npos);

    // Listing lines, cut by the data connection's own cutter: they end at CR LF only, and
    // the same holds for them.
    std::string all(text), pieces;
    std::size_t allScanned = 0, piecesScanned = 0;
    std::vector<std::string> wholeLines = TakeListingLines(all, allScanned), cutLines;
    std::size_t from = 0;
    auto cuts = Cuts(text.size(), static_cast<std::uint8_t>(seed + 1));
    cuts.push_back(text.size());
    for (std::size_t to : cuts) {
        pieces.append(text.substr(from, to - from));
        from = to;
        for (auto& line : TakeListingLines(pieces, piecesScanned)) cutLines.push_back(std::move(line));
    }
    Check(wholeLines == cutLines && all == pieces);
    for (const auto& line : wholeLines) Check(line.find("\r\n") == std::string::npos);
    Check(all.find("\r\n") == std::string::npos);
}

template <class Entry>
void CheckEntry(const Entry& entry) {
    using Name = decltype(entry.name);
    Check(!entry.name.empty() && entry.name != Name(1, '.') && entry.name != Name(2, '.'));
    if (entry.mode) Check(*entry.mode <= 07777);
}

void CheckListingLine(std::string_view line) {
    ListingParseOptions options;
    options.now = 1'765'000'000;  // December 2025: "Mon DD HH:MM" lines get a year
    const auto narrow = ParseListingLine(line, options);
    if (narrow) CheckEntry(*narrow);
    const auto wide = ParseListingLine(std::u16string_view(Widen(line)), options);
    if (wide) CheckEntry(*wide);
    if (!IsAscii(line)) return;
    Check(narrow.has_value() == wide.has_value());
    if (!narrow) return;
    Check(Widen(narrow->name) == wide->name && narrow->type == wide->type && narrow->size == wide->size &&
          narrow->modified == wide->modified && narrow->modifiedPrecision == wide->modifiedPrecision &&
          narrow->mode == wide->mode);
}

bool DecimalInRange(const String& text, long low, long high) {
    if (text.empty() || text.size() > 5) return false;
    long value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return false;
        value = value * 10 + (c - u'0');
    }
    return value >= low && value <= high;
}

void CheckAddressReplies(std::string_view line) {
    const String reply = Widen(line);
    String host, port;
    ParsePasvReply(reply, host, port);
    Check(host.empty() == port.empty());
    if (!host.empty()) {
        // Four decimal fields of 0-255, dot-separated.
        std::size_t fields = 0, start = 0;
        for (;;) {
            const std::size_t dot = host.find(u'.', start);
            Check(DecimalInRange(host.substr(start, dot - start), 0, 255));
            ++fields;
            if (dot == String::npos) break;
            start = dot + 1;
        }
        Check(fields == 4);
        String digits = port;
        while (!digits.empty() && digits.front() == u' ') digits.erase(0, 1);
        Check(DecimalInRange(digits, 0, 65535));
    }
    const String epsv = ParseEpsvReply(reply);
    if (!epsv.empty()) Check(DecimalInRange(epsv, 1, 65535));
    if (const auto size = AnnouncedSize(reply)) Check(*size < (std::uint64_t{1} << 63));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t seed = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    CheckReplyLines(text, seed);
    // Every line of the input, as a listing line and as a reply.
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t lf = text.find('\n', start);
        const std::string_view line = text.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
        CheckListingLine(line);
        CheckAddressReplies(line);
        if (lf == std::string_view::npos) break;
        start = lf + 1;
    }
    return 0;
}
