// Checks that what a host sees of the control is well formed, event by event.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <tarsel/tarsel.h>

namespace tarselctl {

class FakeSoquet;

/// Event sink that checks, after every event, the order guarantees a host builds on:
///
///  - transfers: per transfer GetOpen / PutOpen / DirOpen, then any number of its data
///    events, then exactly one close event; nothing of the transfer after its close, no
///    second open before the close, at most one transfer per operation;
///  - operations: CommandDone only for an operation that runs (or, on an idle connection,
///    the stray reply that ends the idle "DONE" state), and never while a transfer is open;
///  - connections: Connected at most once per connection; DisConnected only for a
///    connection, after every close event of it, and then nothing of that connection
///    (diagnostic traces, which begin with "---", aside);
///  - the control's own state, read after each event and at Sample(): idle means
///    FtpCommand "DONE", and FtpCommand "" (no connection) means not idle. Events wait in
///    the control's outbox while the state has already moved on, so a state read is taken
///    as true once the events posted before it have been seen;
///  - data: what a download or listing hands to the host at its close is what arrived on
///    the data connection (when that is checkable: see DataArrived), and an upload reported
///    as a success was ended by the host and sent whole.
///
/// The rules never throw: every broken rule is kept in `violations` with the recent events
/// (`Trail()`), so a fuzzer can report it and a test can print it.
///
/// Advise it first, before any sink that calls back into the control: events reach sinks in
/// the order they were advised, and the rules must see each event before a host reacts.
class EventRules : public tarselEvents {
public:
    /// `control`, when given, is read after each event and at Sample(). Without it only the
    /// order of the events is checked.
    explicit EventRules(const tarsel* control = nullptr) : control_(control) {}

    // ---- what the test tells the rules
    /// The host has called into the control, or the test has run a step: reads the
    /// control's state again (a connection begins when FtpCommand leaves "").
    void Sample();
    /// `bytes` are about to be delivered on the data connection. Counted against the open
    /// download or listing (none open: ignored) and compared with what the host was handed
    /// at its close, when `watchData` is set. Listings are compared only while every byte
    /// is printable ASCII, TAB, CR or LF, since converted text differs from its bytes.
    void DataArrived(std::string_view bytes);
    /// Adds a line of the test's own to the trail ("host: Abort()"), to show in a report
    /// what happened between the events. No rule looks at it.
    void Note(std::string line);
    /// Set by a test that reports every arrival with DataArrived and every answer to PutData
    /// with PutAnswered; only then is data compared and an upload's success questioned.
    bool watchData = false;
    /// Downloads are compared byte for byte only while this is true (FileCode "BIN").
    bool compareDownloads = true;
    /// The host's answer to the last PutData, as it left the array. An empty array or the
    /// array of one 0 it was handed ends the upload.
    void PutAnswered(const ByteArray& data);
    /// The data connection's socket, to check that an upload reported as a success sent
    /// every byte the host supplied (BIN only: set `compareUploads` false otherwise).
    const FakeSoquet* dataSocket = nullptr;
    bool compareUploads = true;

    // ---- results
    /// Every broken rule, as "rule: detail", with the trail at that moment.
    std::vector<std::string> violations;
    bool ok() const { return violations.empty(); }
    /// The most recent events (up to `trailLength`), oldest first, one line each.
    std::string Trail() const;
    std::size_t trailLength = 40;
    /// The events seen so far.
    std::size_t eventCount() const { return events_; }

    // ---- the events
    void Trace(const String& msg) override;
    void Connected() override;
    void DisConnected(Long code, const String& msg) override;
    void CommandDone(Integer code, const String& FtpCommand, const String& msg) override;
    void GetOpen(const String& SaveFileName) override;
    void GetData(ByteArray& Data) override;
    void GetClose() override;
    void PutOpen(const String& LoadFileName) override;
    void PutData(ByteArray& Data) override;
    void PutClose() override;
    void DirOpen() override;
    void DirData(String& Data) override;
    void DirClose() override;
    void TransError(Long Ecode, const String& Description, const String& Where) override;

private:
    enum class Kind { None, Get, Put, Dir };
    enum class Link { None, Opening, Connected };

    void Record(std::string line);
    void Violation(const std::string& rule, const std::string& detail);
    void AfterEvent();
    /// Ends a connection's bookkeeping (DisConnected).
    void ResetConnection();
    /// Everything not connection-level belongs to a connection.
    void RequireConnection(const char* event);
    void OpenTransfer(Kind kind, const char* event);
    void TransferData(Kind kind, const char* event);
    void CloseTransfer(Kind kind, const char* event);
    bool Running() const;
    /// Whether a data or close event of `kind` belongs to the connection the host replaced
    /// before it reported its end; a close ends that transfer.
    bool OfClosingConnection(Kind kind, bool close);

    const tarsel* control_;
    std::deque<std::string> trail_;
    std::size_t events_ = 0;

    // The control's state as last read, and reads that wait for the events posted before
    // them to be delivered.
    struct StateRead {
        std::uint64_t posted;
        bool idle;
        std::string ftpCommand;
    };
    std::deque<StateRead> pendingReads_;
    void ApplyDueReads();
    void Apply(const StateRead& read);
    bool idle_ = false;
    std::string ftpCommand_;

    Link link_ = Link::None;
    Kind open_ = Kind::None;
    /// A connection the host replaced (Connect accepted) before its DisConnected came, and
    /// the transfer it still had open.
    bool closing_ = false;
    Kind closingOpen_ = Kind::None;
    /// A transfer has opened in the running operation.
    bool hadTransfer_ = false;
    /// A TransError came in the running operation.
    bool transError_ = false;
    /// The operation TransError(-7) said was lost with the connection; its CommandDone(-1)
    /// is due before DisConnected.
    std::string lostOperation_;

    // The open transfer's data, for the comparison at its close.
    std::string arrived_;
    std::string delivered_;
    bool comparable_ = true;
    // Uploads: what the host supplied, whether it ended, where the socket stood at the open.
    std::string supplied_;
    bool putEnded_ = false;
    Kind lastKind_ = Kind::None;
    std::size_t sentAtOpen_ = 0;
};

/// Problems with the bytes of one Send on the control connection: every Send must be whole
/// command lines, each ended by CR LF, with no other CR or LF and no NUL in them. Returns ""
/// when the bytes are sound.
std::string CommandBytesProblem(std::string_view sent);

/// Checks every Send on the control connection since the last call (see CommandBytesProblem).
/// Tolerates a socket whose record was cleared in between.
class WireRules {
public:
    /// Adds a "wire" violation to `into` for each unsound Send.
    void Check(const FakeSoquet& controlSocket, std::vector<std::string>& into);

private:
    std::size_t seen_ = 0;
};

/// Bytes the control holds in its buffers: reply text, text waiting to be sent, listing and
/// download carries, queued command lines (wide text counted as two bytes a unit).
std::size_t BufferedBytes(tarsel& control);

}  // namespace tarselctl
