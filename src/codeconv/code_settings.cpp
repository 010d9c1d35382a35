// The transfer type and character-code settings, and which converter each kind of data
// passes in which direction.
#include <tarsel/code_page.h>
#include "control/control_core.h"

#include "code_converters/utf8_stream_converter.h"

namespace tarselctl {

namespace {
// Settings are matched on their first character only, upper-cased.
char16_t FirstUpper(const String& value) {
    if (value.empty()) return u'\0';
    char16_t c = value[0];
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}
}  // namespace

void ControlCore::put_Filetype(const String& value) {
    switch (FirstUpper(value)) {
    case u'A': m_Filetype = u"A"; break;
    case u'B':
    case u'I': m_Filetype = u"I"; break;
    case u'\0':
        if (value.empty()) {
            m_Filetype.clear();
            break;
        }
        [[fallthrough]];
    default: throw AutomationError(54, u"FileType", u"Invalid File Type");
    }
}

const String& SettingText(FileCode value) {
    static const String kText[] = {u"BIN", u"JIS", u"SJIS", u"EUC", u"UTF8", u""};
    return kText[static_cast<int>(value)];
}
const String& SettingText(SysCode value) {
    static const String kText[] = {u"SJIS", u"EUC", u"UTF8", u""};
    return kText[static_cast<int>(value)];
}
const String& SettingText(HostCode value) {
    static const String kText[] = {u"SJIS", u"UTF8", u""};
    return kText[static_cast<int>(value)];
}
const String& SettingText(TlsMode value) {
    static const String kText[] = {u"", u"explicit", u"implicit", u""};
    return kText[static_cast<int>(value)];
}
const String& SettingText(DirCommand value) {
    static const String kText[] = {u"LIST", u"MLSD", u""};
    return kText[static_cast<int>(value)];
}

void ControlCore::put_FileCode(const String& value) {
    switch (FirstUpper(value)) {
    case u'B':
    case u'N':
    case u'I': m_FileCode.Set(FileCode::Bin); break;
    case u'J': m_FileCode.Set(FileCode::Jis); break;
    case u'S':
    case u'A': m_FileCode.Set(FileCode::Sjis); break;
    case u'E': m_FileCode.Set(FileCode::Euc); break;
    case u'U': m_FileCode.Set(FileCode::Utf8); break;
    default: throw AutomationError(54, u"FileCode", u"Invalid File Kanji Code");
    }
    ApplyFileCode();
}

void ControlCore::put_SysCode(const String& value) {
    switch (FirstUpper(value)) {
    case u'S': m_SysCode.Set(SysCode::Sjis); break;
    case u'E': m_SysCode.Set(SysCode::Euc); break;
    case u'U': m_SysCode.Set(SysCode::Utf8); break;
    default: throw AutomationError(54, u"SysCode", u"Invalid System Kanji Code");
    }
    ApplySysCode();
}

// The command channel's converter follows the system code; UTF-8 text needs none.
void ControlCore::ApplySysCode() {
    if (m_SysCode == SysCode::Sjis) Codawa1->put_CodeName(u"SJIS");
    else if (m_SysCode == SysCode::Euc) Codawa1->put_CodeName(u"EUC");
}

// The file converter works from Shift_JIS on the host's side; only EUC files need it told
// otherwise. Binary and UTF-8 files leave it as it is.
void ControlCore::ApplyFileCode() {
    switch (m_FileCode.Get()) {
    case FileCode::Jis:
    case FileCode::Sjis: Codawa2->put_CodeName(u"SJIS"); break;
    case FileCode::Euc: Codawa2->put_CodeName(u"EUC"); break;
    default: break;
    }
}

void ControlCore::put_HostCode(const String& value) {
    switch (FirstUpper(value)) {
    case u'S': m_HostCode.Set(HostCode::Sjis); break;
    case u'U': m_HostCode.Set(HostCode::Utf8); break;
    default: throw AutomationError(54, u"HostCode", u"Invalid Host Kanji Code");
    }
}

void ControlCore::put_TlsMode(const String& value) {
    String lower = value;
    for (char16_t& c : lower)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (lower.empty()) m_TlsMode.Set(TlsMode::None);
    else if (lower == u"explicit") m_TlsMode.Set(TlsMode::Explicit);
    else if (lower == u"implicit") m_TlsMode.Set(TlsMode::Implicit);
    else throw AutomationError(54, u"TlsMode", u"Invalid TLS Mode (\"\", \"explicit\" or \"implicit\")");
}

namespace {
// The file code as a text code of the UTF-8 converters; false for BIN and unknown codes.
bool FileTextCode(FileCode fileCode, TextCode& code) {
    switch (fileCode) {
    case FileCode::Sjis: code = TextCode::Sjis; return true;
    case FileCode::Euc: code = TextCode::Euc; return true;
    case FileCode::Jis: code = TextCode::Jis; return true;
    case FileCode::Utf8: code = TextCode::Utf8; return true;
    default: return false;
    }
}
}  // namespace

void ControlCore::PrepareTextConverters() {
    m_Carry.downloadText.reset();
    m_Carry.uploadText.reset();
    TextCode server;
    if (!FileTextCode(m_FileCode.Get(), server)) return;
    const bool hostUtf8 = m_HostCode == HostCode::Utf8;
    // Between Shift_JIS on the host and SJIS, EUC or JIS on the server the component's own
    // converters serve, as they always have.
    if (!hostUtf8 && server != TextCode::Utf8) return;
    const TextCode host = hostUtf8 ? TextCode::Utf8 : TextCode::Sjis;
    m_Carry.downloadText = std::make_unique<Utf8StreamConverter>(server, host);
    m_Carry.uploadText = std::make_unique<Utf8StreamConverter>(host, server);
}

std::string ControlCore::EncodeCommandText(String& text) {
    if (m_SysCode == SysCode::Utf8) {
        std::string bytes = EncodeUtf8(text);
        text.clear();
        return bytes;
    }
    return m_SysCode == SysCode::Euc ? Codawa1->TextToEuc(text) : Codawa1->TextToSjis(text);
}

String ControlCore::DecodeReplyBytes() {
    if (m_SysCode == SysCode::Utf8) return DecodeUtf8(m_RecvRaw);
    return DecodeShiftJis(Codawa1->ToSjis(m_RecvRaw));
}

void ControlCore::ApplyCodesToConverters() {
    // A stored text that a load kept because no writer understood it is refused (error 54,
    // the property as its source): taken as it stands it would mean one thing to downloads
    // and another to uploads. The writer that refuses it names the property.
    put_Filetype(m_Filetype);
    if (m_SysCode == SysCode::Unknown) put_SysCode(m_SysCode.Text());
    ApplySysCode();
    if (m_FileCode == FileCode::Unknown) put_FileCode(m_FileCode.Text());
    ApplyFileCode();
    if (m_HostCode == HostCode::Unknown) put_HostCode(m_HostCode.Text());
}

std::string ControlCore::ConvertDownload() {
    if (m_Carry.downloadText) {
        std::string out = m_Carry.downloadText->Convert(m_Carry.getRemainder);
        m_Carry.getRemainder.clear();
        return out;
    }
    switch (m_FileCode.Get()) {
    case FileCode::Euc: return Codawa2->EucToSjis(m_Carry.getRemainder);
    case FileCode::Jis: return Codawa2->JisToSjis(m_Carry.getRemainder);
    case FileCode::Sjis: return Codawa2->SjisToSjis(m_Carry.getRemainder);
    default: break;
    }
    return Codawa2->ToSjis(m_Carry.getRemainder);
}

namespace {
// Shift_JIS text waiting for more of its line in front of a JIS upload is bounded: past
// this it is converted as it stands, and the block ends in one-byte mode as before.
constexpr std::size_t kMaxHeldJisText = 64 * 1024;

// Where Shift_JIS text may be cut so that its JIS form ends in one-byte mode by itself: after
// its last one-byte character. Read from the end, a byte below 0x80 is one unless it is the
// trail of a lead byte: it is when an odd run of bytes of the lead range (every one of which
// is also a trail) stands before it, and it can be one (0x40 and above). 0 when the text has
// no such character.
std::size_t OneByteModeCut(const std::string& sjis) {
    auto isLeadRange = [](unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); };
    for (std::size_t i = sjis.size(); i > 0; --i) {
        const auto b = static_cast<unsigned char>(sjis[i - 1]);
        if (b >= 0x80) continue;
        std::size_t leads = 0;
        while (leads < i - 1 && isLeadRange(static_cast<unsigned char>(sjis[i - 2 - leads]))) ++leads;
        if (leads % 2 == 0 || b < 0x40 || b == 0x7F) return i;
    }
    return 0;
}
}  // namespace

