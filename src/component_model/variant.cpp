// Automation values and the conversions between their types.
#include <tarsel/automation.h>

#include <charconv>
#include <limits>
#include <stdexcept>

namespace tarselctl {

namespace {

constexpr std::size_t kInt16 = 1, kLong = 2, kString = 3, kBytes = 4;
constexpr std::size_t kInt16Ref = 5, kLongRef = 6, kStringRef = 7, kBytesRef = 8;

Boolean Normalized(Boolean value) { return value != 0 ? True : False; }

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

bool EqualsIgnoringCase(std::u16string_view text, std::u16string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t a = text[i], b = word[i];
        if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - u'a' + u'A');
        if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - u'a' + u'A');
        if (a != b) return false;
    }
    return true;
}

// Decimal text with blanks around it and an optional sign. Text that is a number too large
// for 64 bits still counts as a number, so that it reports an overflow, not a mismatch.
enum class Parsed { Number, NotANumber, TooLarge };

Parsed ParseDecimal(std::u16string_view text, std::int64_t& value) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    std::string ascii;
    for (std::size_t i = begin; i < end; ++i) {
        const char16_t c = text[i];
        if (c > 0x7F) return Parsed::NotANumber;
        ascii.push_back(static_cast<char>(c));
    }
    if (ascii.empty()) return Parsed::NotANumber;
    const char* first = ascii.data();
    const char* last = ascii.data() + ascii.size();
    if (*first == '+') {
        ++first;
        if (first == last || *first == '-') return Parsed::NotANumber;
    }
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ptr != last) return Parsed::NotANumber;
    if (ec == std::errc::result_out_of_range) return Parsed::TooLarge;
    if (ec != std::errc()) return Parsed::NotANumber;
    return Parsed::Number;
}

String DecimalText(std::int64_t value) {
    const std::string text = std::to_string(value);
    return String(text.begin(), text.end());
}

}  // namespace

Variant Variant::FromBoolean(tarselctl::Boolean value) {
    Variant v;
    v.type_ = VarType::Boolean;
    v.value_.emplace<kInt16>(Normalized(value));
    return v;
}

Variant Variant::FromInteger(tarselctl::Integer value) {
    Variant v;
    v.type_ = VarType::Integer;
    v.value_.emplace<kInt16>(value);
    return v;
}

Variant Variant::FromLong(tarselctl::Long value) {
    Variant v;
    v.type_ = VarType::Long;
    v.value_.emplace<kLong>(value);
    return v;
}

Variant Variant::FromString(tarselctl::String value) {
    Variant v;
    v.type_ = VarType::String;
    v.value_.emplace<kString>(std::move(value));
    return v;
}

Variant Variant::FromBytes(SafeByteArray value) {
    Variant v;
    v.type_ = VarType::ByteArray;
    v.value_.emplace<kBytes>(std::move(value));
    return v;
}

namespace {
void RequireTarget(const void* target) {
    if (!target) throw std::invalid_argument("a by-reference variant needs a target");
}
}  // namespace

Variant Variant::RefBoolean(tarselctl::Boolean* target) {
    RequireTarget(target);
    Variant v;
    v.type_ = VarType::Boolean;
    v.byRef_ = true;
    v.value_.emplace<kInt16Ref>(target);
    return v;
}

Variant Variant::RefInteger(tarselctl::Integer* target) {
    RequireTarget(target);
    Variant v;
    v.type_ = VarType::Integer;
    v.byRef_ = true;
    v.value_.emplace<kInt16Ref>(target);
    return v;
}

Variant Variant::RefLong(tarselctl::Long* target) {
    RequireTarget(target);
    Variant v;
    v.type_ = VarType::Long;
    v.byRef_ = true;
    v.value_.emplace<kLongRef>(target);
    return v;
}

Variant Variant::RefString(tarselctl::String* target) {
    RequireTarget(target);
    Variant v;
    v.type_ = VarType::String;
    v.byRef_ = true;
    v.value_.emplace<kStringRef>(target);
    return v;
}

Variant Variant::RefBytes(SafeByteArray* target) {
    RequireTarget(target);
    Variant v;
    v.type_ = VarType::ByteArray;
    v.byRef_ = true;
    v.value_.emplace<kBytesRef>(target);
    return v;
}

tarselctl::Boolean* Variant::BooleanPtr() noexcept {
    if (type_ != VarType::Boolean) return nullptr;
    return byRef_ ? std::get<kInt16Ref>(value_) : &std::get<kInt16>(value_);
}

tarselctl::Integer* Variant::IntegerPtr() noexcept {
    if (type_ != VarType::Integer) return nullptr;
    return byRef_ ? std::get<kInt16Ref>(value_) : &std::get<kInt16>(value_);
}

tarselctl::Long* Variant::LongPtr() noexcept {
    if (type_ != VarType::Long) return nullptr;
    return byRef_ ? std::get<kLongRef>(value_) : &std::get<kLong>(value_);
}

tarselctl::String* Variant::StringPtr() noexcept {
    if (type_ != VarType::String) return nullptr;
    return byRef_ ? std::get<kStringRef>(value_) : &std::get<kString>(value_);
}

SafeByteArray* Variant::BytesPtr() noexcept {
    if (type_ != VarType::ByteArray) return nullptr;
    return byRef_ ? std::get<kBytesRef>(value_) : &std::get<kBytes>(value_);
}

namespace {
template <class T>
const T& Require(const T* p, const char* wanted) {
    if (!p) throw std::invalid_argument(std::string("the variant holds no ") + wanted);
    return *p;
}
}  // namespace

