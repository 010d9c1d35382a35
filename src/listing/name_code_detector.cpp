// The three readings of a listing line, run side by side one byte at a time, and the vote
// each line casts once it ends.
#include <tarsel/name_code.h>

namespace tarselctl {

namespace {

using Line = NameCodeEvidence::Line;

void ReadUtf8(Line& l, unsigned char b) {
    if (l.utf8Bad) return;
    if (l.utf8Need > 0) {
        if (b < l.utf8Low || b > l.utf8High) {
            l.utf8Bad = true;
            return;
        }
        --l.utf8Need;
        l.utf8Low = 0x80;
        l.utf8High = 0xBF;
        return;
    }
    if (b < 0x80) return;
    // The first continuation byte's range rules out overlong forms, surrogates and code
    // points beyond U+10FFFF; later ones are 80-BF.
    if (b >= 0xC2 && b <= 0xDF) {
        l.utf8Need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        l.utf8Need = 2;
        if (b == 0xE0) l.utf8Low = 0xA0;
        if (b == 0xED) l.utf8High = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        l.utf8Need = 3;
        if (b == 0xF0) l.utf8Low = 0x90;
        if (b == 0xF4) l.utf8High = 0x8F;
    } else {
        l.utf8Bad = true;
    }
}

void ReadShiftJis(Line& l, unsigned char b) {
    if (l.sjisBad) return;
    if (l.sjisLead != 0) {
        l.sjisLead = 0;
        if (b < 0x40 || b == 0x7F || b > 0xFC) l.sjisBad = true;
        return;
    }
    if (b < 0x80) return;
    if (b >= 0xA1 && b <= 0xDF) {
        l.sjisKana = true;
    } else if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
        l.sjisLead = b;
    } else {
        l.sjisBad = true;
    }
}

void ReadEucJp(Line& l, unsigned char b) {
    if (l.eucBad) return;
    if (l.eucNeed > 0) {
        if (b < l.eucLow || b > l.eucHigh) {
            l.eucBad = true;
            return;
        }
        --l.eucNeed;
        l.eucLow = 0xA1;
        l.eucHigh = 0xFE;
        return;
    }
    if (b < 0x80) return;
    if (b == 0x8E) {  // SS2: one half-width katakana
        l.eucNeed = 1;
        l.eucHigh = 0xDF;
    } else if (b == 0x8F) {  // SS3: a JIS X 0212 character, two bytes more
        l.eucNeed = 2;
    } else if (b >= 0xA1 && b <= 0xFE) {
        l.eucNeed = 1;
    } else {
        l.eucBad = true;
    }
}

void EndLine(NameCodeEvidence& e) {
    Line& l = e.line;
    if (l.nonAscii) {
        // A character the line's end cut is an error in that reading.
        const bool utf8 = !l.utf8Bad && l.utf8Need == 0;
        const bool sjis = !l.sjisBad && l.sjisLead == 0;
        const bool euc = !l.eucBad && l.eucNeed == 0;
        if (utf8) ++e.utf8Lines;
        else if (euc && (!sjis || l.sjisKana)) ++e.eucJpLines;
        else if (sjis && !euc) ++e.shiftJisLines;
        else ++e.undecidedLines;
    }
    l = Line{};
}

}  // namespace

NameCodeEvidence ObserveListingBytes(NameCodeEvidence evidence, std::string_view bytes) {
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\n') {
            EndLine(evidence);
            continue;
        }
        Line& l = evidence.line;
        if (b >= 0x80) l.nonAscii = true;
        ReadUtf8(l, b);
        ReadShiftJis(l, b);
        ReadEucJp(l, b);
    }
    return evidence;
}

NameCodeEvidence EndOfListing(NameCodeEvidence evidence) {
    EndLine(evidence);
    return evidence;
}

NameCode JudgeNameCode(const NameCodeEvidence& e, NameCode current, bool featUtf8) {
    if (featUtf8) return NameCode::Utf8;
    const auto votes = [&](NameCode code) -> std::uint64_t {
        switch (code) {
        case NameCode::Utf8: return e.utf8Lines;
        case NameCode::ShiftJis: return e.shiftJisLines;
        case NameCode::EucJp: return e.eucJpLines;
        case NameCode::Unknown: break;
        }
        return 0;
    };
    NameCode best = current;
    std::uint64_t most = votes(current);
    // In this order, so that of two codes with as many lines the one first here wins
    // only where neither is the current one (which a tie keeps).
    for (const NameCode code : {NameCode::Utf8, NameCode::EucJp, NameCode::ShiftJis}) {
        if (votes(code) > most) {
            best = code;
            most = votes(code);
        }
    }
    return best;
}

const char16_t* NameCodeSysCode(NameCode code) {
    switch (code) {
    case NameCode::Utf8: return u"UTF8";
    case NameCode::ShiftJis: return u"SJIS";
    case NameCode::EucJp: return u"EUC";
    case NameCode::Unknown: break;
    }
    return u"";
}

}  // namespace tarselctl
