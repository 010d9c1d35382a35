// tarsel-ftp's command line and command language: options, quoted arguments, scripts.
// Pure text processing: nothing here touches a file, a socket or the control.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "mirror_plan.h"

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
    /// USER was given (on the command line or in a URL); PASSWORD too.
    bool userGiven = false;
    bool passwordGiven = false;
    /// The path of an ftp:// URL: a directory to change to (ending in '/') or a file to fetch.
    std::string urlPath;
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
    /// "auto" (AUTH TLS tried, plain where the server refuses it), "off", "explicit" or
    /// "implicit" (--tls); none given: "auto", unless stored settings name a mode.
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
    /// --retries: how often a many-file command that lost the connection has it opened
    /// again before it fails; --reconnect-interval: the first pause in seconds, doubled
    /// after each attempt.
    std::int32_t retries = 3;
    std::int32_t reconnectInterval = 2;
    bool trace = false;
    /// -v/--verbose: every reply of the server to standard output.
    bool verbose = false;
    /// --progress / --no-progress; unset: shown when standard error is a terminal.
    std::optional<bool> progress;
    std::uint32_t chunk = kDefaultChunk;
    bool keepGoing = false;
    /// The text of -c; commands then come from it instead of standard input.
    std::optional<std::string> script;
    /// The text of -e (lftp's): commands run first, then the prompt or standard input.
    std::optional<std::string> firstCommands;
    /// --norc: the start-up file is not read.
    bool noStartupFile = false;
    /// The parallelism mget, mput and mirror take without -P (`set parallel N`).
    int defaultParallel = 0;
    /// --settings: file of stored settings loaded before the options above are applied.
    std::optional<std::string> settingsFile;
    /// --save-settings: file the control's stored settings are written to once the options
    /// are applied.
    std::optional<std::string> saveSettingsFile;
    bool help = false;
    bool version = false;
    /// --man: print the manual page.
    bool manual = false;
};

/// Result of ParseOptions: the options, or a message saying what is wrong with the arguments.
struct ParsedOptions {
    Options options;
    std::string error;  // empty when the arguments are valid
};

/// Reads `tarsel-ftp [options] [HOST [USER [PASSWORD]]]` or `tarsel-ftp [options] URL`
/// (args without the program name). Options may be written `--name VALUE` or
/// `--name=VALUE`; `--` ends the options. HOST may be left out: the program then starts
/// unconnected, which only an interactive run can make use of (`open`).
ParsedOptions ParseOptions(const std::vector<std::string>& args);

/// The --precommand lines joined the way the control's PreCommand property takes them.
std::string JoinPreCommands(const std::vector<std::string>& lines);

/// The usage text printed for --help and after an argument error.
std::string UsageText();
/// What the program does with its arguments, a paragraph of the usage text.
std::string AboutText();
/// The options part of it, one option (and its explanation) a line or two.
std::string OptionsText();
/// The manual page (roff, man(7) macros) made from the same option text and command table.
std::string ManualPage(std::string_view version);

/// Splits a -c script into command lines at every ';' outside double quotes. Blank pieces
/// are dropped; each piece keeps its text otherwise unchanged.
std::vector<std::string> SplitScript(std::string_view script);

/// Words of a command line: runs of characters between blanks (space, tab). A double-quoted
/// section belongs to the word it touches and may hold blanks and ';'; inside it \" stands
/// for a quote and \\ for a backslash. Fails on an unterminated quote.
struct Words {
    std::vector<std::string> words;
    /// Per word: it held a quoted section, which turns pattern expansion off for it.
    std::vector<bool> quoted;
    std::string error;
};
Words SplitWords(std::string_view line);

/// The commands of the command language. The last group is never typed: those are the
/// steps the session breaks mget, mirror and the like into.
enum class Verb {
    Cd, Cwd, Pwd, Size, Noop, Delete, MkDir, RmDir, Rename, Site, Quote, Dir, Ls,
    Get, Reget, Put, Reput, Append, Rest, Login, User, Abort, Quit,
    Help, Lcd, Lpwd, Shell, Mget, Mput, Mirror, Open, Close, Passive, Verbose, Pget,
    Cat, Find, Du, Rm, Chmod, Cls, Type, Glob, Set, Alias, Bookmark,
    // steps of many-file commands
    MgetList, MirrorStart, MirrorList, MirrorUpList, MirrorTime, WalkList,
    /// The walk of find, du, rm -r or mkdir runs its next step (see TreeWalk).
    WalkNext,
    CompletionList,
    /// The listing a pattern in a command's remote names is matched against; the command
    /// waits right behind it in the queue.
    GlobList,
    /// The listing cls prints from.
    ClsList,
    /// The PWD that resolves the remote names of transfers run over several connections.
    ParallelStart,
};

/// One entry of the command table, from which parsing, help, completion and the usage text
/// are all made.
struct CommandInfo {
    std::string_view name;
    Verb verb;
    std::size_t minArgs;
    std::size_t maxArgs;  // kManyArgs: no limit
    /// Arguments as shown in usage lines: "REMOTE [LOCAL]".
    std::string_view arguments;
    std::string_view help;
    /// The operation the control reports for it; empty for commands run on this side.
    std::string_view operation;
    /// Whether it moves data over a data connection (abort and the progress meter apply).
    bool transfers;
    /// A second name for the same command ("bye" for "quit").
    std::string_view alias = {};
};
inline constexpr std::size_t kManyArgs = static_cast<std::size_t>(-1);

