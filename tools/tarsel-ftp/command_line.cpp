#include "command_line.h"

#include "well_formed_utf8.h"

#include "ascii_case.h"
#include "ftp_url.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fnmatch.h>
#include <limits>
#include <utility>

namespace tarselftp {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }



template <class Int>
bool ParseInteger(std::string_view text, Int& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && p == end;
}

// Seconds for the control's one-second timers; 0 switches the behaviour off.
bool ParseSeconds(std::string_view text, std::int32_t& value) {
    return ParseInteger(text, value) && value >= 0;
}

// Bytes with an optional binary suffix K or M.
bool ParseByteCount(std::string_view text, std::uint64_t& value) {
    std::uint64_t scale = 1;
    if (!text.empty()) {
        const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
        if (last == 'K') scale = 1024;
        if (last == 'M') scale = 1024 * 1024;
        if (scale != 1) text.remove_suffix(1);
    }
    std::uint64_t n = 0;
    if (!ParseInteger(text, n) || n > std::numeric_limits<std::uint64_t>::max() / scale)
        return false;
    value = n * scale;
    return true;
}

std::optional<std::string> MatchChoice(std::string_view value,
                                       std::initializer_list<std::string_view> choices) {
    std::string upper = AsciiUpper(value);
    if (upper == "UTF-8") upper = "UTF8";
    for (std::string_view choice : choices)
        if (upper == choice) return std::string(choice);
    return std::nullopt;
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    Options& o = result.options;
    std::vector<std::string> positional;
    auto fail = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };

    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto flag = [&]() -> bool {
            if (inlineValue) {
                result.error = name + " takes no value";
                return false;
            }
            return true;
        };
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 >= args.size()) {
                result.error = name + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };

        if (name == "--help" || name == "-h") {
            if (!flag()) return result;
            o.help = true;
        } else if (name == "--version" || name == "-V") {
            if (!flag()) return result;
            o.version = true;
        } else if (name == "--man") {
            if (!flag()) return result;
            o.manual = true;
        } else if (name == "--passive" || name == "--active") {
            if (!flag()) return result;
            o.passive = name == "--passive";
        } else if (name == "--trace") {
            if (!flag()) return result;
            o.trace = true;
        } else if (name == "-v" || name == "--verbose") {
            if (!flag()) return result;
            o.verbose = true;
        } else if (name == "--progress" || name == "--no-progress") {
            if (!flag()) return result;
            o.progress = name == "--progress";
        } else if (name == "--insecure") {
            if (!flag()) return result;
            o.insecure = true;
        } else if (name == "--tls") {
            auto v = value();
            if (!v) return result;
            const std::string upper = AsciiUpper(*v);
            if (upper == "EXPLICIT" || upper == "ON") o.tls = "explicit";
            else if (upper == "IMPLICIT") o.tls = "implicit";
            else if (upper == "AUTO") o.tls = "auto";
            else if (upper == "OFF" || upper == "NONE") o.tls = "off";
            else return fail("--tls takes auto, explicit, implicit or off, not '" + *v + "'");
        } else if (name == "--cacert") {
            auto v = value();
            if (!v) return result;
            if (v->empty()) return fail("--cacert needs a file name");
            o.caFile = *v;
        } else if (name == "--hostcode") {
            auto v = value();
            if (!v) return result;
            o.hostCode = MatchChoice(*v, {"SJIS", "UTF8"});
            if (!o.hostCode) return fail("--hostcode takes SJIS or UTF8, not '" + *v + "'");
        } else if (name == "--keep-going") {
            if (!flag()) return result;
            o.keepGoing = true;
        } else if (name == "-u") {
            // lftp's -u USER[,PASSWORD]; a user alone has the password asked for.
            auto v = value();
            if (!v) return result;
            const auto comma = v->find(',');
            if (comma == 0 || v->empty()) return fail("-u needs USER[,PASSWORD]");
            o.user = v->substr(0, comma);
            o.userGiven = true;
            o.password = comma == std::string::npos ? std::string() : v->substr(comma + 1);
            o.passwordGiven = comma != std::string::npos;
        } else if (name == "-e") {
            auto v = value();
            if (!v) return result;
            o.firstCommands = *v;
        } else if (name == "--norc") {
            if (!flag()) return result;
            o.noStartupFile = true;
        } else if (name == "--port" || name == "-p") {
            auto v = value();
            if (!v) return result;
            std::uint32_t port = 0;
            if (!ParseInteger(std::string_view(*v), port) || port < 1 || port > 65535)
                return fail("--port needs a number from 1 to 65535, not '" + *v + "'");
            o.port = *v;
        } else if (name == "--type") {
            auto v = value();
            if (!v) return result;
            const std::string upper = AsciiUpper(*v);
            if (upper == "A" || upper == "I") o.type = upper;
            else if (upper == "NONE") o.type = "";
            else return fail("--type takes A, I or none, not '" + *v + "'");
        } else if (name == "--filecode") {
            auto v = value();
            if (!v) return result;
            o.fileCode = MatchChoice(*v, {"BIN", "JIS", "SJIS", "EUC", "UTF8"});
            if (!o.fileCode)
                return fail("--filecode takes BIN, JIS, SJIS, EUC or UTF8, not '" + *v + "'");
        } else if (name == "--syscode") {
            auto v = value();
            if (!v) return result;
            o.sysCode = MatchChoice(*v, {"SJIS", "EUC", "UTF8"});
            if (!o.sysCode) return fail("--syscode takes SJIS, EUC or UTF8, not '" + *v + "'");
        } else if (name == "--account") {
            auto v = value();
            if (!v) return result;
            o.account = *v;
        } else if (name == "--precommand") {
            auto v = value();
            if (!v) return result;
            if (v->find_first_of("\r\n") != std::string::npos)
                return fail("--precommand takes one line");
            o.preCommands.push_back(*v);
        } else if (name == "--connect-timeout" || name == "--trans-timeout" || name == "--noop" ||
                   name == "--reply-timeout" || name == "--retries" || name == "--reconnect-interval") {
            auto v = value();
            if (!v) return result;
            std::int32_t seconds = 0;
            if (!ParseSeconds(*v, seconds))
                return fail(name + (name == "--retries" ? " needs a whole number" : " needs a whole number of seconds") +
                            ", not '" + *v + "'");
            if (name == "--reply-timeout") o.replyTimeout = seconds;
            else if (name == "--retries") o.retries = std::min(seconds, 100);
            else if (name == "--reconnect-interval") o.reconnectInterval = std::min(seconds, 3600);
            else
                (name == "--connect-timeout" ? o.connectTimeout
                 : name == "--trans-timeout" ? o.transTimeout
                                             : o.noopTime) = seconds;
        } else if (name == "--chunk") {
            auto v = value();
            if (!v) return result;
            std::uint64_t bytes = 0;
            // A block of fewer than two bytes would end the upload.
            if (!ParseByteCount(*v, bytes) || bytes < 2 || bytes > kMaxChunk)
                return fail("--chunk needs a byte count from 2 to 64M, not '" + *v + "'");
            o.chunk = static_cast<std::uint32_t>(bytes);
        } else if (name == "-c") {
            auto v = value();
            if (!v) return result;
            o.script = *v;
        } else if (name == "--settings" || name == "--save-settings") {
            auto v = value();
            if (!v) return result;
            if (v->empty()) return fail(name + " needs a file name");
            (name == "--settings" ? o.settingsFile : o.saveSettingsFile) = *v;
        } else {
            return fail("unknown option " + name);
        }
    }

    if (o.help || o.version || o.manual || positional.empty()) return result;
    if (positional.size() > 3) return fail("too many arguments after HOST");
    const ParsedUrl url = ParseFtpUrl(positional[0]);
    if (!url.error.empty()) return fail(url.error);
    if (url.url) {
        if (positional.size() > 1) return fail("a URL takes no USER or PASSWORD after it");
        o.host = url.url->host;
        if (url.url->implicitTls) {
            if (o.tls && *o.tls != "implicit" && *o.tls != "auto") return fail("an ftps:// URL is implicit TLS, not --tls " + *o.tls);
            o.tls = "implicit";
        }
        if (url.url->port) {
            if (o.port && *o.port != *url.url->port)
                return fail("--port " + *o.port + " and the URL's port " + *url.url->port + " differ");
            o.port = url.url->port;
        }
        if (!url.url->user.empty() && o.userGiven) return fail("-u and a user in the URL: give one");
        if (!url.url->user.empty()) {
            o.user = url.url->user;
            o.userGiven = true;
            o.password.clear();
            if (url.url->password) {
                o.password = *url.url->password;
                o.passwordGiven = true;
            }
        }
        o.urlPath = url.url->path;
        return result;
    }
    // "[::1]:2121" and "host:2121" carry their port; a bare IPv6 address does not.
    const HostAndPort target = SplitHostAndPort(positional[0]);
    if (!target.error.empty()) return fail(target.error);
    o.host = target.port ? target.host : positional[0];
    if (target.port) {
        if (o.port && *o.port != *target.port)
            return fail("--port " + *o.port + " and the port after HOST " + *target.port + " differ");
        o.port = target.port;
    }
    if (positional.size() >= 2 && o.userGiven) return fail("-u and a USER after HOST: give one");
    if (positional.size() >= 2) {
        o.user = positional[1];
        o.userGiven = true;
        // A named user without a password logs in with an empty one, unless ~/.netrc or
        // the terminal supplies it.
        o.password = positional.size() == 3 ? positional[2] : std::string();
        o.passwordGiven = positional.size() == 3;
    }
    return result;
}

