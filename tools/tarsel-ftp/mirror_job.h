// mirror as a job of its own: made from the typed command, it owns its options, where it is
// and what it has done; the session runs the steps it hands back and reports their ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "mirror_plan.h"

namespace tarselftp {

class ParallelRun;

/// The time of an MDTM reply ("213 20200102030405", perhaps with fractions), UTC.
std::optional<std::int64_t> MdtmTime(const std::vector<std::string>& replies);

/// One mirror, in either direction, over the session's connection or (-P N) with its files
/// moved by a run of N more. The walk goes one directory at a time: each listing is a step
/// the session runs, and its end gives the steps of that directory's entries (sub-listings,
/// MDTM questions, transfers), so that a tree of any size is never held whole.
class MirrorJob {
public:
    /// Where the job is: learning the directory it starts from, walking, or over (its
    /// summary printed, or cut short).
    enum class State { Start, Walking, Done };

    /// What the job needs of the session that runs it.
    class Host {
    public:
        virtual ~Host() = default;
        /// Dry-run decisions and other lines for standard output.
        virtual void MirrorOut(const std::string& text) = 0;
        /// A line on standard error that fails nothing.
        virtual void MirrorWarn(const std::string& line) = 0;
        /// A failure on this side; the mirror goes on with its other entries.
        virtual void MirrorFail(const std::string& subject, const std::string& text) = 0;
        /// What FEAT offered: MDTM to learn a time, MFMT to set one.
        virtual bool MirrorCanAskTime() const = 0;
        virtual bool MirrorCanSetTime() const = 0;
        /// Whether the files can move over more connections than the session's.
        virtual bool MirrorCanRunParallel() const = 0;
        /// The run that moves the files of mirror -P, made at its first file.
        virtual ParallelRun& MirrorRun(int connections, std::uint64_t job) = 0;
        /// The steps of `job` that an MDTM asked on one of the run's connections leads to.
        virtual void MirrorTimeAnswered(std::uint64_t job, const Command& step, std::optional<std::int64_t> time) = 0;
        /// A remote directory the source lacks, removed as rm -r removes one: known by a
        /// listing that shows links, so that a link is deleted as a link.
        virtual void MirrorRemoveDirectory(const std::string& parent, const std::string& name) = 0;
    };

    /// `typed` is the mirror command as parsed (defaults filled in).
    MirrorJob(const Command& typed, std::uint64_t id, Host& host);

    std::uint64_t Id() const { return id_; }
    State Now() const { return state_; }
    bool DryRun() const { return dryRun_; }

    /// The step that starts it: PWD, whose directory relative names are resolved against and
    /// which the mirror goes back to at the end.
    Command FirstStep() const;
    /// PWD answered with `pwdText`: the steps of the walk and, last, the way back (the step
    /// that ends the job, which an interrupt does not drop). Nothing when the reply names no
    /// directory.
    std::optional<std::vector<Command>> Started(const std::string& pwdText);
    /// Before a listing step changes into its directory: the local directory it fills is made
    /// (or checked) one level at a time below the target, so that a link already inside it
    /// cannot take the files elsewhere. The error, or "".
    std::string BeforeListing(const Command& step) const;
    /// A listing step's lines (MLSD's or LIST's): the steps of its entries.
    std::vector<Command> Listed(const Command& step, const std::vector<std::string>& lines, bool mlsd);
    /// The end of an MDTM step (or a question of the run's): the file decided again with the
    /// server's time, where it told one.
    std::vector<Command> TimeAnswered(const Command& step, std::optional<std::int64_t> remoteTime);

    /// A file it copied over the session's connection, and its bytes.
    void Moved(std::uint64_t bytes) { bytes_ += bytes; }
    /// One of its entries failed; the job goes on and fails at the end.
    void EntryFailed();
    /// The run of mirror -P has ended with `failed` files failed and `moved` bytes moved.
    void RunEnded(std::uint64_t failed, std::uint64_t moved);
    bool Failed() const { return failedAny_; }
    /// The job is over: its summary line ("" for a dry run, which changes nothing).
    std::string End();

private:
    /// The steps of one decision about a file.
    void FileSteps(const MirrorDecision& d, const std::string& remotePath, const std::string& localPath,
                   const std::string& below, bool mayAskTime, std::vector<Command>& steps);
    std::vector<Command> ListedDown(const Command& step, const std::vector<std::string>& lines, bool mlsd);
    std::vector<Command> ListedUp(const Command& step, const std::vector<std::string>& lines, bool mlsd);
    Command Step(Verb verb, std::vector<std::string> args) const;
    bool Parallel() const { return connections_ > 1 && host_.MirrorCanRunParallel(); }

    std::uint64_t id_;
    Host& host_;
    State state_ = State::Start;
    // As typed: the direction, the two sides, and the options.
    bool up_;
    std::string remote_;
    std::string local_;
    MirrorOptions options_;
    bool dryRun_;
    int connections_;
    // What it has done, for the summary: files it set out to copy (new, updated), entries
    // removed, failures, bytes moved.
    std::uint64_t fresh_ = 0, updated_ = 0, removed_ = 0, failed_ = 0, bytes_ = 0;
    bool failedAny_ = false;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace tarselftp
