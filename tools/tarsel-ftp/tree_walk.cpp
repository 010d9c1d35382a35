#include "tree_walk.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace tarselftp {

namespace {

// "pub/" -> "pub": the form a walk's paths are joined and compared in ("/" stays).
std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string TotalText(unsigned __int128 n) {
    std::string text;
    do {
        text.insert(text.begin(), static_cast<char>('0' + static_cast<int>(n % 10)));
        n /= 10;
    } while (n != 0);
    return text;
}

// 1536 -> "1.5K": what du -h shows.
std::string HumanSize(unsigned __int128 bytes) {
    static constexpr const char* kUnits[] = {"", "K", "M", "G", "T", "P", "E", "Z", "Y"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0 || value >= 10) std::snprintf(text, sizeof text, "%.0f%s", value, kUnits[unit]);
    else std::snprintf(text, sizeof text, "%.1f%s", value, kUnits[unit]);
    return text;
}

Command Step(Verb verb, std::vector<std::string> args, std::uint64_t job, Command::Walk walk = Command::Walk::Find) {
    Command step{verb, std::move(args)};
    step.job = job;
    step.walk = walk;
    return step;
}

}  // namespace

std::string TypedName(Command::Walk walk) {
    switch (walk) {
    case Command::Walk::Du: return "du";
    case Command::Walk::Rm:
    case Command::Walk::RmEntry: return "rm";
    case Command::Walk::MkdirCheck: return "mkdir";
    default: return "find";
    }
}

