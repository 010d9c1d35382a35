// The manual page, made from the texts --help and help print, so that the three never
// disagree: the options text, the command table and its note on patterns.
#include "command_line.h"

#include <sstream>

namespace tarselftp {

namespace {

// Text as roff reads it literally: backslashes and hyphens escaped, and a line that starts
// with '.' or '\'' kept from being read as a request.
std::string Roff(std::string_view text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
        lineStart = c == '\n';
    }
    return out;
}

}  // namespace

std::string ManualPage(std::string_view version) {
    std::string page;
    page += ".TH TARSEL-FTP 1 \"\" \"tarsel-ftp " + Roff(version) + "\" \"User Commands\"\n";
    page += ".SH NAME\ntarsel-ftp \\- an everyday FTP client on the tarsel control\n";
    page += ".SH SYNOPSIS\n.B tarsel-ftp\n[options] [HOST [USER [PASSWORD]]]\n.br\n.B tarsel-ftp\n"
            "[options] ftp://[USER[:PASSWORD]@]HOST[:PORT][/PATH]\n";
    page += ".SH DESCRIPTION\n" + Roff(AboutText());
    page += ".SH OPTIONS\n.nf\n" + Roff(OptionsText()) + ".fi\n";
    page += ".SH COMMANDS\n";
    for (const CommandInfo& info : CommandTable()) {
        page += ".TP\n.B " + Roff(Usage(info)) + "\n" + Roff(info.help) + "\n";
        if (!info.alias.empty()) page += "Also: " + Roff(info.alias) + ".\n";
    }
    // The note that ends `help`: what follows the last command's line.
    const std::string help = HelpText();
    const std::string lastUsage = "  " + Usage(CommandTable().back());
    const auto note = help.find('\n', help.rfind(lastUsage));
    if (note != std::string::npos && note + 1 < help.size()) page += ".PP\n" + Roff(help.substr(note + 1));
    page += ".SH FILES\n"
            ".TP\n.I ~/.config/tarsel\\-ftp/rc\n"
            "Commands run before the first other one ($TARSEL_FTP_RC or $XDG_CONFIG_HOME "
            "first; \\-\\-norc skips it).\n"
            ".TP\n.I ~/.local/share/tarsel\\-ftp/bookmarks\nThe bookmarks ($XDG_DATA_HOME first).\n"
            ".TP\n.I ~/.netrc\nLogins; refused when others can read it.\n"
            ".TP\n.I ~/.tarsel_ftp_history\nThe prompt's history.\n";
    page += ".SH EXIT STATUS\n0 when everything asked for succeeded, else 1; at the prompt, "
            "the status of the last command typed.\n";
    page += ".SH SEE ALSO\n.BR lftp (1),\n.BR ftp (1)\n";
    return page;
}

}  // namespace tarselftp
