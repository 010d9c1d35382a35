#include "support/fake_soquet.h"

#include <cstdio>
#include <memory>
#include <utility>

namespace tarselctl {

namespace {

// Wide arguments go to the log as UTF-8 with their control characters made visible, so a
// stray CR LF in a host name shows up in a failed expectation instead of breaking the line.
std::string LogText(const String& text) {
    std::string out;
    for (char c : ToUtf8(text)) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            out += FakeSoquet::Escape(std::string_view(&c, 1));
        else
            out += c;
    }
    return out;
}

// The real component's rule: decimal digits with blanks around them, at most 65535.
// Returns -1 for anything else.
long ParsePort(const String& port) {
    std::size_t begin = 0, end = port.size();
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(port[begin])) ++begin;
    while (end > begin && blank(port[end - 1])) --end;
    if (begin == end || end - begin > 5) return -1;
    long value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (port[i] < u'0' || port[i] > u'9') return -1;
        value = value * 10 + (port[i] - u'0');
    }
    return value <= 65535 ? value : -1;
}

}  // namespace

FakeSoquet::FakeSoquet(std::string name, std::vector<std::string>* callLog)
    : name_(std::move(name)), log_(callLog ? callLog : &ownLog_) {}

FakeSoquet::~FakeSoquet() {
    if (onDestroyed) onDestroyed();
}

std::string FakeSoquet::Escape(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (b < 0x20 || b >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

void FakeSoquet::Log(std::string line) { log_->push_back(name_ + "." + std::move(line)); }

void FakeSoquet::SetEvents(SoquetEvents* sink) { sink_ = sink; }

void FakeSoquet::ConnectTo(const String& host, const String& port, const String& localPort) {
    Log("ConnectTo(" + LogText(host) + "," + LogText(port) + "," + LogText(localPort) + ")");
    if (throwOnConnect) throw AutomationError(errorNumber, u"Soquet", errorDescription);
    if (ParsePort(port) < 1)
        throw AutomationError(kBadPortError, u"Soquet", u"Invalid port number");
    if (!EndCurrent()) return;
    state_ = State::Connecting;
    isClosed = True;
}

void FakeSoquet::Listen(const String& port) {
    Log("Listen(" + LogText(port) + ")");
    StartListening(port);
}

void FakeSoquet::ListenAt(const String& host, const String& port) {
    Log("ListenAt(" + LogText(host) + "," + LogText(port) + ")");
    StartListening(port);
}

void FakeSoquet::StartListening(const String& port) {
    const long number = ParsePort(port);
    if (number < 0) throw AutomationError(kBadPortError, u"Soquet", u"Invalid port number");
    if (!EndCurrent()) return;
    localPort = 0;
    if (throwOnListen) throw AutomationError(errorNumber, u"Soquet", errorDescription);
    localPort = number == 0 ? freePort : static_cast<Long>(number);
    state_ = State::Listening;
    isClosed = True;
}

void FakeSoquet::Accept(Long requestId) {
    Log("Accept(" + std::to_string(requestId) + ")");
    if (!EndCurrent()) return;
    state_ = State::Connecting;
    accepted_ = true;
    isClosed = False;
}

bool FakeSoquet::EndCurrent() {
    const bool hadConnection = state_ == State::Connecting || state_ == State::Connected;
    closeNotified_ = false;
    // Closed before the event runs: a handler that closes again must not raise a second one.
    state_ = State::Idle;
    secured = false;
    tlsRequested = false;
    accepted_ = false;
    isClosed = True;
    requests_.clear();
    if (!hadConnection || !sink_) return true;
    std::weak_ptr<char> life = life_;
    sink_->OnClosed();
    // A handler that destroyed the instance, or started something new on it, has the last word.
    return !life.expired() && state_ == State::Idle;
}

void FakeSoquet::CloseSocket() {
    Log("CloseSocket");
    EndCurrent();
}

String FakeSoquet::get_RequestHost(Long requestId) const {
    if (state_ != State::Listening) return String();
    const auto it = requests_.find(requestId);
    return it == requests_.end() ? String() : it->second;
}

void FakeSoquet::Send(const std::string& data) {
    Log("Send(" + Escape(data) + ")");
    sent += data;
    sends.push_back(data);
    if (sendBlocksUntilDone) sendReady = False;
}

void FakeSoquet::put_SetupPhase(Boolean value) {
    Log("SetupPhase(" + std::to_string(value) + ")");
}

std::vector<std::string> FakeSoquet::SentLines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t at; (at = sent.find("\r\n", start)) != std::string::npos; start = at + 2)
        lines.push_back(sent.substr(start, at - start));
    if (start < sent.size()) lines.push_back(sent.substr(start));
    return lines;
}

void FakeSoquet::ClearSent() {
    sent.clear();
    sends.clear();
}

void FakeSoquet::StartTls(const TlsClientSettings& settings, const Soquet* resumeFrom) {
    Log("StartTls(" + settings.serverName + (settings.verify ? ",verify" : ",noverify") +
        (settings.caFile.empty() ? "" : "," + settings.caFile) +
        (resumeFrom ? ",resume" : "") + ")");
    tlsSettings = settings;
    tlsResumeFrom = resumeFrom;
    tlsRequested = true;
}

void FakeSoquet::Secure() {
    if (!sink_) return;
    secured = true;
    sink_->OnSecured();
}

void FakeSoquet::Connect() {
    if (!sink_) return;
    state_ = State::Connected;
    isClosed = False;
    sink_->OnConnected();
}

void FakeSoquet::Receive(std::string_view bytes) {
    if (!sink_) return;
    std::string data(bytes);
    sink_->OnReceived(data);
}

void FakeSoquet::ReceiveBytes(std::string_view bytes) {
    if (!sink_) return;
    ByteArray data(bytes.begin(), bytes.end());
    sink_->OnReceivedBytes(data);
}

void FakeSoquet::SendDone() {
    if (!sink_) return;
    sendReady = True;
    sink_->OnSendDone();
}

void FakeSoquet::Close() {
    if (!sink_) return;
    closeNotified_ = secured && peerCloseNotify;
    state_ = State::Idle;
    secured = false;
    tlsRequested = false;
    accepted_ = false;
    isClosed = True;
    sink_->OnClosed();
}

void FakeSoquet::AcceptRequest(Long requestId, String peerHost) {
    if (!sink_) return;
    requests_[requestId] = std::move(peerHost);
    std::weak_ptr<char> life = life_;
    sink_->OnAcceptRequest(requestId);
    // A request nobody took is closed once announced.
    if (!life.expired()) requests_.erase(requestId);
}

void FakeSoquet::Error(Long number, const String& text1, const String& text2) {
    if (!sink_) return;
    sink_->OnError(number, text1, text2);
}

void FakeSoquet::Diagnostic(const String& text) {
    if (!sink_) return;
    sink_->OnDiagnostic(text);
}

}  // namespace tarselctl
