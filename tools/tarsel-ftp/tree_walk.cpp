#include "tree_walk.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

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

Command Step(Verb verb, std::vector<std::string> args, std::uint64_t job, Command::Walk walk = Command::Walk::Find) {
    Command step{verb, std::move(args)};
    step.job = job;
    step.walk = walk;
    return step;
}

}  // namespace

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

TreeWalk::Output TreeWalk::Begin(const Command& typed) {
    Output o;
    *this = TreeWalk();
    summarize_ = typed.summarize;
    human_ = typed.human;
    recursive_ = typed.recursive;
    root_ = typed.args.empty() || typed.args[0].empty() ? "." : WithoutTrailingSlashes(typed.args[0]);
    switch (typed.verb) {
    case Verb::Rm:
        for (auto name = typed.args.rbegin(); name != typed.args.rend(); ++name) {
            auto [parent, base] = ParentAndName(*name);
            AddRemoval(parent, base);
        }
        break;
    case Verb::MkDir: {
        kind_ = Kind::MakePath;
        std::vector<Frame> order;
        for (const std::string& path : typed.args) {
            if (!recursive_) {
                order.push_back(Frame{Stage::Make, path});
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
                Frame& make = order.emplace_back(Frame{Stage::Make, made});
                make.last = i + 1 == parts.size();
            }
        }
        frames_.assign(order.rbegin(), order.rend());
        break;
    }
    case Verb::Find:
    case Verb::Du:
        // "/m/" as Tab completion writes it is "/m": du's totals are summed up by path.
        kind_ = typed.verb == Verb::Find ? Kind::Find : Kind::Du;
        if (kind_ == Kind::Find) o.out = root_ + (root_.back() == '/' ? "" : "/") + "\n";
        walked_.insert(root_);
        frames_.push_back(Frame{Stage::List, root_});
        break;
    default:
        break;
    }
    return o;
}

void TreeWalk::AddRemoval(const std::string& parent, const std::string& name) {
    // What the name is comes from its parent's listing: LIST and MLSD of the name itself
    // resolve a link and would list (and so empty) what it points to.
    kind_ = Kind::Remove;
    frames_.push_back(Frame{Stage::Identify, parent, name});
}

void TreeWalk::Refused(const Command& mkdir, std::int32_t code, const std::string& text) {
    auto [parent, name] = ParentAndName(mkdir.args[0]);
    Frame check{Stage::Check, parent, name};
    check.code = std::to_string(code);
    check.text = text;
    frames_.push_back(std::move(check));
}

std::optional<Command> TreeWalk::Next(Output& output) {
    if (asked_) {
        // Its listing failed (the error is told already): a directory that could not be
        // listed is not removed either.
        if (asked_->stage == Stage::List && !frames_.empty() && frames_.back().stage == Stage::Remove &&
            frames_.back().path == asked_->path)
            frames_.pop_back();
        asked_.reset();
    }
    if (frames_.empty()) {
        if (kind_ == Kind::Du && !std::exchange(reported_, true)) output.out += Report();
        return std::nullopt;
    }
    const Frame f = std::move(frames_.back());
    frames_.pop_back();
    const Command::Walk walk = kind_ == Kind::Du ? Command::Walk::Du
                               : kind_ == Kind::Remove ? Command::Walk::Rm
                                                       : Command::Walk::Find;
    switch (f.stage) {
    case Stage::Identify:
        asked_ = f;
        return Step(Verb::WalkList, {f.path}, 0, Command::Walk::RmEntry);
    case Stage::Check:
        asked_ = f;
        return Step(Verb::WalkList, {f.path}, 0, Command::Walk::MkdirCheck);
    case Stage::List:
        // Emptied first (files, then each subdirectory), then removed.
        if (kind_ == Kind::Remove) frames_.push_back(Frame{Stage::Remove, f.path, "", f.depth});
        asked_ = f;
        return Step(Verb::WalkList, {f.path}, 0, walk);
    case Stage::Delete:
        // A link is removed as a link: DELE never follows it.
        return Step(Verb::Delete, {f.path}, 0);
    case Stage::Remove:
        return Step(Verb::RmDir, {f.path}, 0);
    case Stage::Make: {
        Command mkdir = Step(Verb::MkDir, {f.path}, 0);
        mkdir.mayFail = recursive_;
        mkdir.checkMade = recursive_ && f.last;
        return mkdir;
    }
    }
    return std::nullopt;
}

