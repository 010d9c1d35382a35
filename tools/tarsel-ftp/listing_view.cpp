#include "listing_view.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "tree_walk.h"

namespace tarselftp {

std::vector<std::string> MatchRemoteNames(const std::vector<RemoteEntry>& entries, const std::string& dir,
                                          const std::string& pattern) {
    std::vector<std::string> paths;
    for (const RemoteEntry& e : entries)
        if (IsSafeEntryName(e.name) && MatchesPattern(pattern, e.name)) paths.push_back(JoinRemote(dir, e.name));
    // In name order, as the shell gives them, whatever order the server listed them in.
    std::sort(paths.begin(), paths.end());
    return paths;
}

namespace {

char TypeLetter(RemoteType type) {
    switch (type) {
    case RemoteType::Directory: return 'd';
    case RemoteType::Link: return 'l';
    case RemoteType::File: return '-';
    case RemoteType::Device: return 'c';
    default: return '?';
    }
}

std::string ModeText(const RemoteEntry& e) {
    std::string text(1, TypeLetter(e.type));
    if (!e.mode) return text + "?????????";
    static constexpr char kLetters[] = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) text += (*e.mode >> (8 - bit)) & 1 ? kLetters[bit] : '-';
    return text;
}

std::string DateText(const RemoteEntry& e) {
    if (!e.modified) return std::string(16, ' ');
    const std::time_t t = static_cast<std::time_t>(*e.modified);
    std::tm tm{};
    if (!::gmtime_r(&t, &tm)) return std::string(16, ' ');
    char text[32];
    if (e.modifiedPrecision == tarselctl::ListingTimePrecision::Day)
        std::strftime(text, sizeof text, "%Y-%m-%d      ", &tm);
    else
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
}

}  // namespace

std::string FormatCls(const std::vector<RemoteEntry>& entries, const std::string& pattern,
                      const std::string& shownDir, const Command& cls) {
    std::vector<const RemoteEntry*> shown;
    for (const RemoteEntry& e : entries) {
        if (!pattern.empty() ? !MatchesPattern(pattern, e.name)
                             : (!cls.allNames && !e.name.empty() && e.name[0] == '.'))
            continue;
        shown.push_back(&e);
    }
    const auto byName = [](const RemoteEntry* a, const RemoteEntry* b) { return a->name < b->name; };
    if (cls.sortBy == "name") {
        std::stable_sort(shown.begin(), shown.end(), byName);
    } else if (cls.sortBy == "size") {
        // Largest first, as ls -S; names settle ties.
        std::stable_sort(shown.begin(), shown.end(), byName);
        std::stable_sort(shown.begin(), shown.end(), [](const RemoteEntry* a, const RemoteEntry* b) {
            return a->size.value_or(0) > b->size.value_or(0);
        });
    } else if (cls.sortBy == "date") {
        // Newest first, as ls -t.
        std::stable_sort(shown.begin(), shown.end(), byName);
        std::stable_sort(shown.begin(), shown.end(), [](const RemoteEntry* a, const RemoteEntry* b) {
            return a->modified.value_or(0) > b->modified.value_or(0);
        });
    }
    if (cls.reversed) std::reverse(shown.begin(), shown.end());
    std::string out;
    for (const RemoteEntry* e : shown) {
        std::string name = shownDir + e->name;
        if (cls.classify && e->type == RemoteType::Directory) name += '/';
        if (cls.longForm) {
            std::string size = !e->size ? "-" : cls.human ? HumanSize(*e->size) : std::to_string(*e->size);
            if (size.size() < 12) size.insert(0, 12 - size.size(), ' ');
            out += ModeText(*e) + " " + size + " " + DateText(*e) + " " + name;
            if (e->linkTarget) out += " -> " + *e->linkTarget;
            out += "\n";
        } else {
            out += name + "\n";
        }
    }
    return out;
}

}  // namespace tarselftp