std::string JoinPreCommands(const std::vector<std::string>& lines) {
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0) joined += "\r\n";
        joined += lines[i];
    }
    return joined;
}

std::vector<std::string> SplitScript(std::string_view script) {
    std::vector<std::string> lines;
    std::string current;
    bool quoted = false;
    auto flush = [&] {
        const bool blank = std::all_of(current.begin(), current.end(),
                                       [](char c) { return IsBlank(c) || c == '\r' || c == '\n'; });
        if (!blank) lines.push_back(current);
        current.clear();
    };
    for (std::size_t i = 0; i < script.size(); ++i) {
        const char c = script[i];
        if (quoted && c == '\\' && i + 1 < script.size()) {
            // An escaped quote does not end the quoted section.
            current += c;
            current += script[++i];
            continue;
        }
        if (c == '"') quoted = !quoted;
        if ((c == ';' || c == '\n') && !quoted) {
            flush();
            continue;
        }
        current += c;
    }
    flush();
    return lines;
}

Words SplitWords(std::string_view line) {
    Words result;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    bool hadQuote = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                word += line[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
            continue;
        }
        if (IsBlank(c)) {
            if (inWord) {
                result.words.push_back(std::move(word));
                result.quoted.push_back(hadQuote);
            }
            word.clear();
            inWord = false;
            hadQuote = false;
            continue;
        }
        inWord = true;
        if (c == '"') quoted = hadQuote = true;
        else word += c;
    }
    if (quoted) {
        result.error = "unterminated quote";
        result.words.clear();
        result.quoted.clear();
        return result;
    }
    if (inWord) {
        result.words.push_back(std::move(word));
        result.quoted.push_back(hadQuote);
    }
    return result;
}

