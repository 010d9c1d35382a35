#include "support/event_rules.h"

#include <cstdio>

#include "support/fake_soquet.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {

namespace {

// Trail lines stay short and printable whatever the server sent: a megabyte of listing or
// an escape sequence would make a report unreadable.
constexpr std::size_t kTrailText = 120;

std::string Shown(const String& text) {
    std::string shown;
    // Cut first: a flood may hand over a megabyte of text.
    for (char c : ToUtf8(std::u16string_view(text).substr(0, kTrailText + 1))) {
        if (shown.size() >= kTrailText) return shown + "...";
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            shown += hex;
        } else {
            shown += c;
        }
    }
    return shown;
}

const char* KindName(int kind) {
    switch (kind) {
        case 1: return "Get";
        case 2: return "Put";
        case 3: return "Dir";
        default: return "no";
    }
}

// Listing text is compared with its bytes only while the two cannot differ: plain ASCII
// passes every code conversion unchanged.
bool PlainAscii(std::string_view bytes) {
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b != '\t' && b != '\r' && b != '\n' && (b < 0x20 || b > 0x7E)) return false;
    }
    return true;
}

// Where a listing is cut into lines is the control's business (CR LF, perhaps bare LF); what
// the host must get is every character, in order.
std::string WithoutLineEnds(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

}  // namespace

std::string EventRules::Trail() const {
    std::string out;
    for (const auto& line : trail_) out += "  " + line + "\n";
    return out;
}

void EventRules::Record(std::string line) {
    // A connection the rules have not seen begin (Connect called with no Sample after it)
    // is found from the control's state as the first event of it arrives.
    if (link_ == Link::None) Sample();
    ++events_;
    trail_.push_back(std::move(line));
    while (trail_.size() > trailLength) trail_.pop_front();
}

void EventRules::Note(std::string line) {
    trail_.push_back("# " + std::move(line));
    while (trail_.size() > trailLength) trail_.pop_front();
}

void EventRules::Violation(const std::string& rule, const std::string& detail) {
    violations.push_back(rule + ": " + detail + "\n" + Trail());
}

bool EventRules::Running() const { return !ftpCommand_.empty() && ftpCommand_ != "DONE"; }

void EventRules::Sample() {
    if (!control_) return;
    pendingReads_.push_back(StateRead{tarselInspector::EventsPosted(*control_), control_->IsIdle() != False,
                                      ToUtf8(control_->get_FtpCommand())});
    ApplyDueReads();
}

void EventRules::ApplyDueReads() {
    const std::uint64_t delivered = tarselInspector::EventsDelivered(*control_);
    while (!pendingReads_.empty() && pendingReads_.front().posted <= delivered) {
        const StateRead read = std::move(pendingReads_.front());
        pendingReads_.pop_front();
        Apply(read);
    }
}

void EventRules::Apply(const StateRead& read) {
    idle_ = read.idle;
    const std::string before = ftpCommand_;
    ftpCommand_ = read.ftpCommand;
    if (idle_ && ftpCommand_ != "DONE")
        Violation("idle-state", "IsIdle is true while FtpCommand is \"" + ftpCommand_ + "\"");
    if (ftpCommand_.empty() && idle_)
        Violation("idle-state", "idle with no connection (FtpCommand \"\")");
    // A connection begins when FtpCommand leaves "": Connect was accepted. The host may do
    // that before the old connection has reported its end (after Abend, or from inside the
    // close events of the old connection's transfer): the old one's close events and its
    // DisConnected still follow, and are its own.
    if (!ftpCommand_.empty() && (link_ == Link::None || before.empty())) {
        if (link_ != Link::None) {
            closing_ = true;
            closingOpen_ = open_;
            // The host moved on before the lost operation's end: TransError was its end.
            lostOperation_.clear();
        }
        link_ = Link::Opening;
        open_ = Kind::None;
        hadTransfer_ = false;
        transError_ = false;
    }
}

bool EventRules::OfClosingConnection(Kind kind, bool close) {
    if (!closing_ || closingOpen_ != kind || open_ == kind) return false;
    if (close) closingOpen_ = Kind::None;
    return true;
}

void EventRules::AfterEvent() { Sample(); }

void EventRules::ResetConnection() {
    link_ = Link::None;
    open_ = Kind::None;
    hadTransfer_ = false;
    transError_ = false;
}

void EventRules::RequireConnection(const char* event) {
    if (link_ == Link::None)
        Violation("after-disconnected", std::string(event) + " with no connection (after DisConnected or before Connect)");
}

void EventRules::OpenTransfer(Kind kind, const char* event) {
    RequireConnection(event);
    if (open_ != Kind::None) {
        Violation("transfer-order", std::string(event) + " while a " + KindName(static_cast<int>(open_)) +
                                        " transfer is open");
    } else if (hadTransfer_) {
        Violation("transfer-order", std::string(event) + ": a second transfer in one operation");
    } else if (control_ && !Running()) {
        Violation("transfer-order", std::string(event) + " with no operation running (FtpCommand \"" +
                                        ftpCommand_ + "\")");
    }
    open_ = kind;
    lastKind_ = kind;
    hadTransfer_ = true;
    arrived_.clear();
    delivered_.clear();
    comparable_ = true;
    supplied_.clear();
    putEnded_ = false;
    sentAtOpen_ = dataSocket ? dataSocket->sent.size() : 0;
}