std::string JoinRemote(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::pair<std::string, std::string> ParentAndName(const std::string& path) {
    const std::string trimmed = WithoutTrailingSlashes(path);
    const auto slash = trimmed.rfind('/');
    if (slash == std::string::npos) return {"", trimmed};
    return {slash == 0 ? "/" : trimmed.substr(0, slash), trimmed.substr(slash + 1)};
}

Command TreeWalk::RemoveEntry(const std::string& parent, const std::string& name, std::uint64_t job) {
    // What the name is comes from its parent's listing: LIST and MLSD of the name itself
    // resolve a link and would list (and so empty) what it points to.
    return Step(Verb::WalkList, {parent, name}, job, Command::Walk::RmEntry);
}

Command TreeWalk::CheckMade(const Command& mkdir, std::int32_t code, const std::string& text) {
    auto [parent, name] = ParentAndName(mkdir.args[0]);
    return Step(Verb::WalkList, {parent, name, std::to_string(code), text}, mkdir.job, Command::Walk::MkdirCheck);
}

TreeWalk::Outcome TreeWalk::Begin(const Command& typed, std::uint64_t job) {
    Outcome o;
    walked_.clear();
    usage_.clear();
    const std::string root = typed.args.empty() || typed.args[0].empty() ? "." : WithoutTrailingSlashes(typed.args[0]);
    switch (typed.verb) {
    case Verb::Rm:
        for (const std::string& name : typed.args) {
            auto [parent, base] = ParentAndName(name);
            o.steps.push_back(RemoveEntry(parent, base, job));
        }
        break;
    case Verb::MkDir:
        for (const std::string& path : typed.args) {
            if (!typed.recursive) {
                o.steps.push_back(Step(Verb::MkDir, {path}, job));
                continue;
            }
            // Each parent in turn; one that exists already is no error, and neither is the
            // last one when its parent's listing shows it as a directory.
            std::string made = path.rfind('/', 0) == 0 ? "/" : "";
            std::vector<std::string> parts;
            for (std::size_t at = 0; at < path.size();) {
                const std::size_t slash = std::min(path.find('/', at), path.size());
                if (slash > at) parts.push_back(path.substr(at, slash - at));
                at = slash + 1;
            }
            if (parts.empty() && made.empty()) o.problems.push_back({true, "mkdir", "no directory named", ""});
            for (std::size_t i = 0; i < parts.size(); ++i) {
                made = JoinRemote(made, parts[i]);
                Command& mkdir = o.steps.emplace_back(Step(Verb::MkDir, {made}, job));
                mkdir.mayFail = true;
                mkdir.checkMade = i + 1 == parts.size();
            }
        }
        break;
    case Verb::Find:
        o.out = root + (root.back() == '/' ? "" : "/") + "\n";
        walked_.insert(root);
        o.steps.push_back(Step(Verb::WalkList, {root}, job, Command::Walk::Find));
        break;
    case Verb::Du: {
        // "/m/" as Tab completion writes it is "/m": the totals are summed up by path.
        walked_.insert(root);
        o.steps.push_back(Step(Verb::WalkList, {root}, job, Command::Walk::Du));
        Command& report = o.steps.emplace_back(Step(Verb::DuReport, {root}, job));
        report.summarize = typed.summarize;
        report.human = typed.human;
        break;
    }
    default:
        break;
    }
    return o;
}

TreeWalk::Outcome TreeWalk::ListedEntry(const Command& list, const std::vector<RemoteEntry>& entries) {
    Outcome o;
    const std::string& dir = list.args[0];
    const std::string& name = list.args[1];
    const std::string path = JoinRemote(dir, name);
    const auto found =
        std::find_if(entries.begin(), entries.end(), [&](const RemoteEntry& e) { return e.name == name; });
    if (list.walk == Command::Walk::MkdirCheck) {
        // Refused because it is there already: as mkdir -p does, that is fine. A link in an
        // ls listing may well point to a directory; the server said the name exists.
        if (found == entries.end() || (found->type != RemoteType::Directory && found->type != RemoteType::Link))
            o.problems.push_back({true, "mkdir " + path, list.args[3], list.args[2]});
        else
            o.note = "'" + path + "' is a directory already";
        return o;
    }
    if (found == entries.end()) {
        o.problems.push_back({true, "rm " + path, "no such entry in the listing of '" + (dir.empty() ? "." : dir) + "'", ""});
        return o;
    }
    // Anything but a directory, a link to one included, is deleted as itself.
    if (found->type != RemoteType::Directory) {
        o.steps.push_back(Step(Verb::Delete, {path}, list.job));
        return o;
    }
    walked_.insert(path);
    o.steps.push_back(Step(Verb::WalkList, {path}, list.job, Command::Walk::Rm));
    return o;
}

TreeWalk::Outcome TreeWalk::Listed(const Command& list, const std::vector<std::string>& lines, bool mlsd) {
    std::size_t unreadable = 0;
    const std::vector<RemoteEntry> entries = ParseRemoteListing(lines, mlsd, &unreadable);
    if (list.walk == Command::Walk::RmEntry || list.walk == Command::Walk::MkdirCheck) return ListedEntry(list, entries);
    Outcome o;
    const std::string& dir = list.args[0];
    const std::string name = TypedName(list.walk);
    std::vector<Command> deletions;
    unsigned __int128 bytes = 0;
    for (const RemoteEntry& e : entries) {
        if (!IsSafeEntryName(e.name)) {
            o.problems.push_back({false, name, "skipping the name '" + e.name + "' in " + dir, ""});
            continue;
        }
        const std::string path = JoinRemote(dir, e.name);
        // Only what the listing calls a directory is walked; a link (ls "l") never is.
        const bool directory = e.type == RemoteType::Directory;
        if (list.walk == Command::Walk::Find) o.out += path + (directory ? "/" : "") + "\n";
        if (list.walk == Command::Walk::Du && !directory) bytes += e.size.value_or(0);
        if (directory) {
            if (list.depth + 1 > kMaxWalkDepth) {
                o.problems.push_back({true, name + " " + path,
                                      "more than " + std::to_string(kMaxWalkDepth) + " levels deep; not walked", ""});
                continue;
            }
            // Seen before under this path, or (where the listing tells it) as the same
            // directory under another: a loop, walked once.
            if (!walked_.insert(path).second || (e.unique && !walked_.insert("\n" + *e.unique).second)) {
                o.problems.push_back({false, name, "'" + path + "' was walked already; not again", ""});
                continue;
            }
            Command& sub = o.steps.emplace_back(Step(Verb::WalkList, {path}, list.job, list.walk));
            sub.depth = list.depth + 1;
        } else if (list.walk == Command::Walk::Rm) {
            // A link is removed as a link: DELE never follows it.
            deletions.push_back(Step(Verb::Delete, {path}, list.job));
        }
    }
    if (unreadable > 0) {
        // What could not be read is neither counted nor deleted; the directory then stays.
        o.problems.push_back({true, name + " " + dir,
                              std::to_string(unreadable) + " line(s) of its listing could not be read and were left alone", ""});
    }
    if (list.walk == Command::Walk::Du) usage_[dir] += bytes;
    o.steps.insert(o.steps.begin(), std::make_move_iterator(deletions.begin()), std::make_move_iterator(deletions.end()));
    // Emptied first (files, then each subdirectory's own walk), then removed.
    if (list.walk == Command::Walk::Rm) o.steps.push_back(Step(Verb::RmDir, {dir}, list.job));
    return o;
}

std::string TreeWalk::Report(const Command& report) const {
    const std::string& root = report.args[0];
    // Each directory's total is its own files plus every directory below it.
    std::map<std::string, unsigned __int128> totals;
    for (const auto& [path, own] : usage_) {
        std::string at = path;
        while (true) {
            totals[at] += own;
            if (at == root) break;
            const auto slash = at.rfind('/');
            if (slash == std::string::npos || at.size() <= root.size()) break;
            at.erase(slash == 0 ? 1 : slash);
        }
    }
    // Deepest first, as du prints them, the directory asked for last.
    std::vector<std::string> order;
    for (const auto& [path, total] : totals)
        if (!report.summarize || path == root) order.push_back(path);
    std::sort(order.begin(), order.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    std::string out;
    for (const std::string& path : order) {
        const unsigned __int128 bytes = totals.at(path);
        out += (report.human ? HumanSize(bytes) : TotalText((bytes + 1023) / 1024)) + "\t" + path + "\n";
    }
    return out;
}

}  // namespace tarselftp