bool TakesRemoteName(const std::vector<std::string>& before) {
    if (before.empty()) return false;
    const CommandInfo* info = FindCommand(before[0]);
    if (!info) return false;
    // Flags do not count as arguments.
    std::size_t position = 0;
    bool reverse = false;
    for (std::size_t i = 1; i < before.size(); ++i) {
        if (!before[i].empty() && before[i][0] == '-' && before[i] != "-") {
            reverse = reverse || before[i] == "-R";
            // The number after a count of connections is no name either.
            if (before[i] == "-P" || before[i] == "--parallel" || before[i] == "--segments" ||
                before[i] == "-O" || before[i] == "-o" || before[i] == "--sort" ||
                (info->verb == Verb::Pget && before[i] == "-n"))
                ++i;
            continue;
        }
        ++position;
    }
    switch (info->verb) {
    case Verb::Cd: case Verb::Cwd: case Verb::Dir: case Verb::Ls: case Verb::Size: case Verb::Delete:
    case Verb::RmDir: case Verb::Rm: case Verb::Cat: case Verb::Mget: case Verb::Find: case Verb::Du:
    case Verb::Rename: case Verb::Cls:
        return true;
    case Verb::Get: case Verb::Reget: return position == 0;
    case Verb::Put: case Verb::Reput: case Verb::Append: return position == 1;
    case Verb::Chmod: return position >= 1;
    case Verb::Mirror: return reverse ? position == 1 : position == 0;
    default: return false;
    }
}

