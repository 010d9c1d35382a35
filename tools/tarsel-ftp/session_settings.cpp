// set, alias and bookmark: what a session may change about itself while it runs, the words
// a user makes up for commands, and the servers kept by name between runs.
#include "ftp_session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ascii_case.h"
#include "ftp_url.h"

namespace tarselftp {

namespace fs = std::filesystem;
using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

namespace {

// lftp's names of the same settings, so that a line from an lftp rc file works here.
std::string CanonicalSetting(std::string name) {
    name = AsciiLower(name);
    static const std::pair<const char*, const char*> kLftpNames[] = {
        {"ftp:passive-mode", "passive"},       {"ftp:ssl-force", "ssl-force"},
        {"ftp:ssl-allow", "ssl-allow"},
        {"net:timeout", "reply-timeout"},      {"net:connection-timeout", "connect-timeout"},
        {"net:max-retries", "retries"},        {"net:reconnect-interval-base", "reconnect-interval"},
        {"net:idle", "noop"},                  {"mirror:parallel-transfer-count", "parallel"},
        {"cmd:parallel", "parallel"},          {"xfer:progress", "progress"},
        {"ftp:charset", "syscode"},            {"cmd:verbose", "verbose"},
    };
    for (const auto& [lftp, ours] : kLftpNames)
        if (name == lftp) return ours;
    return name;
}

bool ParseSwitch(const std::string& text, bool& value) {
    const std::string v = AsciiLower(text);
    if (v == "on" || v == "yes" || v == "true" || v == "1") value = true;
    else if (v == "off" || v == "no" || v == "false" || v == "0") value = false;
    else return false;
    return true;
}

bool ParseCount(const std::string& text, std::int32_t& value, std::int32_t limit) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoi(text);
    return value <= limit;
}

std::string DataHome() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return data;
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.local/share" : std::string();
}

}  // namespace

std::string FtpSession::BookmarkFile() {
    const std::string data = DataHome();
    return data.empty() ? std::string() : data + "/tarsel-ftp/bookmarks";
}

std::map<std::string, std::string> FtpSession::ReadBookmarks(std::string* error) {
    std::map<std::string, std::string> marks;
    std::ifstream in(BookmarkFile());
    std::string line;
    while (std::getline(in, line)) {
        const auto blank = line.find_first_of(" \t");
        if (line.empty() || line[0] == '#' || blank == std::string::npos) continue;
        marks[line.substr(0, blank)] = line.substr(line.find_first_not_of(" \t", blank));
    }
    if (error && in.bad()) *error = "cannot read " + BookmarkFile();
    return marks;
}

std::string FtpSession::SettingsText() const {
    const auto seconds = [](std::int32_t s) { return std::to_string(s); };
    const std::string tls = options_.tls.value_or("auto");
    std::string text;
    text += "passive " + std::string(control_.get_Passive() != tarselctl::False ? "on" : "off") + "\n";
    text += "tls " + tls + "\n";
    text += "syscode " + ToUtf8(control_.get_SysCode()) + "\n";
    text += "filecode " + ToUtf8(control_.get_FileCode()) + "\n";
    text += "hostcode " + ToUtf8(control_.get_HostCode()) + "\n";
    const std::string type = ToUtf8(control_.get_Filetype());
    text += "type " + (type.empty() ? std::string("none") : type) + "\n";
    text += "connect-timeout " + seconds(control_.get_ConnectTimeout()) + "\n";
    text += "trans-timeout " + seconds(control_.get_TransTimeout()) + "\n";
    text += "reply-timeout " + seconds(options_.replyTimeout) + "\n";
    text += "noop " + seconds(control_.get_NoopTime()) + "\n";
    text += "parallel " + std::to_string(options_.defaultParallel) + "\n";
    text += "progress " + std::string(!options_.progress ? "auto" : *options_.progress ? "on" : "off") + "\n";
    text += "retries " + std::to_string(options_.retries) + "\n";
    text += "reconnect-interval " + seconds(options_.reconnectInterval) + "\n";
    text += "verbose " + std::string(options_.verbose ? "on" : "off") + "\n";
    return text;
}

