// mget as a job of its own: made from the typed command, it owns where the files go, whether
// they resume and over how many connections; a pattern's listing is one of its steps, and its
// end gives the downloads of the names that match.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"

namespace tarselftp {

class MgetJob {
public:
    /// Where the job is: listing the directories of its patterns, or only fetching.
    enum class State { Listing, Fetching };

    /// What the job needs of the session that runs it.
    class Host {
    public:
        virtual ~Host() = default;
        /// A line for standard output.
        virtual void MgetNote(const std::string& line) = 0;
        /// A line on standard error that fails nothing.
        virtual void MgetWarn(const std::string& line) = 0;
        /// A failure on this side.
        virtual void MgetFail(const std::string& text) = 0;
    };

    /// `typed` is the mget command as parsed.
    MgetJob(const Command& typed, std::uint64_t id, Host& host);

    std::uint64_t Id() const { return id_; }
    State Now() const { return state_; }

    /// The steps it starts with: a download for each name without a pattern, a listing of
    /// the directory of each one with a pattern, in the order typed.
    std::vector<Command> FirstSteps();
    /// A pattern's listing (MLSD's or LIST's lines): the downloads of the files that match.
    std::vector<Command> Listed(const Command& step, const std::vector<std::string>& lines, bool mlsd);

private:
    Command Download(const std::string& remote, const std::string& name) const;

    std::uint64_t id_;
    Host& host_;
    State state_ = State::Fetching;
    std::vector<std::string> names_;
    std::vector<bool> literal_;
    std::string into_;
    bool resume_;
    int connections_;
    std::size_t listingsLeft_ = 0;
};

}  // namespace tarselftp