namespace {

// A name readline would put into the input line as it stands: well-formed UTF-8 without C1
// controls (U+0080-U+009F). U+009B is CSI to many terminals, and a stray byte of a broken
// sequence may be read as one too; such a name could not be typed back anyway.
bool InsertableName(std::string_view name) {
    if (!IsWellFormedUtf8(name)) return false;
    for (std::size_t i = 0; i + 1 < name.size(); ++i)
        if (static_cast<unsigned char>(name[i]) == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0)
            return false;
    return true;
}

}  // namespace

std::vector<std::string> CompleteRemoteName(const std::vector<std::string>& names, std::string_view prefix) {
    std::vector<std::string> out;
    const auto slash = prefix.rfind('/');
    const std::string_view directory = slash == std::string_view::npos ? std::string_view() : prefix.substr(0, slash + 1);
    const std::string_view base = prefix.substr(directory.size());
    for (const std::string& name : names)
        if (name.compare(0, base.size(), base) == 0 && InsertableName(name)) out.push_back(std::string(directory) + name);
    return out;
}

std::string CompletionDirectory(std::string_view prefix) {
    const auto slash = prefix.rfind('/');
    if (slash == std::string_view::npos) return {};
    return std::string(prefix.substr(0, slash == 0 ? 1 : slash));
}

bool HasPattern(std::string_view name) { return name.find_first_of("*?[") != std::string_view::npos; }

