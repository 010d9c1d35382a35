// The code conversion component: the Codawa interface over the byte conversions.
#include <tarsel/codawa.h>
#include <tarsel/code_page.h>

#include "code_converters/byte_classes.h"
#include "code_converters/byte_conversions.h"

namespace tarselctl {

namespace {

class CodawaComponent final : public Codawa {
public:
    void put_CodeName(const String& name) override {
        if (name == u"SJIS") {
            source_is_euc_ = false;
        } else if (name == u"EUC") {
            source_is_euc_ = true;
        } else {
            throw AutomationError(380, u"Codawa", u"Invalid Code Name");
        }
    }

    Integer get_Version() const override { return 210; }

    // The JIS decoder's shift state is the only state kept between calls; the code name is
    // a setting, not state.
    void Reset() noexcept override {
        jis_.Reset();
        substitutions_ = 0;
    }

    std::uint64_t Substitutions() const noexcept override { return substitutions_; }

    std::string SjisToJis(std::string& text) override {
        // ASCII text is its own JIS form: hand the buffer back rather than copy it.
        const std::size_t ascii = jcode::AsciiLength(text);
        if (IsAllButCutLead(text, ascii)) return TakeFront(text, ascii, ascii);
        return ConvertRest(text, ascii, jcode::SjisToJis, 4);
    }

    std::string ToSjis(std::string& text) override {
        return source_is_euc_ ? EucToSjis(text) : SjisToSjis(text);
    }

    std::string SjisToEuc(std::string& text) override {
        // Text without half-width katakana or 0x8F-plane characters keeps its length and is
        // converted inside the caller's buffer.
        const std::size_t same = jcode::SjisToEucSameLength(text.data(), text.size());
        if (IsAllButCutLead(text, same)) return TakeFront(text, same, same);
        return ConvertRest(text, same, jcode::SjisToEuc, 2);
    }

    std::string EucToSjis(std::string& text) override {
        return InPlace(text, [this](const char* in, std::size_t size, char* out, std::size_t& written) {
            return jcode::EucToSjis(in, size, out, written, substitutions_);
        });
    }

    std::string JisToSjis(std::string& text) override {
        return InPlace(text, [this](const char* in, std::size_t size, char* out, std::size_t& written) {
            return jis_.Decode(in, size, out, written, substitutions_);
        });
    }

    std::string TextToSjis(String& text) override { return EncodeText(text); }

    std::string TextToEuc(String& text) override {
        std::string sjis = EncodeText(text);
        std::string out;
        jcode::SjisToEuc(sjis, out);  // the encoder writes whole characters only
        return out;
    }

    std::string SjisToSjis(std::string& text) override {
        const std::size_t complete = jcode::SjisCompleteLength(text);
        return TakeFront(text, complete, complete);
    }

private:
    // Converts inside the caller's buffer, which then becomes the result, so that nothing
    // is allocated or copied but the tail (the conversion never writes more than it reads).
    template <typename Convert>
    static std::string InPlace(std::string& text, Convert convert) {
        std::size_t written = 0;
        const std::size_t used = convert(text.data(), text.size(), text.data(), written);
        return TakeFront(text, written, used);
    }

    // The first `length` bytes of `text` as the result, and `text` left holding the bytes
    // from `rest` on.
    static std::string TakeFront(std::string& text, std::size_t length, std::size_t rest) {
        if (rest == text.size()) {
            std::string out = std::move(text);
            out.resize(length);
            text.clear();
            return out;
        }
        std::string tail = text.substr(rest);
        std::string out = std::move(text);
        out.resize(length);
        text = std::move(tail);
        return out;
    }

    // Whether everything after the first `done` bytes is at most a lead byte cut at the end
    // (both prefix scans stop at such a byte; a whole character is never the last byte).
    static bool IsAllButCutLead(const std::string& text, std::size_t done) {
        return done == text.size() ||
               (done + 1 == text.size() && jcode::IsSjisLead(static_cast<std::uint8_t>(text.back())));
    }

    // The first `done` bytes are already in their converted form; `convert` does the rest,
    // writing at most `growth` bytes (and a little slack) per byte it reads. The room for
    // that is reserved before the front is copied, so the front is copied only once.
    static std::string ConvertRest(std::string& text, std::size_t done,
                                   std::size_t (*convert)(std::string_view, std::string&),
                                   std::size_t growth) {
        std::string out;
        out.reserve(done + growth * (text.size() - done + 64));
        out.append(text, 0, done);
        done += convert(std::string_view(text).substr(done), out);
        text.erase(0, done);
        return out;
    }

    // A high surrogate at the very end may be the first half of a pair whose second half
    // comes with the next call, so it stays in the text; everything else is encoded.
    static std::string EncodeText(String& text) {
        std::size_t complete = text.size();
        if (complete > 0 && text[complete - 1] >= 0xD800 && text[complete - 1] <= 0xDBFF) --complete;
        std::string out = EncodeShiftJis(std::u16string_view(text).substr(0, complete));
        text.erase(0, complete);
        return out;
    }

    bool source_is_euc_ = false;
    jcode::JisDecoder jis_;
    std::uint64_t substitutions_ = 0;
};

}  // namespace

std::unique_ptr<Codawa> CreateCodawa() { return std::make_unique<CodawaComponent>(); }

}  // namespace tarselctl
