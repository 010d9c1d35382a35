#include "support/scripted_ftp_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

namespace tarselctl::testing {

using asio::ip::tcp;

// ---- FtpScript

FtpScript& FtpScript::Reply(const std::string& line) { return Raw(line + "\r\n"); }

FtpScript& FtpScript::Raw(const std::string& bytes) {
    steps_.push_back({Kind::Send, bytes, {}});
    return *this;
}

FtpScript& FtpScript::Pieces(const std::vector<std::string>& pieces,
                             std::chrono::milliseconds gap) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) Pause(gap);
        Raw(pieces[i]);
    }
    return *this;
}

FtpScript& FtpScript::Trickle(const std::string& bytes, std::chrono::milliseconds gap) {
    std::vector<std::string> pieces;
    for (char c : bytes) pieces.emplace_back(1, c);
    return Pieces(pieces, gap);
}

FtpScript& FtpScript::Pause(std::chrono::milliseconds span) {
    steps_.push_back({Kind::Pause, {}, span});
    return *this;
}

FtpScript& FtpScript::Close() {
    steps_.push_back({Kind::Close, {}, {}});
    return *this;
}

FtpScript& FtpScript::Reset() {
    steps_.push_back({Kind::Reset, {}, {}});
    return *this;
}

FtpScript& FtpScript::Stall() {
    steps_.push_back({Kind::Stall, {}, {}});
    return *this;
}

FtpScript& FtpScript::PassiveReply() {
    steps_.push_back({Kind::PassiveReply, {}, {}});
    return *this;
}

FtpScript& FtpScript::PassiveReplyNaming(const std::string& address) {
    steps_.push_back({Kind::PassiveReply, address, {}});
    return *this;
}

FtpScript& FtpScript::ActiveConnect() {
    steps_.push_back({Kind::ActiveConnect, {}, {}});
    return *this;
}

FtpScript& FtpScript::ActiveConnectFrom(const std::string& source) {
    steps_.push_back({Kind::ActiveConnect, source, {}});
    return *this;
}

FtpScript& FtpScript::DataSendForever(const std::string& chunk) {
    steps_.push_back({Kind::DataSendForever, chunk, {}});
    return *this;
}

FtpScript& FtpScript::DataReset() {
    steps_.push_back({Kind::DataReset, {}, {}});
    return *this;
}

FtpScript& FtpScript::AwaitData() {
    steps_.push_back({Kind::AwaitData, {}, {}});
    return *this;
}

FtpScript& FtpScript::DataSend(const std::string& bytes) {
    steps_.push_back({Kind::DataSend, bytes, {}});
    return *this;
}

FtpScript& FtpScript::DataClose() {
    steps_.push_back({Kind::DataClose, {}, {}});
    return *this;
}

FtpScript& FtpScript::AwaitDataClosed() {
    steps_.push_back({Kind::AwaitDataClosed, {}, {}});
    return *this;
}

// ---- ScriptedFtpPeer

