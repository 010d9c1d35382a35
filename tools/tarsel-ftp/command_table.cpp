// The command table, from which parsing, help, completion and the usage text are all made.
#include "command_line.h"

#include "ascii_case.h"

namespace tarselftp {

namespace {

const std::vector<CommandInfo> kCommands = {
    // name, verb, min, max, arguments, help, operation, transfers
    {"open", Verb::Open, 1, 2, "HOST [PORT] | URL", "connect and log in (anonymous, ~/.netrc or the URL's user)", "Connect", false},
    {"user", Verb::User, 1, 2, "USER [PASSWORD]", "log in again as USER; the password is asked for on a terminal", "User", false},
    {"login", Verb::Login, 2, 2, "USER PASSWORD", "log in again as USER", "User", false},
    {"close", Verb::Close, 0, 0, "", "log out and close the connection; the session stays", "DisConnect", false},
    {"cd", Verb::Cd, 1, 1, "DIR", "change the remote directory", "Cd", false},
    {"cwd", Verb::Cwd, 1, 1, "DIR", "change the remote directory (CWD only)", "Cwd", false},
    {"pwd", Verb::Pwd, 0, 0, "", "print the remote directory", "Pwd", false},
    {"dir", Verb::Dir, 0, kManyArgs, "[-OPTS] [PATH|PATTERN...]", "long listing of the remote directory (LIST); option words (-l, -a, ...) go to the server with each name, as lftp sends them (lftp's ls is this command)", "Dir", true},
    {"ls", Verb::Ls, 0, kManyArgs, "[-OPTS] [PATH|PATTERN...]", "names in the remote directory (NLST, options passed on as dir does)", "Ls", true},
    {"cls", Verb::Cls, 0, kManyArgs, "[-l] [-a] [-h] [-F] [-r] [--sort=name|size|date|none] [DIR|PATTERN...]", "names read from the listing (MLSD or LIST), one a line, sorted here (-l: type, size, date; -a: names starting with '.' too; -h: sizes as 1.5M; -F: '/' after directories; -r: reversed)", "Dir", true},
    {"size", Verb::Size, 1, 1, "FILE", "print a remote file's size", "Size", false},
    {"get", Verb::Get, 1, 2, "[-c] [--segments N] [-o LOCAL] [-O DIR] REMOTE [LOCAL|DIR/]", "download a file (-c: resume from the local file's size; LOCAL - : standard output; a LOCAL ending in '/' or naming a directory, or -O DIR: into that directory; --segments N: as pget -n N; a PATTERN: as mget)", "GetFile", true},
    {"pget", Verb::Pget, 1, 2, "[-c] [-n N] REMOTE [LOCAL]", "download one file over N connections at once, one range each (default 4; -c: continue an interrupted pget from LOCAL.pget)", "GetFile", true},
    {"reget", Verb::Reget, 1, 2, "REMOTE [LOCAL]", "resume a download from the local file's size", "GetFile", true},
    {"mget", Verb::Mget, 1, kManyArgs, "[-c] [-P N] [-O DIR] PATTERN...", "download every remote file that matches (* ? [..]); -c: resume each from its local file; -P N: over N connections; -O DIR: into the local directory DIR", "GetFile", true},
    {"put", Verb::Put, 1, 2, "[-c] [-O DIR] LOCAL [REMOTE|DIR/]", "upload a file (-c: continue after the remote file's size; LOCAL - : standard input, REMOTE needed; a REMOTE ending in '/', or -O DIR: into that remote directory)", "PutFile", true},
    {"reput", Verb::Reput, 1, 2, "LOCAL [REMOTE]", "continue an upload after the remote file's size", "PutFile", true},
    {"mput", Verb::Mput, 1, kManyArgs, "[-P N] [-O DIR] PATTERN...", "upload every local file that matches; -P N: over N connections; -O DIR: into the remote directory DIR", "PutFile", true},
    {"append", Verb::Append, 2, 2, "LOCAL REMOTE", "append a local file to a remote one", "AppendFile", true},
    {"mirror", Verb::Mirror, 1, 2, "[-R] [-P N] [--delete] [--dry-run] [--newer-only] [-x RX] [-X GLOB] [-i RX] [-I GLOB] REMOTE_DIR [LOCAL_DIR] | -R LOCAL_DIR [REMOTE_DIR]", "copy a directory tree; files whose size and time match are kept, changed ones fetched again and times kept; a summary line at the end (-P N: move the files over N connections; --delete: remove what the source lacks; --newer-only: only newer files; --dry-run: only show; -x/--exclude RX, -i/--include RX: POSIX extended regex on the path below the top, directories ending in '/'; -X/--exclude-glob, -I/--include-glob GLOB: on the name, or the path if it holds '/'; the last that matches decides, what is left out is neither copied nor deleted)", "Mirror", true},
    {"rest", Verb::Rest, 1, 1, "OFFSET", "start the next get at this byte offset", "", false},
    {"delete", Verb::Delete, 1, 1, "FILE", "delete a remote file", "Delete", false},
    {"rm", Verb::Rm, 1, kManyArgs, "[-r] [-f] FILE|PATTERN...", "delete remote files (-r: directories with everything in them; -f: no error for what is not there)", "Delete", false},
    {"mrm", Verb::Rm, 1, kManyArgs, "[-r] [-f] PATTERN...", "as rm (lftp's name for rm with patterns)", "Delete", false},
    {"mkdir", Verb::MkDir, 1, kManyArgs, "[-p] DIR...", "make remote directories (-p: with their parents, no error for those that exist)", "MkDir", false},
    {"chmod", Verb::Chmod, 2, kManyArgs, "MODE FILE|PATTERN...", "change remote permissions (SITE CHMOD)", "Site", false},
    {"cat", Verb::Cat, 1, kManyArgs, "FILE|PATTERN...", "print remote files on standard output", "GetFile", true},
    {"find", Verb::Find, 0, kManyArgs, "[DIR|PATTERN...]", "list a remote tree, one path a line", "Dir", true},
    {"du", Verb::Du, 0, kManyArgs, "[-s] [-h] [DIR|PATTERN...]", "disk usage of a remote tree in KiB (-s: total only; -h: 1.5M style)", "Dir", true},
    {"glob", Verb::Glob, 1, kManyArgs, "COMMAND ARGS...", "run COMMAND with the patterns among its remote names expanded, also for commands that do not expand them themselves (delete, rmdir, size)", "", false},
    {"rmdir", Verb::RmDir, 1, 1, "DIR", "remove a remote directory", "RmDir", false},
    {"rename", Verb::Rename, 2, 2, "FROM TO", "rename a remote file (RNFR, RNTO)", "Rename", false},
    {"mv", Verb::Rename, 2, 2, "FROM TO", "as rename (lftp's name)", "Rename", false},
    {"site", Verb::Site, 1, 1, "TEXT", "send SITE TEXT and print the reply", "Site", false},
    {"quote", Verb::Quote, 1, 1, "LINE", "send LINE as it stands and print the reply", "Quote", false},
    {"noop", Verb::Noop, 0, 0, "", "send NOOP", "Noop", false},
    {"abort", Verb::Abort, 0, 0, "", "abort the transfer before it (in a script)", "Abort", false},
    {"type", Verb::Type, 0, 1, "[ascii|binary|A|I]", "the transfer type of later transfers (TYPE A or I); without one: print it", "", false},
    {"ascii", Verb::Type, 0, 0, "", "transfer text files (TYPE A: line ends and codes converted)", "", false},
    {"binary", Verb::Type, 0, 0, "", "transfer files byte for byte (TYPE I)", "", false},
    {"passive", Verb::Passive, 0, 1, "[on|off]", "passive data connections on, off, or switched", "", false},
    {"verbose", Verb::Verbose, 0, 1, "[on|off]", "print every reply of the server", "", false},
    {"lcd", Verb::Lcd, 0, 1, "[DIR]", "change the local directory (home without DIR)", "", false},
    {"lpwd", Verb::Lpwd, 0, 0, "", "print the local directory", "", false},
    {"!", Verb::Shell, 0, 1, "[COMMAND]", "run a local shell command (a shell without one)", "", false},
    {"lls", Verb::Shell, 0, kManyArgs, "[ARGS]", "list local files (runs ls ARGS)", "", false},
    {"set", Verb::Set, 0, 2, "[NAME [VALUE]]", "show the settings, or change one for the session: passive, tls (auto: AUTH TLS where the server takes it, the default; explicit, implicit: TLS or nothing; off: plain; from the next open), syscode, filecode, hostcode, type, connect-timeout, trans-timeout, reply-timeout, noop, parallel (mget, mput and mirror without -P), progress (on, off, auto), retries, reconnect-interval, verbose; lftp's names (ftp:passive-mode, net:timeout, net:max-retries, mirror:parallel-transfer-count, ftp:ssl-allow, ftp:ssl-force, ...) too", "", false},
    {"alias", Verb::Alias, 0, kManyArgs, "[NAME [TEXT...]]", "make NAME stand for TEXT as the first word of a line; NAME alone removes it; nothing: list them", "", false},
    {"bookmark", Verb::Bookmark, 0, 3, "[list | add NAME [URL] | del NAME]", "servers kept by name in ~/.local/share/tarsel-ftp/bookmarks (add without URL: where the session is, without password); open NAME opens one", "", false},
    {"help", Verb::Help, 0, 1, "[COMMAND]", "list the commands, or explain one", "", false, "?"},
    {"quit", Verb::Quit, 0, 0, "", "log out and end the session (also Ctrl-D)", "DisConnect", false, "bye"},
};

}  // namespace

std::string Usage(const CommandInfo& info) {
    std::string usage(info.name);
    if (!info.arguments.empty()) usage += (info.name == "!" ? "" : " ") + std::string(info.arguments);
    return usage;
}


const std::vector<CommandInfo>& CommandTable() { return kCommands; }

const CommandInfo* FindCommand(std::string_view name) {
    const std::string lowered = AsciiLower(name);
    for (const CommandInfo& info : kCommands)
        if (info.name == lowered || (!info.alias.empty() && info.alias == lowered)) return &info;
    if (lowered == "exit") return FindCommand("quit");
    return nullptr;
}

const CommandInfo* FindCommand(Verb verb) {
    for (const CommandInfo& info : kCommands)
        if (info.verb == verb) return &info;
    return nullptr;
}

std::string HelpText() {
    std::string text;
    for (const CommandInfo& info : kCommands) {
        std::string usage = "  " + Usage(info);
        if (usage.size() < 30) usage.resize(30, ' ');
        else usage += "\n" + std::string(30, ' ');
        text += usage + std::string(info.help) + "\n";
    }
    text += "Patterns (* ? [...]) in the remote names of get, mget, rm, mrm, chmod, dir, ls, cls,\n"
            "cat, du and find are matched here against the listing; a name in double quotes is\n"
            "taken as written, and a pattern that matches nothing is an error.\n";
    return text;
}

std::string HelpText(std::string_view command) {
    const CommandInfo* info = FindCommand(command);
    if (!info) return {};
    std::string text = "usage: " + Usage(*info) + "\n  " + std::string(info->help) + "\n";
    if (!info->alias.empty()) text += "  also: " + std::string(info->alias) + "\n";
    return text;
}

std::vector<std::string> CompleteCommandName(std::string_view prefix) {
    const std::string lowered = AsciiLower(prefix);
    std::vector<std::string> names;
    for (const CommandInfo& info : kCommands) {
        for (std::string_view name : {info.name, info.alias})
            if (!name.empty() && name != "!" && name.substr(0, lowered.size()) == lowered)
                names.emplace_back(name);
    }
    return names;
}

}  // namespace tarselftp