void EventRules::TransferData(Kind kind, const char* event) {
    if (OfClosingConnection(kind, false)) return;
    RequireConnection(event);
    if (open_ != kind)
        Violation("transfer-order", std::string(event) + " outside its transfer (open: " +
                                        KindName(static_cast<int>(open_)) + ")");
}

void EventRules::CloseTransfer(Kind kind, const char* event) {
    if (OfClosingConnection(kind, true)) return;
    RequireConnection(event);
    if (open_ != kind) {
        Violation("transfer-order", std::string(event) + " without an open " + KindName(static_cast<int>(kind)) +
                                        " transfer (open: " + KindName(static_cast<int>(open_)) + ")");
        return;
    }
    open_ = Kind::None;
    if (!watchData) return;
    const bool compare = kind == Kind::Dir ? comparable_ && !transError_
                                           : kind == Kind::Get && compareDownloads && !transError_;
    if (!compare) return;
    const bool same = kind == Kind::Dir ? WithoutLineEnds(arrived_) == WithoutLineEnds(delivered_)
                                        : arrived_ == delivered_;
    if (!same)
        Violation("lost-data", std::string(event) + ": " + std::to_string(arrived_.size()) +
                                   " bytes arrived, the host was handed " +
                                   std::to_string(delivered_.size()));
}

void EventRules::DataArrived(std::string_view bytes) {
    if (open_ != Kind::Get && open_ != Kind::Dir) return;
    arrived_.append(bytes);
    if (open_ == Kind::Dir && !PlainAscii(bytes)) comparable_ = false;
}

void EventRules::PutAnswered(const ByteArray& data) {
    if (data.empty() || (data.size() == 1 && data[0] == 0)) {
        putEnded_ = true;
        return;
    }
    supplied_.append(data.begin(), data.end());
}

void EventRules::Trace(const String& msg) {
    Record("Trace(" + Shown(msg) + ")");
    // Diagnostic texts ("---Soquet1:...", "---timer2:timeout:1") are no part of the dialogue
    // and may come at any time (a connect time-out outlives a Connect that failed at once);
    // every other trace is a line of a connection.
    if (msg.rfind(u"---", 0) != 0) RequireConnection("Trace");
    AfterEvent();
}

void EventRules::Connected() {
    Record("Connected");
    // Without the control to read, Connected is where the rules see a connection begin.
    if (link_ == Link::None && control_)
        Violation("connection-order", "Connected with no connection being opened");
    else if (link_ == Link::Connected)
        Violation("connection-order", "Connected twice in one connection");
    link_ = Link::Connected;
    AfterEvent();
}

void EventRules::DisConnected(Long code, const String& msg) {
    Record("DisConnected(" + std::to_string(code) + "," + Shown(msg) + ")");
    if (!lostOperation_.empty())
        Violation("operation-order", "DisConnected before the CommandDone of \"" + lostOperation_ +
                                         "\", lost with the connection");
    lostOperation_.clear();
    if (closing_) {
        // The end of the connection the host had already replaced.
        if (closingOpen_ != Kind::None)
            Violation("transfer-order", std::string("DisConnected before the close of the open ") +
                                            KindName(static_cast<int>(closingOpen_)) + " transfer");
        closing_ = false;
        closingOpen_ = Kind::None;
        AfterEvent();
        return;
    }
    if (link_ == Link::None)
        Violation("connection-order", "DisConnected with no connection");
    if (open_ != Kind::None)
        Violation("transfer-order", std::string("DisConnected before the close of the open ") +
                                        KindName(static_cast<int>(open_)) + " transfer");
    ResetConnection();
    AfterEvent();
}