void FtpSession::ExecuteSet(const Command& command) {
    if (command.args.empty()) {
        Print(SettingsText());
        return;
    }
    const std::string name = CanonicalSetting(command.args[0]);
    if (command.args.size() < 2) {
        // set NAME: its value.
        std::istringstream all(SettingsText());
        for (std::string line; std::getline(all, line);)
            if (line.rfind(name + " ", 0) == 0) {
                Print(line + "\n");
                return;
            }
        Fail(Fault::Local, "", "set", "no setting '" + command.args[0] + "' (set lists them)");
        return;
    }
    const std::string& value = command.args[1];
    const std::string upper = AsciiUpper(value);
    std::string error;
    bool on = false;
    std::int32_t n = 0;
    try {
        if (name == "passive") {
            if (!ParseSwitch(value, on)) error = "takes on or off";
            else control_.put_Passive(on ? tarselctl::True : tarselctl::False);
        } else if (name == "tls" || name == "ssl-force" || name == "ssl-allow") {
            // Ours names the kind as --tls does; lftp's two switches map onto it: ssl-force
            // yes insists on TLS, ssl-allow no never tries it, and their other values are
            // the default, TLS where the server takes it.
            bool sw = false;
            const bool isSwitch = ParseSwitch(value, sw);
            if (name == "ssl-force" && isSwitch) options_.tls = sw ? "explicit" : "auto";
            else if (name == "ssl-allow" && isSwitch) options_.tls = sw ? "auto" : "off";
            else if (name != "tls") error = "takes yes or no";
            else if (upper == "EXPLICIT" || upper == "IMPLICIT" || upper == "AUTO") options_.tls = AsciiLower(value);
            else if (isSwitch || upper == "NONE") options_.tls = sw ? "explicit" : "off";
            else error = "takes auto, explicit, implicit or off";
            if (error.empty() && connected_) Note("TLS applies from the next connection (open).");
        } else if (name == "syscode" || name == "filecode" || name == "hostcode") {
            const std::string code = upper == "UTF-8" ? "UTF8" : upper == "SHIFT_JIS" ? "SJIS" : upper == "EUC-JP" ? "EUC" : upper;
            const bool known = name == "hostcode" ? (code == "SJIS" || code == "UTF8")
                               : name == "syscode" ? (code == "SJIS" || code == "EUC" || code == "UTF8")
                                                   : (code == "BIN" || code == "JIS" || code == "SJIS" || code == "EUC" || code == "UTF8");
            if (!known) error = "takes " + std::string(name == "hostcode" ? "SJIS or UTF8" : name == "syscode" ? "SJIS, EUC or UTF8" : "BIN, JIS, SJIS, EUC or UTF8");
            else if (name == "syscode") {
                control_.put_SysCode(FromUtf8(code));
                options_.sysCode = code;
                names_.on = false;  // chosen: no longer judged from listings
            } else if (name == "filecode") {
                control_.put_FileCode(FromUtf8(code));
            } else {
                control_.put_HostCode(FromUtf8(code));
            }
        } else if (name == "type") {
            if (upper == "A" || upper == "ASCII") control_.put_Filetype(u"A");
            else if (upper == "I" || upper == "BINARY") control_.put_Filetype(u"I");
            else if (upper == "NONE") control_.put_Filetype(u"");
            else error = "takes ascii, binary or none";
        } else if (name == "connect-timeout" || name == "trans-timeout" || name == "noop" ||
                   name == "reply-timeout" || name == "reconnect-interval") {
            if (!ParseCount(value, n, 86400)) error = "takes a number of seconds (0: off)";
            else if (name == "connect-timeout") control_.put_ConnectTimeout(n);
            else if (name == "trans-timeout") control_.put_TransTimeout(n);
            else if (name == "noop") control_.put_NoopTime(n);
            else if (name == "reconnect-interval") options_.reconnectInterval = std::min(n, 3600);
            else {
                options_.replyTimeout = n;
                control_.put_ReplyTimeout(n);
            }
        } else if (name == "retries") {
            if (!ParseCount(value, n, 100)) error = "takes a number from 0 to 100";
            else options_.retries = n;
        } else if (name == "parallel") {
            if (!ParseCount(value, n, 64)) error = "takes a number of connections from 0 to 64";
            else options_.defaultParallel = n;
        } else if (name == "progress") {
            if (AsciiLower(value) == "auto") options_.progress.reset();
            else if (!ParseSwitch(value, on)) error = "takes on, off or auto";
            else options_.progress = on;
        } else if (name == "verbose") {
            if (!ParseSwitch(value, on)) error = "takes on or off";
            else options_.verbose = on;
        } else {
            Fail(Fault::Local, "", "set", "no setting '" + command.args[0] + "' (set lists them)");
            return;
        }
    } catch (const AutomationError& e) {
        error = ToUtf8(e.Description());
    }
    if (!error.empty()) Fail(Fault::Local, "", "set " + name, error + ", not '" + value + "'");
}