namespace {

std::string CommandWord(const std::string& line) {
    const std::size_t end = line.find(' ');
    std::string word = line.substr(0, end);
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

void CloseQuietly(asio::ip::tcp::socket& socket) {
    asio::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

}  // namespace

ScriptedFtpPeer::ScriptedFtpPeer(asio::io_context& io)
    : io_(io),
      acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
      timer_(io) {
    greeting_.Reply("220 scripted peer ready");
    Accept();
}

ScriptedFtpPeer::~ScriptedFtpPeer() {
    life_.reset();
    asio::error_code ignored;
    timer_.cancel();
    acceptor_.close(ignored);
    if (dataAcceptor_) dataAcceptor_->close(ignored);
    if (control_) control_->close(ignored);
    if (data_) data_->close(ignored);
}

String ScriptedFtpPeer::Port() const { return FromUtf8(std::to_string(PortNumber())); }

std::uint16_t ScriptedFtpPeer::PortNumber() const { return acceptor_.local_endpoint().port(); }

void ScriptedFtpPeer::Greeting(FtpScript script) { greeting_ = std::move(script); }

void ScriptedFtpPeer::Next(FtpScript script) { next_.push_back(std::move(script)); }

void ScriptedFtpPeer::On(const std::string& word, FtpScript script) {
    byWord_[word] = std::move(script);
}

void ScriptedFtpPeer::Accept() {
    acceptor_.async_accept([this, life = std::weak_ptr<char>(life_)](const asio::error_code& ec,
                                                                     tcp::socket socket) {
        if (life.expired() || ec) return;
        // One control connection per peer: a test that reconnects makes a new peer.
        asio::error_code ignored;
        acceptor_.close(ignored);
        socket.set_option(tcp::no_delay(true), ignored);
        control_.emplace(std::move(socket));
        accepted = true;
        Read();
        StartScript(greeting_);
    });
}

void ScriptedFtpPeer::Read() {
    readBuffer_.resize(4096);
    control_->async_read_some(
        asio::buffer(readBuffer_),
        [this, life = std::weak_ptr<char>(life_)](const asio::error_code& ec, std::size_t n) {
            if (life.expired()) return;
            if (ec) {
                // A close of our own cancels the read; only the client's close counts.
                if (ec != asio::error::operation_aborted && control_->is_open()) {
                    clientClosed = true;
                    asio::error_code ignored;
                    control_->close(ignored);
                }
                AfterEvent();
                return;
            }
            received.append(readBuffer_.data(), n);
            pendingText_.append(readBuffer_.data(), n);
            TakeLines();
            Read();
        });
}

void ScriptedFtpPeer::TakeLines() {
    for (std::size_t end; (end = pendingText_.find("\r\n")) != std::string::npos;) {
        std::string line = pendingText_.substr(0, end);
        pendingText_.erase(0, end + 2);
        lines.push_back(line);
        waitingLines_.push_back(std::move(line));
    }
    if (!running_) Continue();
}

void ScriptedFtpPeer::StartScript(const FtpScript& script) {
    running_ = Running{script.Steps(), 0};
    Continue();
}

// Runs steps until one has to wait; when a script ends, the next waiting line gets its own.
void ScriptedFtpPeer::Continue() {
    for (;;) {
        if (running_) {
            if (running_->next == running_->steps.size()) {
                running_.reset();
                continue;
            }
            if (RunStep(running_->steps[running_->next])) return;
            ++running_->next;
            continue;
        }
        if (waitingLines_.empty()) return;
        const std::string line = std::move(waitingLines_.front());
        waitingLines_.pop_front();
        FtpScript script;
        if (!next_.empty()) {
            script = std::move(next_.front());
            next_.pop_front();
        } else if (auto found = byWord_.find(CommandWord(line)); found != byWord_.end()) {
            script = found->second;
        } else {
            script.Reply("502 not scripted");
        }
        running_ = Running{script.Steps(), 0};
    }
}

void ScriptedFtpPeer::StepDone() {
    if (!running_) return;
    ++running_->next;
    Continue();
}

bool ScriptedFtpPeer::RunStep(const FtpScript::Step& step) {
    using Kind = FtpScript::Kind;
    auto life = std::weak_ptr<char>(life_);
    switch (step.kind) {
        case Kind::Send:
            if (!control_ || !control_->is_open()) return false;
            writing_ = step.bytes;
            asio::async_write(*control_, asio::buffer(writing_),
                              [this, life](const asio::error_code&, std::size_t) {
                                  if (!life.expired()) StepDone();
                              });
            return true;
        case Kind::Pause:
            timer_.expires_after(step.pause);
            timer_.async_wait([this, life](const asio::error_code& ec) {
                if (!life.expired() && !ec) StepDone();
            });
            return true;
        case Kind::Close:
            if (control_) CloseQuietly(*control_);
            return false;
        case Kind::Reset:
            if (control_ && control_->is_open()) {
                asio::error_code ignored;
                control_->set_option(asio::socket_base::linger(true, 0), ignored);
                control_->close(ignored);
            }
            return false;
        case Kind::Stall:
            return true;
        case Kind::PassiveReply: {
            OpenPassive();
            const auto port = dataAcceptor_->local_endpoint().port();
            const std::string named = step.bytes.empty() ? std::string("127,0,0,1") : step.bytes;
            writing_ = "227 Entering Passive Mode (" + named + "," + std::to_string(port / 256) + "," +
                       std::to_string(port % 256) + ").\r\n";
            if (!control_ || !control_->is_open()) return false;
            asio::async_write(*control_, asio::buffer(writing_),
                              [this, life](const asio::error_code&, std::size_t) {
                                  if (!life.expired()) StepDone();
                              });
            return true;
        }
        case Kind::ActiveConnect:
            ConnectActive(step.bytes);
            return true;
        case Kind::AwaitData:
            awaiting_ = !dataAccepted;
            return awaiting_;
        case Kind::DataSend:
            if (!data_ || !data_->is_open()) return false;
            dataWriting_ = step.bytes;
            asio::async_write(*data_, asio::buffer(dataWriting_),
                              [this, life](const asio::error_code&, std::size_t n) {
                                  if (life.expired()) return;
                                  dataSent += n;
                                  StepDone();
                              });
            return true;
        case Kind::DataSendForever:
            if (!data_ || !data_->is_open()) return false;
            dataWriting_ = step.bytes;
            SendForever();
            return true;
        case Kind::DataReset:
            if (data_ && data_->is_open()) {
                asio::error_code ignored;
                data_->set_option(asio::socket_base::linger(true, 0), ignored);
                data_->close(ignored);
            }
            return false;
        case Kind::DataClose:
            if (data_) CloseQuietly(*data_);
            return false;
        case Kind::AwaitDataClosed:
            awaiting_ = !dataClientClosed;
            return awaiting_;
    }
    return false;
}

// Each write goes out only after the previous one completed, so the client's reading pace
// sets the pace: a client that buffers what it cannot handle grows, one that does not stays flat.
void ScriptedFtpPeer::SendForever() {
    asio::async_write(*data_, asio::buffer(dataWriting_),
                      [this, life = std::weak_ptr<char>(life_), serial = dataSerial_](
                          const asio::error_code& ec, std::size_t n) {
                          if (life.expired()) return;
                          dataSent += n;
                          if (serial != dataSerial_) return;
                          if (ec || !data_ || !data_->is_open()) {
                              StepDone();
                              return;
                          }
                          SendForever();
                      });
}

void ScriptedFtpPeer::OpenPassive() {
    asio::error_code ignored;
    ++dataSerial_;
    if (data_) data_->close(ignored);
    data_.reset();
    dataAccepted = false;
    dataClientClosed = false;
    dataAcceptor_.emplace(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    dataAcceptor_->async_accept([this, life = std::weak_ptr<char>(life_)](
                                    const asio::error_code& ec, tcp::socket socket) {
        if (life.expired() || ec) return;
        asio::error_code ignored2;
        // One data connection per PASV, as real servers do.
        dataAcceptor_->close(ignored2);
        socket.set_option(tcp::no_delay(true), ignored2);
        data_.emplace(std::move(socket));
        dataAccepted = true;
        ReadData();
        AfterEvent();
    });
}

// "PORT h1,h2,h3,h4,p1,p2": the client listens there for the server's data connection.
void ScriptedFtpPeer::ConnectActive(const std::string& source) {
    asio::error_code ignored;
    ++dataSerial_;
    if (data_) data_->close(ignored);
    dataAccepted = false;
    dataClientClosed = false;
    unsigned v[6] = {};
    const std::string* port = nullptr;
    for (const std::string& line : lines)
        if (CommandWord(line) == "PORT") port = &line;
    if (port == nullptr || std::sscanf(port->c_str() + 5, "%u,%u,%u,%u,%u,%u", &v[0], &v[1], &v[2],
                                       &v[3], &v[4], &v[5]) != 6) {
        asio::post(io_, [this, life = std::weak_ptr<char>(life_)] {
            if (!life.expired()) StepDone();
        });
        return;
    }
    const asio::ip::address_v4 address(asio::ip::address_v4::bytes_type{
        static_cast<unsigned char>(v[0]), static_cast<unsigned char>(v[1]),
        static_cast<unsigned char>(v[2]), static_cast<unsigned char>(v[3])});
    const auto portNumber = static_cast<unsigned short>(v[4] * 256 + v[5]);
    data_.emplace(io_);
    if (!source.empty()) {
        data_->open(tcp::v4(), ignored);
        data_->bind(tcp::endpoint(asio::ip::make_address(source, ignored), 0), ignored);
    }
    data_->async_connect(tcp::endpoint(address, portNumber),
                         [this, life = std::weak_ptr<char>(life_)](const asio::error_code& ec) {
                             if (life.expired()) return;
                             if (!ec) {
                                 asio::error_code ignored2;
                                 data_->set_option(tcp::no_delay(true), ignored2);
                                 dataAccepted = true;
                                                          ReadData();
                             }
                             StepDone();
                         });
}

void ScriptedFtpPeer::ReadData() {
    dataBuffer_.resize(64 * 1024);
    data_->async_read_some(
        asio::buffer(dataBuffer_),
        [this, life = std::weak_ptr<char>(life_)](const asio::error_code& ec, std::size_t n) {
            if (life.expired()) return;
            if (ec) {
                if (ec != asio::error::operation_aborted && data_->is_open()) {
                    dataClientClosed = true;
                    asio::error_code ignored;
                    data_->close(ignored);
                }
                AfterEvent();
                return;
            }
            dataReceived.append(dataBuffer_.data(), n);
            ReadData();
        });
}

// A step that waits for an accept or a close goes on once that has happened.
void ScriptedFtpPeer::AfterEvent() {
    if (!awaiting_ || !running_) return;
    const FtpScript::Step& step = running_->steps[running_->next];
    const bool satisfied = step.kind == FtpScript::Kind::AwaitData ? dataAccepted : dataClientClosed;
    if (!satisfied) return;
    awaiting_ = false;
    StepDone();
}

// ---- SilentPort

SilentPort::SilentPort() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ok_ = listener_ >= 0 &&
          ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
          ::listen(listener_, 0) == 0 &&
          ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    port_ = ntohs(address.sin_port);
    // Never accepted: the first connection fills the queue, the second makes sure of it.
    // Later SYNs are dropped, so a client's attempt neither succeeds nor fails.
    for (int i = 0; ok_ && i < 2; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            ok_ = false;
            break;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers_.push_back(fd);
    }
}

SilentPort::~SilentPort() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
}

}  // namespace tarselctl::testing
