// The texts --help prints (and the manual page repeats): what the program does with its
// arguments, and its options.
#include "command_line.h"

namespace tarselftp {

std::string OptionsText() {
    return
        "  -p, --port N           server port (21)\n"
        "  -u USER[,PASSWORD]     log in as USER (lftp's spelling; without PASSWORD it is\n"
        "                         asked for on a terminal)\n"
        "  --passive | --active   data connection mode (passive)\n"
        "  --type A|I|none        transfer type sent before transfers\n"
        "  --filecode BIN|JIS|SJIS|EUC|UTF8   code of file contents on the server\n"
        "  --syscode SJIS|EUC|UTF8   code of the server's commands and listings\n"
        "                         (UTF8 also sends OPTS UTF8 ON when FEAT lists UTF8;\n"
        "                         without it: UTF8 where FEAT says so, else judged from\n"
        "                         the server's listings)\n"
        "  --hostcode SJIS|UTF8   code of local text files (SJIS)\n"
        "  --tls auto|explicit|implicit|off\n"
        "                         auto (the default): AUTH TLS is tried and the session\n"
        "                         goes on in plain only where the server refuses it (a\n"
        "                         failed handshake or certificate ends it); explicit: AUTH\n"
        "                         TLS or nothing; implicit: TLS from the first byte; off:\n"
        "                         plain FTP (also set tls off, lftp's ftp:ssl-allow no)\n"
        "  --cacert FILE          CA certificates (PEM) trusted for the server\n"
        "  --insecure             do not check the server's certificate\n"
        "  --account TEXT         account for servers that ask for one\n"
        "  --precommand LINE      line sent before the login (repeatable)\n"
        "  --connect-timeout S    --trans-timeout S    --noop S   (seconds, 0 = off)\n"
        "  --reply-timeout S      give up on a server that has not answered in S seconds\n"
        "                         (60; 0 = wait for ever)\n"
        "  --retries N            a many-file command (mirror, mget, mput, rm -r, ...) that\n"
        "                         loses the connection opens it again up to N times (3)\n"
        "  --reconnect-interval S the pause before the first of those, doubled after each (2)\n"
        "  -v, --verbose          every reply of the server to standard output\n"
        "  --progress | --no-progress   progress meter on standard error (on when it is a\n"
        "                         terminal; never on otherwise)\n"
        "  --trace                every protocol trace line to standard error\n"
        "  --chunk BYTES          upload block size (64K)\n"
        "  --keep-going           go on after a failed command\n"
        "  --version              print the version and end\n"
        "  --man                  print this manual as a man page (roff) and end\n"
        "  -c 'CMD; CMD'          commands to run instead of standard input, then end\n"
        "  -e 'CMD; CMD'          commands to run first, then the prompt or standard input\n"
        "  --norc                 do not read the start-up file (~/.config/tarsel-ftp/rc,\n"
        "                         or $TARSEL_FTP_RC): commands such as set, alias and\n"
        "                         bookmark, run before the first command\n"
        "  --settings FILE        load stored settings (port, mode, type, codes, account,\n"
        "                         precommands, noop) before the options above\n"
        "  --save-settings FILE   store those settings, as the options leave them\n";
}

std::string AboutText() {
    return
        "On a terminal it prompts for commands (help lists them); otherwise it reads them one\n"
        "per line from standard input, or from -c 'cmd; cmd'. A URL's PATH is changed to when\n"
        "it is a directory (always when it ends in '/'), else fetched, and the program ends.\n"
        "Without USER the login comes from ~/.netrc, else it is anonymous (password\n"
        "tarsel@); a USER without PASSWORD gets it from ~/.netrc or, on a terminal, from a\n"
        "prompt. AUTH TLS is tried first, with the certificate checked; a server that\n"
        "refuses it is used in plain (--tls off: never try; --tls explicit: TLS or nothing).\n"
        "Names are read as UTF-8 where FEAT says UTF8, else in the code the listings show\n"
        "(UTF-8, Shift_JIS or EUC-JP), whatever the locale; --syscode chooses.\n";
}

std::string UsageText() {
    std::string text =
        "usage: tarsel-ftp [options] [HOST [USER [PASSWORD]]]\n"
        "       tarsel-ftp [options] ftp://[USER[:PASSWORD]@]HOST[:PORT][/PATH]\n";
    text += AboutText();
    text += "options:\n";
    text += OptionsText();
    text += "commands:\n";
    text += HelpText();
    text += "HOST may be a name, an IPv4 address, or an IPv6 address as ::1 or [::1].\n";
    return text;
}

}  // namespace tarselftp