std::string ControlCore::ConvertUpload(const ByteArray& block) {
    // Bytes kept from the block before (a character cut at its end) go in front.
    if (m_Carry.uploadText)
        return m_Carry.uploadText->Convert(
            std::string_view(reinterpret_cast<const char*>(block.data()), block.size()));
    m_Carry.putRemainder.append(reinterpret_cast<const char*>(block.data()), block.size());
    if (m_FileCode == FileCode::Jis) {
        // The converter ends each call in one-byte mode, so a block that ends in two-byte
        // text would cost the server's file an ESC ( J and a fresh ESC $ B at every block
        // boundary. Only the text up to the block's last one-byte character goes now; the
        // rest waits in front of the next block, and the file reads as if sent in one piece.
        const std::size_t cut = OneByteModeCut(m_Carry.putRemainder);
        if (m_Carry.putRemainder.size() - cut > kMaxHeldJisText) return Codawa2->SjisToJis(m_Carry.putRemainder);
        std::string held = m_Carry.putRemainder.substr(cut);
        m_Carry.putRemainder.resize(cut);
        std::string out = Codawa2->SjisToJis(m_Carry.putRemainder);
        m_Carry.putRemainder += held;
        return out;
    }
    if (m_FileCode == FileCode::Euc) return Codawa2->SjisToEuc(m_Carry.putRemainder);
    if (m_FileCode == FileCode::Sjis) return Codawa2->ToSjis(m_Carry.putRemainder);
    // Binary, or a stored code that is none of the four forms: the bytes go unchanged.
    std::string out = std::move(m_Carry.putRemainder);
    m_Carry.putRemainder.clear();
    return out;
}

