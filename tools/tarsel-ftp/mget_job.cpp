#include "mget_job.h"

#include "mirror_plan.h"
#include "remote_listing.h"
#include "tree_walk.h"

namespace tarselftp {

MgetJob::MgetJob(const Command& typed, std::uint64_t id, Host& host)
    : id_(id), host_(host), names_(typed.args), literal_(typed.literal), into_(typed.intoDirectory),
      resume_(typed.resume), connections_(typed.parallel) {}

Command MgetJob::Download(const std::string& remote, const std::string& name) const {
    Command get{Verb::Get, {remote, LocalIn(into_, LocalNameFromServer(name))}};
    get.job = id_;
    // What the transfer engine reads: one connection or a run of several, resumed or not.
    get.parallel = connections_;
    get.resume = resume_;
    return get;
}

std::vector<Command> MgetJob::FirstSteps() {
    std::vector<Command> steps;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        const std::string& pattern = names_[i];
        const std::string base = BaseName(pattern);
        const bool literal = i < literal_.size() && literal_[i];
        if (literal || !HasPattern(base)) {
            steps.push_back(Download(pattern, base));
            continue;
        }
        const auto slash = pattern.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash == 0 ? 1 : slash);
        Command list{Verb::MgetList, {dir, base}};
        list.job = id_;
        steps.push_back(std::move(list));
        ++listingsLeft_;
    }
    if (listingsLeft_ > 0) state_ = State::Listing;
    return steps;
}

std::vector<Command> MgetJob::Listed(const Command& step, const std::vector<std::string>& lines, bool mlsd) {
    if (listingsLeft_ > 0 && --listingsLeft_ == 0) state_ = State::Fetching;
    const std::string& dir = step.args[0];
    const std::string& pattern = step.args[1];
    const MgetPlan plan = PlanMget(ParseRemoteListing(lines, mlsd), pattern);
    if (plan.skippedDirectories > 0)
        host_.MgetNote("mget: skipping " + std::to_string(plan.skippedDirectories) + " director" +
                       (plan.skippedDirectories == 1 ? "y" : "ies") + " (mirror copies directories)");
    if (plan.skippedUnsafe > 0)
        host_.MgetWarn("tarsel-ftp: mget: skipping " + std::to_string(plan.skippedUnsafe) +
                       " name(s) that cannot be a local file name");
    std::vector<Command> steps;
    for (const RemoteEntry& e : plan.files) {
        steps.push_back(Download(JoinRemote(dir, e.name), e.name));
        steps.back().knownSize = e.size;
    }
    if (steps.empty() && plan.skippedDirectories == 0)
        host_.MgetFail("no remote file matches '" + JoinRemote(dir, pattern) + "'");
    return steps;
}

}  // namespace tarselftp
