// Typed access to any property storage, and the conversions every storage shares.
#include <tarsel/property_bag.h>

namespace tarselctl {

Variant PropertyBag::Converted(const Variant& value, VarType type) {
    Variant out;
    const Status status = value.ConvertTo(type, out);
    if (status == DISP_E_OVERFLOW) throw AutomationError(6, u"PropertyBag", u"Overflow");
    if (Failed(status)) throw AutomationError(13, u"PropertyBag", u"Type mismatch");
    return out;
}

bool PropertyBag::IsDefault(const Variant& value, const Variant& defaultValue) {
    Variant asValue;
    if (Failed(defaultValue.ConvertTo(value.Type(), asValue))) return false;
    return asValue == value;
}

// A host's storage may answer with a value of another type than asked for; the result is
// converted again so the typed readers never see a stray type.
String PropertyBag::ReadString(const String& key, const String& defaultValue) {
    return Converted(Read(key, VarType::String, Variant::FromString(defaultValue)),
                     VarType::String).AsString();
}

Boolean PropertyBag::ReadBoolean(const String& key, Boolean defaultValue) {
    return Converted(Read(key, VarType::Boolean, Variant::FromBoolean(defaultValue)),
                     VarType::Boolean).AsBoolean();
}

Long PropertyBag::ReadLong(const String& key, Long defaultValue) {
    return Converted(Read(key, VarType::Long, Variant::FromLong(defaultValue)), VarType::Long)
        .AsLong();
}

void PropertyBag::WriteString(const String& key, const String& value, const String& defaultValue) {
    Write(key, Variant::FromString(value), Variant::FromString(defaultValue));
}

void PropertyBag::WriteBoolean(const String& key, Boolean value, Boolean defaultValue) {
    Write(key, Variant::FromBoolean(value), Variant::FromBoolean(defaultValue));
}

void PropertyBag::WriteLong(const String& key, Long value, Long defaultValue) {
    Write(key, Variant::FromLong(value), Variant::FromLong(defaultValue));
}

Variant MemoryPropertyBag::Read(const String& key, VarType type, const Variant& defaultValue) {
    const auto it = values.find(key);
    return Converted(it == values.end() ? defaultValue : it->second, type);
}

void MemoryPropertyBag::Write(const String& key, const Variant& value,
                              const Variant& defaultValue) {
    if (IsDefault(value, defaultValue)) {
        values.erase(key);
    } else {
        // A by-reference value would dangle once the caller's storage is gone.
        values[key] = value.Dereferenced();
    }
}

}  // namespace tarselctl