std::string ControlCore::FinishUpload() {
    if (m_Carry.uploadText) return m_Carry.uploadText->Finish();
    std::string out;
    // Text held back for a JIS upload goes out converted; what the converter still keeps then
    // is a lead byte without its trail, which forms no character and goes as it is, as the
    // converters pass such bytes in mid-stream.
    if (m_FileCode == FileCode::Jis && !m_Carry.putRemainder.empty()) out = Codawa2->SjisToJis(m_Carry.putRemainder);
    out += m_Carry.putRemainder;
    m_Carry.putRemainder.clear();
    return out;
}

String ControlCore::ConvertListingLine(const std::string& line) {
    if (m_SysCode == SysCode::Utf8) {
        std::string bytes = line;
        String text = DecodeUtf8(bytes);
        // The line is complete: a character cut at its end forms none.
        text.append(bytes.size(), u'\uFFFD');
        return text;
    }
    std::string bytes = line;
    std::string sjis;
    try {
        sjis = Codawa1->ToSjis(bytes);
    } catch (...) {
        // A converter that fails must not cost the host the line: it arrives unconverted.
        sjis.clear();
        bytes = line;
    }
    // A line is complete: bytes left over form no character and are kept as they are.
    sjis += bytes;
    return DecodeShiftJis(sjis);
}

}  // namespace tarselctl
