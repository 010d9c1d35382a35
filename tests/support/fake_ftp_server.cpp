#include "support/fake_ftp_server.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace tarselctl {

namespace {

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool Open(const FakeSoquet* s) { return s && s->state() == FakeSoquet::State::Connected; }

}  // namespace

FakeSoquet* FakeFtpServer::Socket(std::size_t index) const {
    return index < platform_.soquets.size() ? platform_.soquets[index] : nullptr;
}

bool FakeFtpServer::Run(std::size_t limit) {
    for (std::size_t step = 0; step < limit; ++step) {
        React();
        CheckDataConnection();
        if (!platform_.RunPosted()) return true;
    }
    return false;
}

void FakeFtpServer::React() {
    const auto& calls = platform_.calls;
    if (callsSeen_ > calls.size()) callsSeen_ = 0;
    for (; callsSeen_ < calls.size(); ++callsSeen_) {
        const std::string call = calls[callsSeen_];
        FakeSoquet* control = Socket(0);
        FakeSoquet* data = Socket(2);
        if (StartsWith(call, "Soquet1.ConnectTo(")) {
            // A new connection: whatever the last one left is gone.
            commandBuffer_.clear();
            transfer_ = Transfer::None;
            transferWord_.clear();
            dataUp_ = false;
            platform_.posted.push_back([this] {
                FakeSoquet* s = Socket(0);
                if (s && s->state() == FakeSoquet::State::Connecting) s->Connect();
            });
            Reply("220 fake server ready");
        } else if (StartsWith(call, "Soquet1.Send(") && control) {
            if (controlSendsSeen_ >= control->sends.size()) continue;
            commandBuffer_ += control->sends[controlSendsSeen_++];
            for (std::size_t end; (end = commandBuffer_.find("\r\n")) != std::string::npos;) {
                const std::string line = commandBuffer_.substr(0, end);
                commandBuffer_.erase(0, end + 2);
                lines.push_back(line);
                OnCommand(line);
            }
            platform_.posted.push_back([this] {
                if (Open(Socket(0))) Socket(0)->SendDone();
            });
        } else if (StartsWith(call, "Soquet3.ConnectTo(") || StartsWith(call, "Soquet3.Accept(")) {
            platform_.posted.push_back([this] {
                FakeSoquet* s = Socket(2);
                if (s && s->state() == FakeSoquet::State::Connecting) {
                    s->Connect();
                    if (Open(Socket(2))) DataUp();
                } else if (transfer_ != Transfer::None && !dataUp_) {
                    // The client gave up the data connection before it was made.
                    transfer_ = Transfer::None;
                    transferWord_.clear();
                    Reply("425 Can't open data connection");
                }
            });
        } else if (StartsWith(call, "Soquet3.Send(") && data) {
            if (dataSendsSeen_ >= data->sends.size()) continue;
            uploaded_ += data->sends[dataSendsSeen_++];
            platform_.posted.push_back([this] {
                if (Open(Socket(2))) Socket(2)->SendDone();
            });
        } else if (StartsWith(call, "Soquet3.CloseSocket")) {
            // The client closed the data connection: the end of an upload, or a download
            // broken off.
            if (transfer_ != Transfer::None && dataUp_) EndTransfer(transfer_ == Transfer::Upload);
            dataUp_ = false;
        }
    }
}

void FakeFtpServer::CheckDataConnection() {
    if (transfer_ == Transfer::None || !dataUp_) return;
    const FakeSoquet* data = Socket(2);
    if (data && data->state() != FakeSoquet::State::Idle) return;
    // The connection broke under the server (an error, not the client's close).
    dataUp_ = false;
    EndTransfer(false);
}