tarselctl::Boolean Variant::AsBoolean() const {
    // A referenced Boolean may have been written with any 16-bit value by its owner.
    return Normalized(Require(const_cast<Variant*>(this)->BooleanPtr(), "Boolean"));
}

tarselctl::Integer Variant::AsInteger() const {
    return Require(const_cast<Variant*>(this)->IntegerPtr(), "Integer");
}

tarselctl::Long Variant::AsLong() const {
    return Require(const_cast<Variant*>(this)->LongPtr(), "Long");
}

const tarselctl::String& Variant::AsString() const {
    return Require(const_cast<Variant*>(this)->StringPtr(), "String");
}

const SafeByteArray& Variant::AsBytes() const {
    return Require(const_cast<Variant*>(this)->BytesPtr(), "byte array");
}

Variant Variant::Dereferenced() const {
    if (!byRef_) return *this;
    switch (type_) {
        case VarType::Boolean: return FromBoolean(AsBoolean());
        case VarType::Integer: return FromInteger(AsInteger());
        case VarType::Long: return FromLong(AsLong());
        case VarType::String: return FromString(AsString());
        case VarType::ByteArray: return FromBytes(AsBytes());
        case VarType::Empty: break;
    }
    return Variant();
}

Status Variant::ConvertTo(VarType type, Variant& out) const {
    if (type == type_) {
        out = Dereferenced();
        return S_OK;
    }
    // The source as a number when it has a numeric form.
    std::int64_t number = 0;
    bool numeric = false;
    switch (type_) {
        case VarType::Empty: number = 0; numeric = true; break;
        case VarType::Boolean: number = AsBoolean(); numeric = true; break;
        case VarType::Integer: number = AsInteger(); numeric = true; break;
        case VarType::Long: number = AsLong(); numeric = true; break;
        case VarType::String: break;
        case VarType::ByteArray: return DISP_E_TYPEMISMATCH;
    }

    switch (type) {
        case VarType::Empty:
            out = Variant();
            return S_OK;
        case VarType::ByteArray:
            return DISP_E_TYPEMISMATCH;
        case VarType::String:
            if (type_ == VarType::Empty) {
                out = FromString(String());
            } else if (type_ == VarType::Boolean) {
                out = FromString(number != 0 ? u"True" : u"False");
            } else {
                out = FromString(DecimalText(number));
            }
            return S_OK;
        case VarType::Boolean:
            if (!numeric) {
                const String& text = AsString();
                if (EqualsIgnoringCase(text, u"True")) { out = FromBoolean(True); return S_OK; }
                if (EqualsIgnoringCase(text, u"False")) { out = FromBoolean(False); return S_OK; }
                const Parsed parsed = ParseDecimal(text, number);
                if (parsed == Parsed::NotANumber) return DISP_E_TYPEMISMATCH;
                // A number too large for 64 bits is still not zero.
                if (parsed == Parsed::TooLarge) number = 1;
            }
            out = FromBoolean(number != 0 ? True : False);
            return S_OK;
        case VarType::Integer:
        case VarType::Long: {
            if (!numeric) {
                const String& text = AsString();
                // Automation reads the truth words as numbers too.
                if (EqualsIgnoringCase(text, u"True")) {
                    number = True;
                } else if (EqualsIgnoringCase(text, u"False")) {
                    number = False;
                } else {
                    const Parsed parsed = ParseDecimal(text, number);
                    if (parsed == Parsed::NotANumber) return DISP_E_TYPEMISMATCH;
                    if (parsed == Parsed::TooLarge) return DISP_E_OVERFLOW;
                }
            }
            if (type == VarType::Integer) {
                if (number < std::numeric_limits<Integer>::min() ||
                    number > std::numeric_limits<Integer>::max())
                    return DISP_E_OVERFLOW;
                out = FromInteger(static_cast<Integer>(number));
            } else {
                if (number < std::numeric_limits<Long>::min() ||
                    number > std::numeric_limits<Long>::max())
                    return DISP_E_OVERFLOW;
                out = FromLong(static_cast<Long>(number));
            }
            return S_OK;
        }
    }
    return DISP_E_TYPEMISMATCH;
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.Type() != b.Type()) return false;
    switch (a.Type()) {
        case VarType::Empty: return true;
        case VarType::Boolean: return a.AsBoolean() == b.AsBoolean();
        case VarType::Integer: return a.AsInteger() == b.AsInteger();
        case VarType::Long: return a.AsLong() == b.AsLong();
        case VarType::String: return a.AsString() == b.AsString();
        case VarType::ByteArray: return a.AsBytes() == b.AsBytes();
    }
    return false;
}

std::string Variant::Describe() const {
    std::string text = byRef_ ? "ByRef " : "";
    switch (type_) {
        case VarType::Empty: return text + "Empty";
        case VarType::Boolean: return text + (AsBoolean() != False ? "Boolean(True)" : "Boolean(False)");
        case VarType::Integer: return text + "Integer(" + std::to_string(AsInteger()) + ")";
        case VarType::Long: return text + "Long(" + std::to_string(AsLong()) + ")";
        case VarType::String: return text + "String(" + ToUtf8(AsString()) + ")";
        case VarType::ByteArray: {
            const SafeByteArray& bytes = AsBytes();
            return text + "Bytes(" + std::to_string(bytes.LowerBound) + "," +
                   std::to_string(bytes.Elements.size()) + ")";
        }
    }
    return text;
}

}  // namespace tarselctl
