// Property storage kept in a text file of its own.
#include <tarsel/property_bag.h>

#include <system_error>

#include "component_model/key_value_text.h"
#include "component_model/whole_file.h"

namespace tarselctl {

namespace {

[[noreturn]] void ThrowAccessError(const std::filesystem::path& path, const std::string& why) {
    throw AutomationError(75, u"PropertyBag",
                          u"Path/File access error: " + FromUtf8(path.string()) + u": " +
                              FromUtf8(why));
}

}  // namespace

FilePropertyBag::FilePropertyBag(std::filesystem::path path) : path_(std::move(path)) {
    std::optional<std::string> contents;
    try {
        contents = ReadWholeFile(path_);
    } catch (const std::system_error& e) {
        ThrowAccessError(path_, e.code().message());
    }
    if (!contents) return;
    try {
        for (auto& [key, value] : ParseKeyValueText(*contents))
            values_[FromUtf8(key)] = FromUtf8(value);
    } catch (const std::runtime_error& e) {
        throw AutomationError(321, u"PropertyBag",
                              u"Invalid file format: " + FromUtf8(path_.string()) + u": " +
                                  FromUtf8(e.what()));
    }
}

Variant FilePropertyBag::Read(const String& key, VarType type, const Variant& defaultValue) {
    const auto it = values_.find(key);
    if (it == values_.end()) return Converted(defaultValue, type);
    return Converted(Variant::FromString(it->second), type);
}

void FilePropertyBag::Write(const String& key, const Variant& value, const Variant& defaultValue) {
    if (IsDefault(value, defaultValue)) {
        values_.erase(key);
        return;
    }
    // Text is the one form the file keeps; the reader converts it back to the type it wants.
    values_[key] = Converted(value, VarType::String).AsString();
}

void FilePropertyBag::Save() const {
    std::string text;
    for (const auto& [key, value] : values_) text += FormatKeyValueLine(ToUtf8(key), ToUtf8(value));
    try {
        ReplaceFileAtomically(path_, text);
    } catch (const std::system_error& e) {
        ThrowAccessError(path_, e.code().message());
    }
}

}  // namespace tarselctl