TreeWalk::Output TreeWalk::ListedEntry(const Frame& frame, const std::vector<RemoteEntry>& entries) {
    Output o;
    const std::string path = JoinRemote(frame.path, frame.name);
    const auto found =
        std::find_if(entries.begin(), entries.end(), [&](const RemoteEntry& e) { return e.name == frame.name; });
    if (frame.stage == Stage::Check) {
        // Refused because it is there already: as mkdir -p does, that is fine. A link in an
        // ls listing may well point to a directory; the server said the name exists.
        if (found == entries.end() || (found->type != RemoteType::Directory && found->type != RemoteType::Link))
            o.problems.push_back({true, "mkdir " + path, frame.text, frame.code});
        else
            o.note = "'" + path + "' is a directory already";
        return o;
    }
    if (found == entries.end()) {
        o.problems.push_back(
            {true, "rm " + path, "no such entry in the listing of '" + (frame.path.empty() ? "." : frame.path) + "'", ""});
        return o;
    }
    // Anything but a directory, a link to one included, is deleted as itself.
    if (found->type != RemoteType::Directory) {
        frames_.push_back(Frame{Stage::Delete, path});
        return o;
    }
    walked_.insert(path);
    frames_.push_back(Frame{Stage::List, path});
    return o;
}

TreeWalk::Output TreeWalk::Listed(const std::vector<std::string>& lines, bool mlsd) {
    Output o;
    if (!asked_) return o;
    const Frame frame = std::move(*asked_);
    asked_.reset();
    std::size_t unreadable = 0;
    const std::vector<RemoteEntry> entries = ParseRemoteListing(lines, mlsd, &unreadable);
    if (frame.stage == Stage::Identify || frame.stage == Stage::Check) return ListedEntry(frame, entries);
    const std::string& dir = frame.path;
    const std::string name = kind_ == Kind::Du ? "du" : kind_ == Kind::Remove ? "rm" : "find";
    std::vector<Frame> directories, deletions;
    unsigned __int128 bytes = 0;
    for (const RemoteEntry& e : entries) {
        if (!IsSafeEntryName(e.name)) {
            o.problems.push_back({false, name, "skipping the name '" + e.name + "' in " + dir, ""});
            continue;
        }
        const std::string path = JoinRemote(dir, e.name);
        // Only what the listing calls a directory is walked; a link (ls "l") never is.
        const bool directory = e.type == RemoteType::Directory;
        if (kind_ == Kind::Find) o.out += path + (directory ? "/" : "") + "\n";
        if (kind_ == Kind::Du && !directory) bytes += e.size.value_or(0);
        if (directory) {
            if (frame.depth + 1 > kMaxWalkDepth) {
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
            directories.push_back(Frame{Stage::List, path, "", frame.depth + 1});
        } else if (kind_ == Kind::Remove) {
            deletions.push_back(Frame{Stage::Delete, path});
        }
    }
    if (unreadable > 0) {
        // What could not be read is neither counted nor deleted; the directory then stays.
        o.problems.push_back({true, name + " " + dir,
                              std::to_string(unreadable) + " line(s) of its listing could not be read and were left alone", ""});
    }
    if (kind_ == Kind::Du) usage_[dir] += bytes;
    // In listing order, depth first: each subdirectory is walked whole before the next, and
    // rm deletes the files before it walks the subdirectories.
    frames_.insert(frames_.end(), directories.rbegin(), directories.rend());
    frames_.insert(frames_.end(), deletions.rbegin(), deletions.rend());
    return o;
}

std::string TreeWalk::Report() const {
    const std::string& root = root_;
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
        if (!summarize_ || path == root) order.push_back(path);
    std::sort(order.begin(), order.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    std::string out;
    for (const std::string& path : order) {
        const unsigned __int128 bytes = totals.at(path);
        out += (human_ ? HumanSize(bytes) : TotalText((bytes + 1023) / 1024)) + "\t" + path + "\n";
    }
    return out;
}

}  // namespace tarselftp