/// Every command that can be typed, in the order help lists them.
const std::vector<CommandInfo>& CommandTable();
/// The table entry of a typed name or alias (case-insensitive), or null.
const CommandInfo* FindCommand(std::string_view name);
/// The table entry of a verb, or null for the internal steps.
const CommandInfo* FindCommand(Verb verb);
/// "get [-c] ... REMOTE [LOCAL]": a command's name and arguments as usage lines show them.
std::string Usage(const CommandInfo& info);
/// `help` without a topic: every command with its arguments, two columns.
std::string HelpText();
/// `help CMD`: its usage and explanation; empty when there is no such command.
std::string HelpText(std::string_view command);
/// Command names (and aliases) that start with `prefix`, for completion.
std::vector<std::string> CompleteCommandName(std::string_view prefix);
/// Whether the word being typed after `before` (the command and its arguments so far)
/// names a remote file or directory: get's first argument, cd's, rm's, and the like.
bool TakesRemoteName(const std::vector<std::string>& before);
/// The entries of `names` that the word `prefix` completes to. `names` are those of the
/// directory CompletionDirectory(prefix) names (directories end in '/'); the results keep
/// the prefix's directory part ("pub/s" -> "pub/sub/").
std::vector<std::string> CompleteRemoteName(const std::vector<std::string>& names, std::string_view prefix);
/// The remote directory whose names complete `prefix`: "" (the current one) without a '/',
/// else what comes before the last '/' ("/" for "/x").
std::string CompletionDirectory(std::string_view prefix);

/// Whether a name holds a pattern character (* ? [) that the client expands.
bool HasPattern(std::string_view name);
/// Whether `name` matches `pattern` (* ? [...], as the shell: a leading '.' only by a
/// leading '.').
bool MatchesPattern(const std::string& pattern, const std::string& name);

/// Whether a remote path names what no command may remove: "", the root ("/", "//"), or a
/// last component "." or ".." ("pub/..", "./"). delete, rm and rmdir refuse it.
bool NamesNothingToRemove(std::string_view path);

/// One parsed command line. `args` holds the arguments after defaults are filled in:
/// get/put always carry two, site, quote and ! carry their raw text as one.
struct Command {
    Command(Verb v, std::vector<std::string> a = {}, std::uint64_t restOffset = 0)
        : verb(v), args(std::move(a)), offset(restOffset) {}
    Verb verb;
    std::vector<std::string> args;
    /// Per argument: quoted as typed, or already the result of a pattern: never expanded.
    std::vector<bool> literal;
    /// Restart offset of `rest`.
    std::uint64_t offset = 0;
    /// get -c / reget: resume from the local file's size.
    bool resume = false;
    /// mirror -R: local to remote.
    bool reverse = false;
    /// pget -n N, get --segments N: ranges of the file; mget/mput -P N: connections. 0 or 1:
    /// one connection, the session's own.
    int parallel = 0;
    /// mirror --delete, --newer-only.
    MirrorOptions mirror;
    /// mirror --dry-run: decisions are shown, nothing is changed.
    bool dryRun = false;
    /// The source's modification time (seconds since 1970, UTC) a mirror step gives the
    /// copy it makes.
    std::optional<std::int64_t> sourceTime;
    /// rm -r, mkdir -p.
    bool recursive = false;
    /// rm -f: a file that is not there, or a pattern that matches nothing, is no error.
    bool force = false;
    /// glob CMD: patterns are expanded in every remote name of CMD, not only where CMD
    /// expands them itself.
    bool globAll = false;
    /// dir and ls: the option words typed before the names, passed on to LIST or NLST.
    std::string listOptions;
    /// get, mget -O, put -O: the directory the files go into (local for get and mget,
    /// remote for put); empty: the current one.
    std::string intoDirectory;
    /// cls: -l long form, -a dot files too, -F '/' after directories, --sort (name, size,
    /// date or none), -r reversed; -h (human) is shared with du.
    bool longForm = false;
    bool allNames = false;
    bool classify = false;
    bool reversed = false;
    std::string sortBy = "name";
    /// du -s (the total only), du -h (sizes as 1.5M).
    bool summarize = false;
    bool human = false;
    /// The command a WalkList step lists for, which names it in error lines. RmEntry and
    /// MkdirCheck list a parent to learn what one entry in it is (MkdirCheck by MLSD where
    /// offered, all others by LIST, which shows links).
    enum class Walk { Find, Du, Rm, RmEntry, MkdirCheck };
    Walk walk = Walk::Find;
    /// mkdir -p's last directory: a refusal is checked against its parent's listing, since
    /// one that exists already is no error.
    bool checkMade = false;
    /// The step that ends a mirror (its way back to the start directory).
    bool endsMirror = false;
    /// Steps of a many-file command carry the number of the command they belong to.
    std::uint64_t job = 0;
    /// A step whose refusal is expected now and then (creating a directory that may exist).
    bool mayFail = false;
    /// Size known beforehand (from a listing), for the progress meter.
    std::optional<std::uint64_t> knownSize;
    /// mirror's local side: the target directory as the user named it, and the path of the
    /// step's directory or file below it, which is walked without following symbolic links.
    /// Empty localRoot: the local name is used as given.
    std::string localRoot;
    std::string localBelow;
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

/// NAME inside DIR ("" leaves it as it is; an absolute NAME stays as it is).
std::string LocalIn(const std::string& dir, const std::string& name);

/// The local file a download takes its name from the server's `path` by: its base name,
/// with "-" written "./-". "-" means standard output only where the user typed it as LOCAL;
/// a file the server happens to call "-" is a file like any other.
std::string LocalNameFromServer(std::string_view path);

}  // namespace tarselftp
