// The one-exchange command methods and the prologue every operation method shares.
#include <tarsel/tarsel.h>

#include "control/step.h"

namespace tarselctl {

void tarsel::RequireIdle(const String& operation) {
    if (m_Idle != True) throw AutomationError(17, operation, u"Not Idling");
}

void tarsel::RunOperation(const String& operation, std::initializer_list<String> lines) {
    BeginOperation(operation);
    for (const String& line : lines) QueueCommand(line);
    SendNextCommand();
}

void tarsel::Cd(const String& Directory) {
    Step step(*this);
    RequireIdle(u"Cd");
    RefuseUnsafeText(u"Cd", {&Directory});
    RunOperation(u"Cd", {u"CWD " + (Directory.empty() ? String(u".") : Directory), u"PWD"});
}

void tarsel::Cwd(const String& Directory) {
    Step step(*this);
    RequireIdle(u"Cwd");
    RefuseUnsafeText(u"Cwd", {&Directory});
    RunOperation(u"Cwd", {u"CWD " + Directory});
}

void tarsel::Pwd() {
    Step step(*this);
    RequireIdle(u"Pwd");
    RunOperation(u"Pwd", {u"PWD"});
}

void tarsel::FileSize(const String& File) {
    Step step(*this);
    RequireIdle(u"Size");
    RefuseUnsafeText(u"Size", {&File, &m_Filetype});
    BeginOperation(u"Size");
    if (!m_Filetype.empty()) QueueCommand(u"TYPE " + m_Filetype);
    QueueCommand(u"SIZE " + File);
    SendNextCommand();
}

void tarsel::Noop() {
    Step step(*this);
    RequireIdle(u"Noop");
    RunOperation(u"Noop", {u"NOOP"});
}

void tarsel::Delete(const String& File) {
    Step step(*this);
    RequireIdle(u"Delete");
    RefuseUnsafeText(u"Delete", {&File});
    RunOperation(u"Delete", {u"DELE " + File});
}

void tarsel::MkDir(const String& Directory) {
    Step step(*this);
    RequireIdle(u"MkDir");
    RefuseUnsafeText(u"MkDir", {&Directory});
    RunOperation(u"MkDir", {u"MKD " + Directory});
}

void tarsel::RmDir(const String& Directory) {
    Step step(*this);
    RequireIdle(u"RmDir");
    RefuseUnsafeText(u"RmDir", {&Directory});
    RunOperation(u"RmDir", {u"RMD " + Directory});
}

void tarsel::Rename(const String& FileFrom, const String& FileTo) {
    Step step(*this);
    RequireIdle(u"Rename");
    RefuseUnsafeText(u"Rename", {&FileFrom, &FileTo});
    RunOperation(u"Rename", {u"RNFR " + FileFrom, u"RNTO " + FileTo});
}

void tarsel::SiteCommand(const String& LocalCommand) {
    Step step(*this);
    RequireIdle(u"Site");
    RefuseUnsafeText(u"Site", {&LocalCommand});
    RunOperation(u"Site", {u"SITE " + LocalCommand});
}

void tarsel::QuoteCommand(const String& ExtraCommand) {
    Step step(*this);
    RequireIdle(u"Quote");
    RefuseUnsafeText(u"Quote", {&ExtraCommand});
    // "EXPC" is the control's own queue marker: nothing would be sent for it and no reply
    // would ever end the operation.
    if (CommandWord(ExtraCommand) == u"EXPC") throw AutomationError(5, u"Quote", u"Invalid Argument");
    RunOperation(u"Quote", {ExtraCommand});
}

}  // namespace tarselctl