void EventRules::CommandDone(Integer code, const String& FtpCommand, const String& msg) {
    const std::string name = ToUtf8(FtpCommand);
    Record("CommandDone(" + std::to_string(code) + "," + Shown(FtpCommand) + "," + Shown(msg) + ")");
    RequireConnection("CommandDone");
    if (open_ != Kind::None)
        Violation("transfer-order", std::string("CommandDone before the close of the open ") +
                                        KindName(static_cast<int>(open_)) + " transfer");
    if (control_) {
        // A reply on an idle connection ends the idle "DONE" state as an operation of its own.
        const bool strayReply = name == "DONE" && idle_;
        // The operation cut off by the loss of its connection ends after the close was
        // counted, when FtpCommand already reads "".
        const bool lostOperation = code == -1 && !lostOperation_.empty() && name == lostOperation_;
        if (!strayReply && !lostOperation && !(Running() && name == ftpCommand_))
            Violation("operation-order", "CommandDone for \"" + name + "\" while the running operation is \"" +
                                             ftpCommand_ + "\"");
        // The end is known from the event itself: a state read taken later may stand for
        // events still on their way, and says nothing of the state between them.
        if (!lostOperation) {
            ftpCommand_ = "DONE";
            idle_ = true;
        }
        lostOperation_.clear();
    }
    // An upload may be reported as a success only when its data connection opened, the host
    // ended it, and every byte it supplied went out.
    if (watchData && code == 0 && (name == "PutFile" || name == "AppendFile") && !transError_) {
        if (!hadTransfer_ || lastKind_ != Kind::Put) {
            Violation("false-success", "an upload whose data connection never opened was reported as a success");
        } else if (!putEnded_) {
            Violation("false-success", "an upload the host had not ended was reported as a success");
        } else if (dataSocket && compareUploads) {
            const std::string& sent = dataSocket->sent;
            const std::string out = sentAtOpen_ <= sent.size() ? sent.substr(sentAtOpen_) : sent;
            if (out != supplied_)
                Violation("false-success", "an upload reported as a success sent " + std::to_string(out.size()) +
                                               " of the " + std::to_string(supplied_.size()) +
                                               " bytes the host supplied");
        }
    }
    hadTransfer_ = false;
    transError_ = false;
    AfterEvent();
}

void EventRules::GetOpen(const String& SaveFileName) {
    Record("GetOpen(" + Shown(SaveFileName) + ")");
    OpenTransfer(Kind::Get, "GetOpen");
    AfterEvent();
}

void EventRules::GetData(ByteArray& Data) {
    Record("GetData(" + std::to_string(Data.size()) + ")");
    TransferData(Kind::Get, "GetData");
    if (open_ == Kind::Get) delivered_.append(Data.begin(), Data.end());
    AfterEvent();
}

void EventRules::GetClose() {
    Record("GetClose");
    CloseTransfer(Kind::Get, "GetClose");
    AfterEvent();
}

void EventRules::PutOpen(const String& LoadFileName) {
    Record("PutOpen(" + Shown(LoadFileName) + ")");
    OpenTransfer(Kind::Put, "PutOpen");
    AfterEvent();
}

void EventRules::PutData(ByteArray& Data) {
    (void)Data;
    Record("PutData");
    TransferData(Kind::Put, "PutData");
    if (putEnded_ && open_ == Kind::Put)
        Violation("transfer-order", "PutData after the host ended the upload");
    AfterEvent();
}

void EventRules::PutClose() {
    Record("PutClose");
    CloseTransfer(Kind::Put, "PutClose");
    AfterEvent();
}

void EventRules::DirOpen() {
    Record("DirOpen");
    OpenTransfer(Kind::Dir, "DirOpen");
    AfterEvent();
}

void EventRules::DirData(String& Data) {
    Record("DirData(" + Shown(Data) + ")");
    TransferData(Kind::Dir, "DirData");
    if (open_ == Kind::Dir) delivered_ += ToUtf8(Data);
    AfterEvent();
}

void EventRules::DirClose() {
    Record("DirClose");
    CloseTransfer(Kind::Dir, "DirClose");
    AfterEvent();
}

void EventRules::TransError(Long Ecode, const String& Description, const String& Where) {
    Record("TransError(" + std::to_string(Ecode) + "," + Shown(Description) + "," + Shown(Where) + ")");
    RequireConnection("TransError");
    if (control_ && !Running())
        Violation("operation-order", "TransError with no operation running (FtpCommand \"" + ftpCommand_ + "\")");
    if (Ecode == -7) lostOperation_ = ftpCommand_;
    transError_ = true;
    AfterEvent();
}

std::string CommandBytesProblem(std::string_view sent) {
    if (sent.empty()) return "an empty Send";
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const char c = sent[i];
        if (c == '\0') return "a NUL inside a command line";
        if (c == '\r' && (i + 1 >= sent.size() || sent[i + 1] != '\n'))
            return "a CR that ends no line";
        if (c == '\n' && (i == 0 || sent[i - 1] != '\r')) return "an LF that ends no line";
    }
    if (sent.size() < 2 || sent.substr(sent.size() - 2) != "\r\n")
        return "a Send that does not end with CR LF";
    return "";
}

void WireRules::Check(const FakeSoquet& controlSocket, std::vector<std::string>& into) {
    const auto& sends = controlSocket.sends;
    if (seen_ > sends.size()) seen_ = 0;
    for (; seen_ < sends.size(); ++seen_) {
        const std::string problem = CommandBytesProblem(sends[seen_]);
        if (!problem.empty())
            into.push_back("wire: " + problem + ": " + FakeSoquet::Escape(sends[seen_].substr(0, 200)));
    }
}

std::size_t BufferedBytes(tarsel& control) {
    std::size_t total = 2 * tarselInspector::ReplyBuffer(control).size() +
                        2 * tarselInspector::SendPending(control).size() +
                        tarselInspector::DirBuffer(control).size() +
                        tarselInspector::GetRemainder(control).size();
    for (const String& line : tarselInspector::Queue(control)) total += 2 * line.size();
    return total;
}

}  // namespace tarselctl