void FakeFtpServer::OnCommand(const std::string& line) {
    std::string word = line.substr(0, line.find(' '));
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string argument = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
    if (const auto custom = replies.find(word); custom != replies.end()) {
        Reply(custom->second);
    } else if (word == "RETR" && !downloads.empty() && !downloads.count(argument)) {
        Reply("550 No such file");
    } else if (word == "SIZE" && answerSize) {
        const auto stored = files.find(argument);
        const auto found = downloads.find(argument);
        if (stored != files.end()) Reply("213 " + std::to_string(stored->second.size()));
        else if (found == downloads.end() && !downloads.empty()) Reply("550 No such file");
        else Reply("213 " + std::to_string(found != downloads.end() ? found->second.size() : file.size()));
    } else if (word == "USER") {
        Reply("331 Password required");
    } else if (word == "PASS" || word == "ACCT") {
        Reply("230 Logged in");
    } else if (word == "TYPE" || word == "NOOP") {
        Reply("200 OK");
    } else if (word == "REST") {
        restOffset_ = std::strtoull(argument.c_str(), nullptr, 10);
        Reply("350 Restarting");
    } else if (word == "CWD") {
        cwd_ = argument;
        Reply("250 Directory changed");
    } else if (word == "PWD") {
        Reply("257 \"/\" is the current directory");
    } else if (word == "QUIT") {
        Reply("221 Goodbye");
        platform_.posted.push_back([this] {
            if (Open(Socket(0))) Socket(0)->Close();
        });
    } else if (word == "PASV") {
        passive_ = true;
        dataUp_ = false;
        Reply("227 Entering Passive Mode (127,0,0,1,39,16).");
    } else if (word == "PORT") {
        passive_ = false;
        dataUp_ = false;
        Reply("200 PORT command successful");
    } else if (word == "LIST" || word == "NLST" || word == "MLSD" || word == "RETR" || word == "STOR" ||
               word == "APPE") {
        ++transferId_;
        transferWord_ = word;
        transferName_ = argument;
        transferOffset_ = word == "RETR" && honourRest ? restOffset_ : 0;
        restSeen_ = restOffset_;
        restOffset_ = 0;
        transfer_ = word == "STOR" || word == "APPE" ? Transfer::Upload : Transfer::Download;
        uploaded_.clear();
        if (passive_) {
            if (dataUp_) BeginTransfer();
            return;
        }
        // Active mode: the server connects to the client's listener; the client accepts it
        // from inside the announcement, or not at all.
        platform_.posted.push_back([this] {
            FakeSoquet* listener = Socket(1);
            if (transfer_ == Transfer::None) return;
            if (listener && listener->state() == FakeSoquet::State::Listening) {
                listener->AcceptRequest(7);
                const FakeSoquet* data = Socket(2);
                if (data && data->state() != FakeSoquet::State::Idle) return;
            }
            transfer_ = Transfer::None;
            transferWord_.clear();
            Reply("425 Can't open data connection");
        });
    } else {
        Reply("502 Command not implemented");
    }
}

void FakeFtpServer::Reply(const std::string& line) {
    platform_.posted.push_back([this, text = line + "\r\n"] {
        if (Open(Socket(0))) Socket(0)->Receive(text);
    });
}

void FakeFtpServer::DataUp() {
    dataUp_ = true;
    if (transfer_ != Transfer::None) BeginTransfer();
}

void FakeFtpServer::BeginTransfer() {
    Reply(opening);
    if (transfer_ != Transfer::Download) return;
    const auto& named = transferWord_ == "RETR" ? downloads : listings;
    const auto found = named.find(transferName_.empty() && transferWord_ != "RETR" ? cwd_ : transferName_);
    const std::string whole = found != named.end() ? found->second
                              : transferWord_ == "RETR" ? file
                                                        : listing;
    std::string content = whole.substr(std::min<std::size_t>(transferOffset_, whole.size()));
    if (sendLimit && transferWord_ == "RETR")
        content.resize(std::min(content.size(), sendLimit(transferName_, restSeen_)));
    const unsigned id = transferId_;
    for (std::size_t at = 0; at < content.size(); at += piece) {
        platform_.posted.push_back([this, id, bytes = content.substr(at, piece)] {
            if (transfer_ != Transfer::Download || transferId_ != id || !Open(Socket(2))) return;
            if (onData) onData(bytes);
            Socket(2)->Receive(bytes);
        });
    }
    platform_.posted.push_back([this, id] {
        if (transfer_ != Transfer::Download || transferId_ != id || !Open(Socket(2))) return;
        // Everything is out: the server closes, then confirms.
        transfer_ = Transfer::None;
        transferWord_.clear();
        dataUp_ = false;
        Socket(2)->Close();
        Reply("226 Transfer complete");
    });
}

void FakeFtpServer::EndTransfer(bool complete) {
    if (complete && transfer_ == Transfer::Upload && keepLimit)
        uploaded_.resize(std::min(uploaded_.size(), keepLimit(transferName_)));
    if (complete && transfer_ == Transfer::Upload) {
        if (transferWord_ == "APPE") files[transferName_] += uploaded_;
        else files[transferName_] = uploaded_;
    }
    const bool cutDownload = !complete && transfer_ == Transfer::Download;
    transfer_ = Transfer::None;
    transferWord_.clear();
    uploaded_.clear();
    if (cutDownload && silentAfterCut) return;
    Reply(complete ? "226 Transfer complete" : cutReply);
}

}  // namespace tarselctl
