// What mirror and mget decide from a listing and the local side: keep, fetch, refresh, ask
// the time, skip (links, devices, unsafe names), delete.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mirror_plan.h"

namespace tarselftp {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::int64_t kNow = 1796738400;  // 2026-12-08 14:00 UTC

RemoteEntry Remote(const std::string& line, bool mlsd = true) {
    auto entry = ParseRemoteListingLine(line, mlsd, kNow);
    EXPECT_TRUE(entry.has_value()) << line;
    return entry.value_or(RemoteEntry{});
}

LocalEntry Local(const std::string& name, LocalEntry::Kind kind, std::uint64_t size = 0, std::int64_t time = 0) {
    return {name, kind, size, time};
}

// "name:action" for each decision, in order.
std::vector<std::string> Summary(const std::vector<MirrorDecision>& plan) {
    std::vector<std::string> out;
    for (const MirrorDecision& d : plan) {
        std::string action;
        switch (d.action) {
        case MirrorAction::Keep: action = "keep"; break;
        case MirrorAction::Fetch: action = "fetch"; break;
        case MirrorAction::Refresh: action = "refresh"; break;
        case MirrorAction::AskTime: action = "ask-time"; break;
        case MirrorAction::Descend: action = "descend"; break;
        case MirrorAction::Delete: action = "delete"; break;
        case MirrorAction::Skip: action = "skip(" + d.reason + ")"; break;
        }
        out.push_back(d.name + ":" + action);
    }
    return out;
}

constexpr std::int64_t kT = 1577934245;  // 20200102030405

TEST(TarselFtpMirrorPlan, DownloadComparesSizeAndExactTime) {
    const std::vector<RemoteEntry> remote = {
        Remote("type=file;size=6;modify=20200102030405; same"),
        Remote("type=file;size=6;modify=20200102030405; same-size-newer"),
        Remote("type=file;size=6;modify=20200102030405; same-size-older"),
        Remote("type=file;size=7;modify=20200102030405; grown"),
        Remote("type=file;size=6;modify=20200102030405; new"),
        Remote("type=dir;modify=20200102030405; sub"),
    };
    const std::vector<LocalEntry> local = {
        Local("same", LocalEntry::Kind::File, 6, kT),
        Local("same-size-newer", LocalEntry::Kind::File, 6, kT - 60),
        Local("same-size-older", LocalEntry::Kind::File, 6, kT + 60),
        Local("grown", LocalEntry::Kind::File, 6, kT),
        Local("gone", LocalEntry::Kind::File, 1, kT),
    };
    EXPECT_THAT(Summary(PlanDownload(remote, local, {})),
                ElementsAre("same:keep", "same-size-newer:refresh", "same-size-older:refresh", "grown:refresh",
                            "new:fetch", "sub:descend"));
    // --newer-only keeps a local file that is as new or newer, whatever its size.
    EXPECT_THAT(Summary(PlanDownload(remote, local, {false, true, false, {}})),
                ElementsAre("same:skip(the target is not older)", "same-size-newer:refresh",
                            "same-size-older:skip(the target is not older)", "grown:skip(the target is not older)",
                            "new:fetch", "sub:descend"));
    // --delete removes what the remote no longer lists, after everything else.
    EXPECT_EQ(Summary(PlanDownload(remote, local, {true, false, false, {}})).back(), "gone:delete");
    const auto plan = PlanDownload(remote, local, {});
    EXPECT_EQ(plan[4].modified, kT);
    EXPECT_EQ(plan[4].size, 6u);
}

TEST(TarselFtpMirrorPlan, ListingsWithoutExactTimesAskForTheTimeOnlyWhenSizesAgree) {
    const std::vector<RemoteEntry> remote = {
        Remote("-rw-r--r-- 1 0 0 6 Jan 02  2020 equal", false),
        Remote("-rw-r--r-- 1 0 0 9 Dec 08 13:46 larger", false),
        Remote("-rw-r--r-- 1 0 0 1 Dec 08 13:46 absent", false),
    };
    const std::vector<LocalEntry> local = {Local("equal", LocalEntry::Kind::File, 6, kT),
                                           Local("larger", LocalEntry::Kind::File, 6, kT)};
    EXPECT_THAT(Summary(PlanDownload(remote, local, {})),
                ElementsAre("equal:ask-time", "larger:refresh", "absent:fetch"));
    // With the time from MDTM the decision is made again.
    const LocalEntry& here = local[0];
    EXPECT_EQ(DecideFile("equal", {6, kT, ""}, FileState{here.size, here.modified, ""}, {}).action, MirrorAction::Keep);
    EXPECT_EQ(DecideFile("equal", {6, kT + 1, ""}, FileState{here.size, here.modified, ""}, {}).action,
              MirrorAction::Refresh);
}

TEST(TarselFtpMirrorPlan, NothingIsWrittenThroughALocalLinkOrOverANonFile) {
    const std::vector<RemoteEntry> remote = {
        Remote("type=file;size=6;modify=20200102030405; via-link"),
        Remote("type=dir; dir-is-link"),
        Remote("type=file;size=1; is-dir"),
        Remote("type=OS.unix=slink:/etc; remote-link"),
        Remote("type=OS.unix=chardev; null"),
        Remote("type=file;size=1; ../escape"),
        Remote("type=file;size=1; a\x1b[2Jb"),
    };
    const std::vector<LocalEntry> local = {Local("via-link", LocalEntry::Kind::Link),
                                           Local("dir-is-link", LocalEntry::Kind::Link),
                                           Local("is-dir", LocalEntry::Kind::Directory)};
    EXPECT_THAT(Summary(PlanDownload(remote, local, {true, false, false, {}})),
                ElementsAre("via-link:skip(the target is a symbolic link)",
                            "dir-is-link:skip(the target is a symbolic link)",
                            "is-dir:skip(the target is a directory)",
                            "remote-link:skip(the source is a symbolic link)",
                            "null:skip(the source is no regular file)", "../escape:skip(unsafe name)",
                            "a\x1b[2Jb:skip(unsafe name)"));
}

TEST(TarselFtpMirrorPlan, UploadComparesWithTheRemoteListingAndNeverFollowsLocalLinks) {
    const std::vector<LocalEntry> local = {
        Local("same", LocalEntry::Kind::File, 6, kT),
        Local("changed", LocalEntry::Kind::File, 6, kT + 3600),
        Local("new", LocalEntry::Kind::File, 2, kT),
        Local("link", LocalEntry::Kind::Link),
        Local("newdir", LocalEntry::Kind::Directory),
        Local("olddir", LocalEntry::Kind::Directory),
        Local("blocked", LocalEntry::Kind::Directory),
    };
    const std::vector<RemoteEntry> remote = {
        Remote("type=file;size=6;modify=20200102030405; same"),
        Remote("type=file;size=6;modify=20200102030405; changed"),
        Remote("type=dir; olddir"),
        Remote("type=file;size=3; blocked"),
        Remote("type=file;size=3; stale"),
        Remote("type=dir; staledir"),
        Remote("type=file;size=3; ../x"),
    };
    EXPECT_THAT(Summary(PlanUpload(local, remote, {true, false, false, {}})),
                ElementsAre("same:keep", "changed:refresh", "new:fetch", "link:skip(the source is a symbolic link)",
                            "blocked:skip(the target is a file)", "newdir:fetch", "olddir:descend",
                            "stale:delete", "staledir:delete"))
        << "a remote directory the source lacks goes too";
    // A server that cannot take the source's time holds newer copies: those are kept.
    MirrorOptions keepNewer;
    keepNewer.keepNewerTarget = true;
    EXPECT_THAT(Summary(PlanUpload({Local("f", LocalEntry::Kind::File, 6, kT - 1), Local("g", LocalEntry::Kind::File, 6, kT + 1)},
                                   {Remote("type=file;size=6;modify=20200102030405; f"),
                                    Remote("type=file;size=6;modify=20200102030405; g")},
                                   keepNewer)),
                ElementsAre("f:keep", "g:refresh"));
    // A remote listing without exact times: the time is asked for.
    const std::vector<RemoteEntry> listed = {Remote("-rw-r--r-- 1 0 0 6 Jan 02  2020 same", false)};
    EXPECT_THAT(Summary(PlanUpload({local[0]}, listed, {})), ElementsAre("same:ask-time"));
}

TEST(TarselFtpMirrorPlan, FiltersDecideAsLftpTheLastMatchWins) {
    const auto filters = [](std::vector<std::pair<std::string, std::string>> given) {
        std::vector<MirrorFilter> out;
        for (const auto& [option, text] : given) {
            std::string error;
            auto f = MirrorFilterOption(option, text, error);
            EXPECT_TRUE(f && error.empty()) << option << " " << text << ": " << error;
            if (f) out.push_back(*f);
        }
        return out;
    };
    const auto x = filters({{"-X", "*.o"}, {"--include-glob", "keep.o"}});
    EXPECT_TRUE(MirrorExcludes(x, "src/a.o", false));
    EXPECT_FALSE(MirrorExcludes(x, "src/keep.o", false)) << "a later include wins";
    EXPECT_FALSE(MirrorExcludes(x, "src/a.c", false));
    // Starting with an include leaves out what no filter names, but never a directory.
    const auto only = filters({{"-I", "*.c"}});
    EXPECT_FALSE(MirrorExcludes(only, "src/a.c", false));
    EXPECT_TRUE(MirrorExcludes(only, "src/a.h", false));
    EXPECT_FALSE(MirrorExcludes(only, "src/", true));
    // A regex on the whole path, directories with their '/'; a glob with '/' on the path.
    const auto rx = filters({{"--exclude", "^build/"}, {"-X", "doc/*.tmp"}});
    EXPECT_TRUE(MirrorExcludes(rx, "build/", true));
    EXPECT_FALSE(MirrorExcludes(rx, "src/build", false));
    EXPECT_TRUE(MirrorExcludes(rx, "doc/x.tmp", false));
    EXPECT_FALSE(MirrorExcludes(rx, "x.tmp", false));
    EXPECT_TRUE(MirrorExcludes(filters({{"-X", ".git/"}}), ".git/", true));
    std::string error;
    EXPECT_TRUE(MirrorFilterOption("-x", "(", error).has_value());
    EXPECT_THAT(error, HasSubstr("no regular expression"));
    EXPECT_FALSE(MirrorFilterOption("--delete", "x", error).has_value());
}

TEST(TarselFtpMirrorPlan, MgetTakesMatchingFilesAndCountsTheDirectoriesItSkips) {
    const std::vector<RemoteEntry> remote = {
        Remote("type=dir; a-dir"), Remote("type=file;size=1; a.txt"), Remote("type=file; .a-hidden"),
        Remote("type=OS.unix=slink:x; a-link"), Remote("type=file; b.txt"), Remote("type=dir; a2"),
        Remote("type=file; a/../x"),
    };
    const MgetPlan plan = PlanMget(remote, "a*");
    std::vector<std::string> names;
    for (const RemoteEntry& e : plan.files) names.push_back(e.name);
    EXPECT_THAT(names, ElementsAre("a.txt", "a-link"));
    EXPECT_EQ(plan.skippedDirectories, 2u);
    EXPECT_EQ(plan.skippedUnsafe, 1u);
}

}  // namespace
}  // namespace tarselftp
