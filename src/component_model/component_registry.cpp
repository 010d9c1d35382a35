// The registry of classes: one record file per class in a directory of the user's data.
#include <tarsel/automation.h>

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <system_error>

#include "component_model/key_value_text.h"
#include "component_model/whole_file.h"

namespace tarselctl {

namespace {

std::filesystem::path RecordPath(const std::filesystem::path& directory, const Guid& classId) {
    return directory / (GuidToString(classId) + ".record");
}

const char* NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

Guid RequireGuid(const std::map<std::string, std::string>& fields, const std::string& key) {
    const auto it = fields.find(key);
    if (it == fields.end()) throw std::runtime_error("the record has no " + key);
    const std::optional<Guid> guid = GuidFromString(it->second);
    if (!guid) throw std::runtime_error("the record's " + key + " is no identifier");
    return *guid;
}

std::string RequireField(const std::map<std::string, std::string>& fields, const std::string& key) {
    const auto it = fields.find(key);
    if (it == fields.end()) throw std::runtime_error("the record has no " + key);
    return it->second;
}

// "MAJOR.MINOR", each a number from 0 to 65535.
void ParseVersion(const std::string& text, std::uint16_t& major, std::uint16_t& minor) {
    const std::size_t dot = text.find('.');
    auto number = [&](const std::string& part) {
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos)
            throw std::runtime_error("the record's TypeLibraryVersion is malformed");
        const unsigned long value = std::stoul(part);
        if (value > 0xFFFF) throw std::runtime_error("the record's TypeLibraryVersion is malformed");
        return static_cast<std::uint16_t>(value);
    };
    if (dot == std::string::npos) throw std::runtime_error("the record's TypeLibraryVersion is malformed");
    major = number(text.substr(0, dot));
    minor = number(text.substr(dot + 1));
}

}  // namespace

ComponentRegistry::ComponentRegistry(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

std::filesystem::path ComponentRegistry::DefaultDirectory() {
    if (const char* dir = NonEmptyEnv("TARSEL_REGISTRY_DIR")) return dir;
    if (const char* data = NonEmptyEnv("XDG_DATA_HOME"))
        return std::filesystem::path(data) / "tarsel" / "registry";
    if (const char* home = NonEmptyEnv("HOME"))
        return std::filesystem::path(home) / ".local" / "share" / "tarsel" / "registry";
    // No home at all (a stripped-down service account): the working directory still works.
    return std::filesystem::path(".tarsel-registry");
}

void ComponentRegistry::Write(const RegistryRecord& r) const {
    std::filesystem::create_directories(directory_);
    std::string text;
    text += FormatKeyValueLine("ClassId", GuidToString(r.ClassId));
    text += FormatKeyValueLine("Name", ToUtf8(r.Name));
    text += FormatKeyValueLine("Library", r.LibraryPath);
    text += FormatKeyValueLine("TypeLibrary", GuidToString(r.TypeLibraryId));
    text += FormatKeyValueLine("TypeLibraryName", ToUtf8(r.TypeLibraryName));
    text += FormatKeyValueLine("TypeLibraryVersion", std::to_string(r.TypeLibraryMajor) + "." +
                                                         std::to_string(r.TypeLibraryMinor));
    text += FormatKeyValueLine("DispatchInterface", GuidToString(r.DispatchInterface));
    text += FormatKeyValueLine("EventInterface", GuidToString(r.EventInterface));
    ReplaceFileAtomically(RecordPath(directory_, r.ClassId), text);
}

std::optional<RegistryRecord> ComponentRegistry::Find(const Guid& classId) const {
    const std::filesystem::path path = RecordPath(directory_, classId);
    const std::optional<std::string> text = ReadWholeFile(path);
    if (!text) return std::nullopt;
    try {
        std::map<std::string, std::string> fields;
        for (auto& [key, value] : ParseKeyValueText(*text)) fields[key] = value;
        RegistryRecord r;
        r.ClassId = RequireGuid(fields, "ClassId");
        if (!(r.ClassId == classId)) throw std::runtime_error("the record names another class");
        r.Name = FromUtf8(RequireField(fields, "Name"));
        r.LibraryPath = RequireField(fields, "Library");
        r.TypeLibraryId = RequireGuid(fields, "TypeLibrary");
        r.TypeLibraryName = FromUtf8(RequireField(fields, "TypeLibraryName"));
        ParseVersion(RequireField(fields, "TypeLibraryVersion"), r.TypeLibraryMajor,
                     r.TypeLibraryMinor);
        r.DispatchInterface = RequireGuid(fields, "DispatchInterface");
        r.EventInterface = RequireGuid(fields, "EventInterface");
        return r;
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path.string() + ": " + e.what());
    }
}

bool ComponentRegistry::Remove(const Guid& classId) const {
    return std::filesystem::remove(RecordPath(directory_, classId));
}

}  // namespace tarselctl