bool MatchesPattern(const std::string& pattern, const std::string& name) {
    return ::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

bool NamesNothingToRemove(std::string_view path) {
    if (path.find_first_not_of('/') == std::string_view::npos) return true;  // "", "/", "//"
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return last == "." || last == "..";
}

std::string BaseName(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string LocalIn(const std::string& dir, const std::string& name) {
    if (dir.empty() || name.rfind('/', 0) == 0) return name;
    const std::string rest = name.rfind("./", 0) == 0 ? name.substr(2) : name;
    return dir.back() == '/' ? dir + rest : dir + "/" + rest;
}

std::string LocalNameFromServer(std::string_view path) {
    std::string name = BaseName(path);
    return name == "-" ? "./-" : name;
}

namespace {

// The raw text after the command word, for commands that pass a whole line on.
std::string_view RestOfLine(std::string_view line, std::size_t wordEnd) {
    std::size_t p = wordEnd;
    if (p < line.size()) ++p;  // the one blank that separates the word from its text
    return line.substr(p);
}

}  // namespace

ParsedLine ParseCommand(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') return NoCommand{};
    line.remove_prefix(first);

    if (line[0] == '!') {
        // "!ls -l": the shell gets the rest of the line as written.
        Command command{Verb::Shell, {}};
        const std::string_view text = line.substr(1);
        if (text.find_first_not_of(" \t") != std::string_view::npos) command.args.emplace_back(text);
        return command;
    }

    std::size_t wordEnd = line.find_first_of(" \t");
    if (wordEnd == std::string_view::npos) wordEnd = line.size();
    const std::string word(line.substr(0, wordEnd));
    const CommandInfo* info = FindCommand(word);
    if (!info) return CommandError{word, "unknown command (help lists them)"};
    const std::string usage = "usage: " + Usage(*info);

    Command command{info->verb, {}};
    if (info->verb == Verb::Site || info->verb == Verb::Quote) {
        // The server gets the text as written: quotes and blanks inside are its business.
        std::string_view text = RestOfLine(line, wordEnd);
        if (info->verb == Verb::Site && text.find_first_not_of(" \t") == std::string_view::npos)
            return CommandError{word, usage};
        command.args.emplace_back(text);
        return command;
    }

    Words words = SplitWords(line.substr(wordEnd));
    if (!words.error.empty()) return CommandError{word, words.error};
    std::vector<std::string>& args = words.words;
    std::vector<bool>& quoted = words.quoted;
    const auto drop = [&] {
        args.erase(args.begin());
        quoted.erase(quoted.begin());
    };
    // A flag is a leading word as typed; "-c" in quotes is a name.
    const auto flagAhead = [&] { return !args.empty() && !quoted[0] && args[0].size() > 1 && args[0][0] == '-'; };
    const Verb verb = info->verb;
    const std::string_view name = info->name;

    if (verb == Verb::Glob) {
        // glob CMD ARGS: CMD as if typed alone, with every remote name open to patterns.
        ParsedLine inner = ParseCommand(RestOfLine(line, wordEnd));
        if (auto* c = std::get_if<Command>(&inner)) {
            if (c->verb == Verb::Glob) return CommandError{word, usage};
            c->globAll = true;
        } else if (std::holds_alternative<NoCommand>(inner)) {
            return CommandError{word, usage};
        }
        return inner;
    }
    if (name == "lls") {
        // The local ls, its arguments quoted for the shell as they were typed.
        std::string text = "ls";
        for (const std::string& a : args) {
            text += " '";
            for (char c : a) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
            text += "'";
        }
        return Command{Verb::Shell, {text}};
    }

    std::string outName;
    bool outGiven = false;
    // Leading flag words of the transfer commands, in any order.
    if (verb == Verb::Pget) command.parallel = 4;
    while (flagAhead()) {
        const std::string flag = args[0];
        const bool counted = (verb == Verb::Pget && flag == "-n") ||
                             (verb == Verb::Get && flag == "--segments") ||
                             ((verb == Verb::Mget || verb == Verb::Mput) &&
                              (flag == "-P" || flag == "--parallel"));
        const bool transfer = verb == Verb::Get || verb == Verb::Put || verb == Verb::Pget ||
                              verb == Verb::Mget || verb == Verb::Mput;
        if ((verb == Verb::Get || verb == Verb::Put || verb == Verb::Pget || verb == Verb::Mget) && flag == "-c") {
            command.resume = true;
        } else if (counted) {
            std::uint32_t n = 0;
            if (args.size() < 2 || !ParseInteger(std::string_view(args[1]), n) || n < 1 || n > 64)
                return CommandError{word, flag + " takes a number of connections from 1 to 64"};
            command.parallel = static_cast<int>(n);
            if (verb == Verb::Get) command.verb = Verb::Pget;
            drop();
        } else if ((flag == "-O" && transfer && verb != Verb::Pget) || (flag == "-o" && verb == Verb::Get)) {
            if (args.size() < 2 || args[1].empty())
                return CommandError{word, flag + (flag == "-o" ? " needs a file name" : " needs a directory")};
            (flag == "-o" ? outName : command.intoDirectory) = args[1];
            outGiven = outGiven || flag == "-o";
            drop();
        } else if ((verb == Verb::Rm && (flag == "-r" || flag == "-f" || flag == "-rf" || flag == "-fr")) ||
                   (verb == Verb::MkDir && flag == "-p")) {
            if (flag.find('f') != std::string::npos) command.force = true;
            if (flag.find('r') != std::string::npos || flag == "-p") command.recursive = true;
        } else if (verb == Verb::Du && (flag == "-s" || flag == "-h" || flag == "-sh" || flag == "-hs")) {
            if (flag.find('s') != std::string::npos) command.summarize = true;
            if (flag.find('h') != std::string::npos) command.human = true;
        } else if (verb == Verb::Dir || verb == Verb::Ls) {
            if (flag == "--") {
                drop();
                break;
            }
            if (!command.listOptions.empty()) command.listOptions += ' ';
            command.listOptions += flag;
        } else if (verb == Verb::Cls && flag.rfind("--sort", 0) == 0) {
            std::string by;
            if (flag.size() > 7 && flag[6] == '=') {
                by = flag.substr(7);
            } else if (flag == "--sort" && args.size() >= 2) {
                by = args[1];
                drop();
            }
            if (by != "name" && by != "size" && by != "date" && by != "none")
                return CommandError{word, "--sort takes name, size, date or none"};
            command.sortBy = by;
        } else if (verb == Verb::Cls && flag.size() > 1 && flag[1] != '-' &&
                   flag.find_first_not_of("-laFhr1") == std::string::npos) {
            for (char c : flag.substr(1)) {
                if (c == 'l') command.longForm = true;
                if (c == 'a') command.allNames = true;
                if (c == 'F') command.classify = true;
                if (c == 'h') command.human = true;
                if (c == 'r') command.reversed = true;
            }
        } else if (verb == Verb::Cls && flag == "--") {
            drop();
            break;
        } else if (transfer || verb == Verb::Rm || verb == Verb::MkDir || verb == Verb::Du || verb == Verb::Cls) {
            if (flag == "--") {
                drop();
                break;
            }
            // Only a word that looks like a flag here: "-" alone is standard input or output.
            if (flag == "-" || verb == Verb::Mirror) break;
            return CommandError{word, "unknown option '" + flag + "'; " + usage};
        } else {
            break;
        }
        drop();
    }
    // mirror's flags, lftp's short names beside the long ones.
    while (flagAhead() && verb == Verb::Mirror) {
        const std::string flag = args[0];
        if (flag == "-R" || flag == "--reverse") command.reverse = true;
        else if (flag == "-e" || flag == "--delete") command.mirror.deleteExtra = true;
        else if (flag == "-n" || flag == "--newer-only" || flag == "--only-newer") command.mirror.newerOnly = true;
        else if (flag == "--dry-run") command.dryRun = true;
        else if (flag == "-P" || flag == "--parallel" || flag.rfind("--parallel=", 0) == 0) {
            // lftp writes --parallel=N; -P N and --parallel N as mget and mput take them.
            const bool joined = flag.size() > 10;
            std::uint32_t n = 0;
            if ((!joined && args.size() < 2) ||
                !ParseInteger(std::string_view(joined ? flag.substr(11) : args[1]), n) || n < 1 || n > 64)
                return CommandError{word, (joined ? std::string("--parallel") : flag) + " takes a number of connections from 1 to 64"};
            command.parallel = static_cast<int>(n);
            if (!joined) drop();
        }
        else if (flag == "--") { drop(); break; }
        else {
            // --include and the like: a value after it, or after '='.
            const auto eq = flag.find('=');
            const std::string option = flag.rfind("--", 0) == 0 && eq != std::string::npos ? flag.substr(0, eq) : flag;
            const bool joined = option.size() != flag.size();
            std::string error;
            std::optional<MirrorFilter> filter;
            if (joined || args.size() >= 2)
                filter = MirrorFilterOption(option, joined ? flag.substr(eq + 1) : args[1], error);
            else if (MirrorFilterOption(option, "", error))
                return CommandError{word, option + " needs a pattern"};
            if (!filter) return CommandError{word, "unknown option '" + flag + "'; " + usage};
            if (!error.empty()) return CommandError{word, error};
            command.mirror.filters.push_back(std::move(*filter));
            if (!joined) drop();
        }
        drop();
    }
    if (outGiven && args.size() > 1) return CommandError{word, "-o and a LOCAL name: give one"};
    if (outGiven) {
        args.push_back(outName);
        quoted.push_back(true);
    }
    if (args.size() < info->minArgs || (info->maxArgs != kManyArgs && args.size() > info->maxArgs))
        return CommandError{word, usage};
    command.args = std::move(args);
    command.literal = std::move(quoted);
    if (name == "ascii" || name == "binary") {
        command.args = {name == "ascii" ? "A" : "I"};
        command.literal = {true};
    }
    // An unquoted pattern as get's REMOTE fetches what matches, as mget does; a LOCAL given
    // with it is the directory they go into.
    if ((command.verb == Verb::Get || command.verb == Verb::Reget) && !command.literal[0] &&
        HasPattern(command.args[0])) {
        if (outGiven) return CommandError{word, "-o names one file; a pattern may match several"};
        if (command.args.size() == 2) {
            if (!command.intoDirectory.empty()) return CommandError{word, "-O and a LOCAL directory: give one"};
            command.intoDirectory = command.args[1];
        }
        command.args.resize(1);
        command.literal.resize(1);
        command.resume = command.resume || command.verb == Verb::Reget;
        command.verb = Verb::Mget;
    }

    switch (command.verb) {
    case Verb::Reget:
        command.verb = Verb::Get;
        command.resume = true;
        [[fallthrough]];
    case Verb::Get:
    case Verb::Pget:
        if (command.args.size() == 1) command.args.push_back(LocalNameFromServer(command.args[0]));
        else if (command.args[1].size() > 1 && command.args[1].back() == '/' && command.intoDirectory.empty())
            command.intoDirectory = std::exchange(command.args[1], LocalNameFromServer(command.args[0]));
        if (!command.intoDirectory.empty() && command.args[1] != "-")
            command.args[1] = LocalIn(command.intoDirectory, command.args[1]);
        if (command.verb == Verb::Pget && command.args[1] == "-")
            return CommandError{word, "a download over several connections cannot go to standard output"};
        if (command.args[1].empty() || command.args[1] == "/")
            return CommandError{word, "no file name in '" + command.args[0] + "'"};
        if (command.resume && command.args[1] == "-")
            return CommandError{word, "standard output cannot be resumed"};
        break;
    case Verb::Reput:
        command.verb = Verb::Put;
        command.resume = true;
        [[fallthrough]];
    case Verb::Put:
        if (command.resume && command.args[0] == "-")
            return CommandError{word, "standard input cannot be resumed"};
        if (command.args.size() == 1) {
            if (command.args[0] == "-") return CommandError{word, "put - needs a REMOTE name"};
            command.args.push_back(BaseName(command.args[0]));
        } else if (command.args[1].size() > 1 && command.args[1].back() == '/' && command.args[0] != "-") {
            command.args[1] += BaseName(command.args[0]);
        }
        if (!command.intoDirectory.empty()) command.args[1] = LocalIn(command.intoDirectory, command.args[1]);
        if (command.args[1].empty() || command.args[1] == "/")
            return CommandError{word, "no file name in '" + command.args[0] + "'"};
        break;
    case Verb::Mirror:
        if (command.args.size() == 1) command.args.push_back(BaseName(command.args[0]));
        if (command.args[1].empty()) return CommandError{word, usage};
        break;
    case Verb::Delete:
    case Verb::Rm:
    case Verb::RmDir:
        // As Unix rm: an unset variable in `rm -r "$DIR"`, ".", ".." and "pub/.." name the
        // directory the user stands in or one above it, never what was meant. The root
        // would take everything with it.
        for (const std::string& path : command.args)
            if (NamesNothingToRemove(path))
                return CommandError{word, "refusing to remove '" + path + "'"};
        break;
    case Verb::Rest:
        if (!ParseInteger(std::string_view(command.args[0]), command.offset))
            return CommandError{word, "OFFSET must be a byte count, not '" + command.args[0] + "'"};
        break;
    case Verb::Passive:
    case Verb::Verbose:
        if (!command.args.empty() && AsciiLower(command.args[0]) != "on" && AsciiLower(command.args[0]) != "off")
            return CommandError{word, usage};
        break;
    case Verb::Open:
        if (command.args.size() == 2) {
            std::uint32_t port = 0;
            if (!ParseInteger(std::string_view(command.args[1]), port) || port < 1 || port > 65535)
                return CommandError{word, "PORT must be a number from 1 to 65535"};
        }
        break;
    default:
        break;
    }
    return command;
}

}  // namespace tarselftp
