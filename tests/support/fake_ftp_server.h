// An FTP server that answers the control over the fake platform's sockets, with no network:
// it reads what the control asks of its sockets and queues the server's side as events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "support/fake_platform.h"

namespace tarselctl {

/// A well-behaved server for whole operations: greeting, login (331 then 230), TYPE, REST,
/// CWD, PWD, NOOP, QUIT, passive (PASV) and active (PORT) data connections, LIST, NLST and MLSD of
/// `listing`, RETR of `file`, STOR and APPE into `files`. Anything else gets 502.
///
/// Everything it does goes through the platform's `posted` queue, which Run() works off as
/// an event loop would: the socket's connect, each reply, each piece of data, the close. Each
/// posted step first checks that its socket is still in a state where a real peer could
/// act (no data on a closed connection), so a control that closes or fails a socket in
/// between sees what it would see from a real server.
///
/// The transfer's end follows the data connection: a download or listing ends with the
/// server's close and "226"; an upload ends with "226" when the control closes the data
/// connection, and the server keeps what arrived; a data connection that breaks under the
/// server (an error, or the control's close before a download's end) gets "426".
class FakeFtpServer {
public:
    /// The platform must be the one the control was created on; the server reaches the
    /// sockets through its records (Soquet1 control, Soquet2 listener, Soquet3 data).
    explicit FakeFtpServer(FakePlatform& platform) : platform_(platform) {}

    // ---- content
    std::string file = "The quick brown fox\r\njumps over the lazy dog.\r\n";
    std::string listing = "-rw-r--r-- 1 ftp ftp 46 Jan 01 fox.txt\r\n"
                          "drwxr-xr-x 2 ftp ftp 4096 Jan 01 pub\r\n";
    /// LIST and NLST by their argument (without one: by the directory of the last CWD), RETR by its file name; `listing` and `file` serve any
    /// other argument, and when `downloads` is not empty a RETR of another name gets 550.
    std::map<std::string, std::string> listings;
    std::map<std::string, std::string> downloads;
    /// The reply that opens each transfer.
    std::string opening = "150 Opening data connection";
    /// Replies by command word, ahead of the built-in ones ("MKD" -> "257 created").
    std::map<std::string, std::string> replies;
    /// REST makes the next RETR start at its offset in the content; when false, the content
    /// stands for what is left after the offset.
    bool honourRest = false;
    /// No reply at all when the client closes a download's data connection (as some servers).
    bool silentAfterCut = false;
    /// The reply when the client closes a download's data connection (some servers say 226).
    std::string cutReply = "426 Connection closed; transfer aborted";
    /// Data goes out in pieces of this many bytes, one event each.
    std::size_t piece = 16;
    /// Uploads received, by the file name of the STOR or APPE line.
    std::map<std::string, std::string> files;
    /// SIZE answers with the length of what RETR of that name would send (else 502).
    bool answerSize = false;
    /// How many bytes a download sends before the server closes the data connection and
    /// reports success anyway, by file name and restart offset; unset: all of them.
    std::function<std::size_t(const std::string& name, std::uint64_t rest)> sendLimit;
    /// How many bytes of an upload the server keeps before it reports success; unset: all.
    std::function<std::size_t(const std::string& name)> keepLimit;

    /// Called with each piece of data just before the control receives it.
    std::function<void(std::string_view)> onData;

    // ---- what happened
    /// Every command line received, without CR LF.
    std::vector<std::string> lines;

    /// Runs the queued work until nothing is left, reacting to each socket call of the
    /// control. Returns false if it had to stop after `limit` steps (a control that keeps
    /// the server busy for ever).
    bool Run(std::size_t limit = 100000);

private:
    enum class Transfer { None, Download, Upload };

    FakeSoquet* Socket(std::size_t index) const;
    void React();
    void CheckDataConnection();
    void OnCommand(const std::string& line);
    void Reply(const std::string& line);
    void DataUp();
    void BeginTransfer();
    void EndTransfer(bool complete);

    FakePlatform& platform_;
    std::size_t callsSeen_ = 0;
    std::size_t controlSendsSeen_ = 0;
    std::size_t dataSendsSeen_ = 0;
    std::string commandBuffer_;

    bool passive_ = false;
    bool dataUp_ = false;
    /// The transfer command of the transfer under way ("" for none), and its argument.
    std::string transferWord_;
    std::string transferName_;
    Transfer transfer_ = Transfer::None;
    /// Counts transfers, so that queued pieces of an ended transfer are dropped.
    unsigned transferId_ = 0;
    std::string uploaded_;
    std::string cwd_;
    std::uint64_t restOffset_ = 0;
    std::uint64_t transferOffset_ = 0;
    /// The REST offset the transfer under way was asked with.
    std::uint64_t restSeen_ = 0;
};

}  // namespace tarselctl
