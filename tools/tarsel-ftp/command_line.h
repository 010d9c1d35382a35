// tarsel-ftp's command line and command language: options, quoted arguments, scripts.
// Pure text processing: nothing here touches a file, a socket or the control.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarselftp {

/// Upload block size used when --chunk is not given.
inline constexpr std::uint32_t kDefaultChunk = 64 * 1024;
/// Largest accepted --chunk: a block is held in memory while it is sent.
inline constexpr std::uint32_t kMaxChunk = 64 * 1024 * 1024;
/// Seconds a reply may take when --reply-timeout is not given. The control itself waits
/// without limit; a command-line run must not hang on a server that stopped answering.
inline constexpr std::int32_t kDefaultReplyTimeout = 60;

/// Everything the program's arguments decide. Unset optionals leave the control's own
/// start value in place.
struct Options {
    std::string host;
    std::string user = "anonymous";
    std::string password = "tarsel@";
    std::optional<std::string> port;
    std::optional<bool> passive;
    /// "A", "I" or "" (--type none).
    std::optional<std::string> type;
    /// "BIN", "JIS", "SJIS", "EUC" or "UTF8".
    std::optional<std::string> fileCode;
    /// "SJIS", "EUC" or "UTF8".
    std::optional<std::string> sysCode;
    /// "SJIS" or "UTF8": the code of local text files.
    std::optional<std::string> hostCode;
    /// "explicit" or "implicit" (--tls).
    std::optional<std::string> tls;
    /// --cacert: PEM file of the CAs trusted for the server's certificate.
    std::optional<std::string> caFile;
    /// --insecure: the server's certificate is not checked.
    bool insecure = false;
    std::optional<std::string> account;
    /// Every --precommand, in order.
    std::vector<std::string> preCommands;
    std::optional<std::int32_t> connectTimeout;
    std::optional<std::int32_t> transTimeout;
    std::optional<std::int32_t> noopTime;
    /// --reply-timeout; 0 waits for every reply without limit.
    std::int32_t replyTimeout = kDefaultReplyTimeout;
    bool trace = false;
    std::uint32_t chunk = kDefaultChunk;
    bool keepGoing = false;
    /// The text of -c; commands then come from it instead of standard input.
    std::optional<std::string> script;
    /// --settings: file of stored settings loaded before the options above are applied.
    std::optional<std::string> settingsFile;
    /// --save-settings: file the control's stored settings are written to once the options
    /// are applied.
    std::optional<std::string> saveSettingsFile;
    bool help = false;
};

/// Result of ParseOptions: the options, or a message saying what is wrong with the arguments.
struct ParsedOptions {
    Options options;
    std::string error;  // empty when the arguments are valid
};

/// Reads `tarsel-ftp [options] HOST [USER [PASSWORD]]` (args without the program name).
/// Options may be written `--name VALUE` or `--name=VALUE`; `--` ends the options.
ParsedOptions ParseOptions(const std::vector<std::string>& args);

/// The --precommand lines joined the way the control's PreCommand property takes them.
std::string JoinPreCommands(const std::vector<std::string>& lines);

/// The usage text printed for --help and after an argument error.
std::string UsageText();

/// Splits a -c script into command lines at every ';' outside double quotes. Blank pieces
/// are dropped; each piece keeps its text otherwise unchanged.
std::vector<std::string> SplitScript(std::string_view script);

/// Words of a command line: runs of characters between blanks (space, tab). A double-quoted
/// section belongs to the word it touches and may hold blanks and ';'; inside it \" stands
/// for a quote and \\ for a backslash. Fails on an unterminated quote.
struct Words {
    std::vector<std::string> words;
    std::string error;
};
Words SplitWords(std::string_view line);

/// The commands of the command language.
enum class Verb {
    Cd, Cwd, Pwd, Size, Noop, Delete, MkDir, RmDir, Rename, Site, Quote, Dir, Ls,
    Get, Put, Append, Rest, Login, Abort, Quit,
};

/// One parsed command line. `args` holds the arguments after defaults are filled in:
/// get/put always carry two, site and quote carry their raw text as one.
struct Command {
    Verb verb;
    std::vector<std::string> args;
    /// Restart offset of `rest`.
    std::uint64_t offset = 0;
};

/// A line that is no valid command: the word as written and what is wrong.
struct CommandError {
    std::string word;
    std::string message;
};

/// Nothing to do: an empty line or a comment (first non-blank character '#').
struct NoCommand {};

using ParsedLine = std::variant<NoCommand, Command, CommandError>;

/// Parses one command line (without its line end; a trailing CR is ignored).
ParsedLine ParseCommand(std::string_view line);

/// The last path component of a name, for the default local or remote file name.
std::string BaseName(std::string_view path);

}  // namespace tarselftp