void FtpSession::ExecuteAlias(const Command& command) {
    if (command.args.empty()) {
        for (const auto& [name, text] : aliases_) Print("alias " + name + " " + text + "\n");
        return;
    }
    const std::string& name = command.args[0];
    if (command.args.size() == 1) {
        aliases_.erase(name);
        return;
    }
    if (name.find_first_of(" \t\"") != std::string::npos || name == "alias") {
        Fail(Fault::Local, "", "alias", "'" + name + "' cannot be an alias");
        return;
    }
    // alias ll "cls -l": one TEXT is the line as written; several words are joined, each
    // quoted again where it needs it.
    if (command.args.size() == 2) {
        aliases_[name] = command.args[1];
        return;
    }
    std::string text;
    for (std::size_t i = 1; i < command.args.size(); ++i) {
        if (i > 1) text += ' ';
        // A word that needs quotes keeps them, so the line reads back as typed.
        const std::string& word = command.args[i];
        if (word.find_first_of(" \t\";") == std::string::npos && !word.empty()) {
            text += word;
            continue;
        }
        text += '"';
        for (char c : word) text += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        text += '"';
    }
    aliases_[name] = text;
}

std::string FtpSession::ExpandAlias(const std::string& line) const {
    if (aliases_.empty()) return line;
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos) return line;
    const auto end = line.find_first_of(" \t", first);
    const std::string word = line.substr(first, end == std::string::npos ? std::string::npos : end - first);
    const auto it = aliases_.find(word);
    // Once only: an alias that names itself (alias ls "ls -l") does not loop.
    if (it == aliases_.end()) return line;
    return it->second + (end == std::string::npos ? std::string() : line.substr(end));
}

void FtpSession::ExecuteBookmark(const Command& command) {
    const std::string what = command.args.empty() ? "list" : AsciiLower(command.args[0]);
    const std::string file = BookmarkFile();
    if (file.empty()) {
        Fail(Fault::Local, "", "bookmark", "no home directory to keep bookmarks in");
        return;
    }
    std::string error;
    std::map<std::string, std::string> marks = ReadBookmarks(&error);
    if (!error.empty()) {
        Fail(Fault::Local, "", "bookmark", error);
        return;
    }
    if (what == "list" && command.args.size() <= 1) {
        for (const auto& [name, url] : marks) Print(name + "\t" + url + "\n");
        return;
    }
    if ((what == "add" && (command.args.size() == 2 || command.args.size() == 3)) ||
        (what == "del" && command.args.size() == 2)) {
        const std::string& name = command.args[1];
        if (name.empty() || name.find_first_of(" \t\r\n/:@") != std::string::npos) {
            Fail(Fault::Local, "", "bookmark", "'" + name + "' cannot be a bookmark name");
            return;
        }
        if (what == "del") {
            if (marks.erase(name) == 0) {
                Fail(Fault::Local, "", "bookmark", "no bookmark '" + name + "'");
                return;
            }
        } else {
            std::string url;
            if (command.args.size() == 3) {
                url = command.args[2];
            } else if (!options_.host.empty()) {
                // Where the session is: its server, its user (never the password) and directory.
                const std::string port = ToUtf8(control_.get_port());
                const bool ipv6 = options_.host.find(':') != std::string::npos;
                url = "ftp://" + (options_.userGiven ? PercentEncode(options_.user) + "@" : std::string()) +
                      (ipv6 ? "[" + options_.host + "]" : options_.host) +
                      (port.empty() || port == "21" ? std::string() : ":" + port) +
                      (remoteDirectory_.empty() ? std::string("/") : PercentEncode(remoteDirectory_, true) + "/");
            } else {
                Fail(Fault::Local, "", "bookmark", "add NAME needs a URL when not connected");
                return;
            }
            if (url.find_first_of("\r\n") != std::string::npos || !ParseFtpUrl(url).error.empty() || !ParseFtpUrl(url).url) {
                Fail(Fault::Local, "", "bookmark", "'" + url + "' is no ftp:// URL");
                return;
            }
            marks[name] = url;
        }
        std::error_code ec;
        fs::create_directories(fs::path(file).parent_path(), ec);
        // Written whole beside the file, readable by its owner only (a URL may hold a
        // password), then renamed over it.
        const std::string temporary = file + ".new";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        std::string text;
        for (const auto& [n, u] : marks) text += n + " " + u + "\n";
        const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        const int saved = errno;
        if (fd >= 0) ::close(fd);
        if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
            ::unlink(temporary.c_str());
            Fail(Fault::Local, "", "bookmark", "cannot write " + file + ": " + std::strerror(written ? errno : saved));
        }
        return;
    }
    Fail(Fault::Local, "", "bookmark", "usage: bookmark [list | add NAME [URL] | del NAME]");
}

}  // namespace tarselftp
