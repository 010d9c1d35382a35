// The host's property storage: a named-value store that the host keeps with its form and
// through which the control's settings survive between runs.
#pragma once

#include <filesystem>
#include <map>

#include <tarsel/automation.h>
#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// Named values with defaults. A key is written together with its default, and a value equal
/// to its default is left out of the storage (an entry already stored under the key is
/// removed), so a missing key reads as its default. Every failure is an exception; an
/// implementation raises AutomationError for the ones it knows (13 "Type mismatch" for a
/// stored value that has no form of the requested type).
class TARSEL_API PropertyBag {
public:
    virtual ~PropertyBag() = default;

    /// The value of `key` converted to `type`, or `defaultValue` converted to `type` when the
    /// key is not stored.
    virtual Variant Read(const String& key, VarType type, const Variant& defaultValue) = 0;
    /// Stores `value` under `key`, or leaves the key out when `value` equals `defaultValue`.
    virtual void Write(const String& key, const Variant& value, const Variant& defaultValue) = 0;

    String ReadString(const String& key, const String& defaultValue);
    Boolean ReadBoolean(const String& key, Boolean defaultValue);
    Long ReadLong(const String& key, Long defaultValue);
    void WriteString(const String& key, const String& value, const String& defaultValue);
    void WriteBoolean(const String& key, Boolean value, Boolean defaultValue);
    void WriteLong(const String& key, Long value, Long defaultValue);

protected:
    /// `value` converted to `type`; AutomationError 13 "Type mismatch" or 6 "Overflow" (source
    /// "PropertyBag") when it has no such form.
    static Variant Converted(const Variant& value, VarType type);
    /// Whether `value` is its default: equal to it, once the default has the value's type.
    static bool IsDefault(const Variant& value, const Variant& defaultValue);
};

/// Property storage in memory, keeping each value with its type.
class TARSEL_API MemoryPropertyBag : public PropertyBag {
public:
    Variant Read(const String& key, VarType type, const Variant& defaultValue) override;
    void Write(const String& key, const Variant& value, const Variant& defaultValue) override;

    /// The stored values, by key. A test or host may fill or inspect it directly.
    std::map<String, Variant> values;
};

/// Property storage in a UTF-8 text file: one "Key=Value" line per stored key, in key order,
/// with backslash, CR and LF written as \\, \r and \n (and "=" in a key as \=). Values are
/// kept as text and converted to the type a Read asks for; Boolean values are written as
/// "True" / "False", numbers in decimal.
///
/// The file is read when the bag is opened and written only by Save, which replaces it
/// atomically (a temporary file in the same directory, flushed to disk, then renamed over).
class TARSEL_API FilePropertyBag : public PropertyBag {
public:
    /// Reads `path` when it exists; a missing file is an empty bag. Throws AutomationError 75
    /// "Path/File access error" when the file cannot be read and 321 "Invalid file format"
    /// for a line it cannot parse.
    explicit FilePropertyBag(std::filesystem::path path);

    Variant Read(const String& key, VarType type, const Variant& defaultValue) override;
    void Write(const String& key, const Variant& value, const Variant& defaultValue) override;

    /// Writes every stored value to the file. Throws AutomationError 75 on failure, leaving
    /// the file as it was.
    void Save() const;

    const std::filesystem::path& Path() const noexcept { return path_; }
    /// The stored texts, by key.
    const std::map<String, String>& Values() const noexcept { return values_; }

private:
    std::filesystem::path path_;
    std::map<String, String> values_;
};

}  // namespace tarselctl

TARSEL_API_END
