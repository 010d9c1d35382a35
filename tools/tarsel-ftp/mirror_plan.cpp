#include "mirror_plan.h"

#include <algorithm>
#include <map>

#include <fnmatch.h>

namespace tarselftp {

namespace {

const char* KindText(LocalEntry::Kind kind) {
    switch (kind) {
    case LocalEntry::Kind::Directory: return "a directory";
    case LocalEntry::Kind::Link: return "a symbolic link";
    case LocalEntry::Kind::Other: return "no regular file";
    default: return "";
    }
}

const char* KindText(RemoteType type) {
    switch (type) {
    case RemoteType::Directory: return "a directory";
    case RemoteType::Link: return "a symbolic link";
    case RemoteType::File: return "";
    default: return "no regular file";
    }
}

FileState StateOf(const LocalEntry& e) {
    return {e.size, e.modified, KindText(e.kind)};
}

FileState StateOf(const RemoteEntry& e) {
    return {e.size, HasExactTime(e) ? e.modified : std::nullopt, KindText(e.type)};
}

MirrorDecision Decision(const std::string& name, MirrorAction action, const FileState& source,
                        std::string reason = {}) {
    return {name, action, std::move(reason), source.size, source.modified, false};
}

}  // namespace

MirrorDecision DecideFile(const std::string& name, const FileState& source,
                          const std::optional<FileState>& target, const MirrorOptions& options) {
    if (!target) return Decision(name, MirrorAction::Fetch, source);
    if (!target->notAFile.empty())
        return Decision(name, MirrorAction::Skip, source, "the target is " + target->notAFile);
    const bool timesKnown = source.modified && target->modified;
    if (options.newerOnly && timesKnown && *source.modified <= *target->modified)
        return Decision(name, MirrorAction::Skip, source, "the target is not older");
    if (!source.size || !target->size || *source.size != *target->size)
        return Decision(name, MirrorAction::Refresh, source, "size differs");
    if (!timesKnown) return Decision(name, MirrorAction::AskTime, source);
    if (*source.modified == *target->modified) return Decision(name, MirrorAction::Keep, source);
    if (options.keepNewerTarget && *target->modified > *source.modified)
        return Decision(name, MirrorAction::Keep, source);
    return Decision(name, MirrorAction::Refresh, source, "time differs");
}

std::vector<MirrorDecision> PlanDownload(const std::vector<RemoteEntry>& remote,
                                         const std::vector<LocalEntry>& local, const MirrorOptions& options) {
    std::map<std::string, const LocalEntry*> here;
    for (const LocalEntry& e : local) here[e.name] = &e;
    std::map<std::string, bool> listed;
    std::vector<MirrorDecision> files, dirs;
    for (const RemoteEntry& e : remote) {
        listed[e.name] = true;
        const FileState source = StateOf(e);
        if (!IsSafeEntryName(e.name)) {
            files.push_back(Decision(e.name, MirrorAction::Skip, source, "unsafe name"));
            continue;
        }
        const auto found = here.find(e.name);
        if (e.type == RemoteType::Directory) {
            if (found != here.end() && found->second->kind != LocalEntry::Kind::Directory) {
                const LocalEntry::Kind kind = found->second->kind;
                files.push_back(Decision(e.name, MirrorAction::Skip, source,
                                         std::string("the target is ") +
                                             (kind == LocalEntry::Kind::File ? "a file" : KindText(kind))));
                continue;
            }
            MirrorDecision d = Decision(e.name, MirrorAction::Descend, source);
            d.directory = true;
            dirs.push_back(std::move(d));
            continue;
        }
        if (e.type != RemoteType::File) {
            files.push_back(Decision(e.name, MirrorAction::Skip, source,
                                     std::string("the source is ") + KindText(e.type)));
            continue;
        }
        std::optional<FileState> target;
        if (found != here.end()) target = StateOf(*found->second);
        files.push_back(DecideFile(e.name, source, target, options));
    }
    for (MirrorDecision& d : dirs) files.push_back(std::move(d));
    if (options.deleteExtra) {
        for (const LocalEntry& e : local) {
            if (listed.count(e.name)) continue;
            MirrorDecision d = Decision(e.name, MirrorAction::Delete, StateOf(e));
            d.directory = e.kind == LocalEntry::Kind::Directory;
            files.push_back(std::move(d));
        }
    }
    return files;
}

std::vector<MirrorDecision> PlanUpload(const std::vector<LocalEntry>& local,
                                       const std::vector<RemoteEntry>& remote, const MirrorOptions& options) {
    std::map<std::string, const RemoteEntry*> there;
    for (const RemoteEntry& e : remote)
        if (IsSafeEntryName(e.name)) there[e.name] = &e;
    std::map<std::string, bool> present;
    std::vector<MirrorDecision> files, dirs;
    for (const LocalEntry& e : local) {
        present[e.name] = true;
        const FileState source = StateOf(e);
        const auto found = there.find(e.name);
        if (e.kind == LocalEntry::Kind::Directory) {
            if (found != there.end() && found->second->type != RemoteType::Directory) {
                const RemoteType type = found->second->type;
                files.push_back(Decision(e.name, MirrorAction::Skip, source,
                                         std::string("the target is ") +
                                             (type == RemoteType::File ? "a file" : KindText(type))));
                continue;
            }
            MirrorDecision d = Decision(e.name, found == there.end() ? MirrorAction::Fetch : MirrorAction::Descend, source);
            d.directory = true;
            dirs.push_back(std::move(d));
            continue;
        }
        if (e.kind != LocalEntry::Kind::File) {
            // A link is not followed: one to a parent would never end, one to elsewhere
            // would publish what is outside the tree.
            files.push_back(Decision(e.name, MirrorAction::Skip, source,
                                     std::string("the source is ") + KindText(e.kind)));
            continue;
        }
        std::optional<FileState> target;
        if (found != there.end()) target = StateOf(*found->second);
        files.push_back(DecideFile(e.name, source, target, options));
    }
    for (MirrorDecision& d : dirs) files.push_back(std::move(d));
    if (options.deleteExtra) {
        for (const auto& [name, e] : there) {
            if (present.count(name)) continue;
            // A directory is removed with everything in it (by a walk of its own), a link as
            // a link; what is of an unknown kind is left.
            if (e->type != RemoteType::File && e->type != RemoteType::Directory && e->type != RemoteType::Link)
                continue;
            MirrorDecision d = Decision(name, MirrorAction::Delete, StateOf(*e));
            d.directory = e->type == RemoteType::Directory;
            files.push_back(std::move(d));
        }
    }
    return files;
}

std::optional<MirrorFilter> MirrorFilterOption(std::string_view option, const std::string& text, std::string& error) {
    MirrorFilter f;
    if (option == "-x" || option == "--exclude") f = {false, false, text, nullptr};
    else if (option == "-i" || option == "--include") f = {true, false, text, nullptr};
    else if (option == "-X" || option == "--exclude-glob") f = {false, true, text, nullptr};
    else if (option == "-I" || option == "--include-glob") f = {true, true, text, nullptr};
    else return std::nullopt;
    if (!f.glob) {
        try {
            f.regex = std::make_shared<const std::regex>(text, std::regex::extended | std::regex::nosubs);
        } catch (const std::regex_error& e) {
            error = std::string(option) + ": '" + text + "' is no regular expression (" + e.what() + ")";
        }
    }
    return f;
}

bool MirrorExcludes(const std::vector<MirrorFilter>& filters, const std::string& path, bool directory) {
    if (filters.empty()) return false;
    std::string trimmed = path;
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    const std::string name = (slash == std::string::npos ? trimmed : trimmed.substr(slash + 1)) + (directory ? "/" : "");
    for (auto it = filters.rbegin(); it != filters.rend(); ++it) {
        if (directory && it->include) continue;
        bool matches = false;
        if (it->glob) {
            const bool wholePath = it->pattern.find('/') != std::string::npos &&
                                   it->pattern.find('/') + 1 != it->pattern.size();
            const std::string& subject = wholePath ? path : name;
            matches = ::fnmatch(it->pattern.c_str(), subject.c_str(), 0) == 0 ||
                      (directory && ::fnmatch(it->pattern.c_str(), subject.substr(0, subject.size() - 1).c_str(), 0) == 0);
        } else if (it->regex) {
            matches = std::regex_search(path, *it->regex);
        }
        if (matches) return !it->include;
    }
    return !directory && filters.front().include;
}

MgetPlan PlanMget(const std::vector<RemoteEntry>& remote, const std::string& pattern) {
    MgetPlan plan;
    for (const RemoteEntry& e : remote) {
        if (::fnmatch(pattern.c_str(), e.name.c_str(), FNM_PERIOD) != 0) continue;
        if (!IsSafeEntryName(e.name)) {
            ++plan.skippedUnsafe;
            continue;
        }
        if (e.type == RemoteType::Directory) {
            ++plan.skippedDirectories;
            continue;
        }
        // Links are fetched as what they point to; an entry of unknown type is tried.
        if (e.type == RemoteType::Device || e.type == RemoteType::Other) continue;
        plan.files.push_back(e);
    }
    return plan;
}

}  // namespace tarselftp
