// The one-exchange command methods and the prologue every operation method shares.
#include "control/control_core.h"

#include "control/step.h"

namespace tarselctl {

void ControlCore::RequireIdle(const String& operation) {
    if (m_Idle != True) throw AutomationError(17, operation, u"Not Idling");
}

void ControlCore::RunOperation(const String& operation, std::initializer_list<String> lines) {
    BeginOperation(operation);
    for (const String& line : lines) QueueCommand(line);
    SendNextCommand();
}

void ControlCore::Cd(const String& Directory) {
    Step step(*this);
    RequireIdle(u"Cd");
    RefuseUnsafeText(u"Cd", {&Directory});
    RunOperation(u"Cd", {u"CWD " + (Directory.empty() ? String(u".") : Directory), u"PWD"});
}

void ControlCore::Cwd(const String& Directory) {
    Step step(*this);
    RequireIdle(u"Cwd");
    RefuseUnsafeText(u"Cwd", {&Directory});
    RunOperation(u"Cwd", {u"CWD " + Directory});
}

void ControlCore::Pwd() {
    Step step(*this);
    RequireIdle(u"Pwd");
    RunOperation(u"Pwd", {u"PWD"});
}

void ControlCore::FileSize(const String& File) {
    Step step(*this);
    RequireIdle(u"Size");
    RefuseUnsafeText(u"Size", {&File, &m_Filetype});
    BeginOperation(u"Size");
    if (!m_Filetype.empty()) QueueCommand(u"TYPE " + m_Filetype);
    QueueCommand(u"SIZE " + File);
    SendNextCommand();
}

void ControlCore::Noop() {
    Step step(*this);
    RequireIdle(u"Noop");
    RunOperation(u"Noop", {u"NOOP"});
}

void ControlCore::Delete(const String& File) {
    Step step(*this);
    RequireIdle(u"Delete");
    RefuseUnsafeText(u"Delete", {&File});
    RunOperation(u"Delete", {u"DELE " + File});
}

void ControlCore::MkDir(const String& Directory) {
    Step step(*this);
    RequireIdle(u"MkDir");
    RefuseUnsafeText(u"MkDir", {&Directory});
    RunOperation(u"MkDir", {u"MKD " + Directory});
}

void ControlCore::RmDir(const String& Directory) {
    Step step(*this);
    RequireIdle(u"RmDir");
    RefuseUnsafeText(u"RmDir", {&Directory});
    RunOperation(u"RmDir", {u"RMD " + Directory});
}

void ControlCore::Rename(const String& FileFrom, const String& FileTo) {
    Step step(*this);
    RequireIdle(u"Rename");
    RefuseUnsafeText(u"Rename", {&FileFrom, &FileTo});
    RunOperation(u"Rename", {u"RNFR " + FileFrom, u"RNTO " + FileTo});
}

void ControlCore::SiteCommand(const String& LocalCommand) {
    Step step(*this);
    RequireIdle(u"Site");
    RefuseUnsafeText(u"Site", {&LocalCommand});
    RunOperation(u"Site", {u"SITE " + LocalCommand});
}

void ControlCore::QuoteCommand(const String& ExtraCommand) {
    Step step(*this);
    RequireIdle(u"Quote");
    RefuseUnsafeText(u"Quote", {&ExtraCommand});
    if (CommandWord(ExtraCommand) == u"XPRT") {
        // Hosts have always been able to quote XPRT for the active-mode set-up: a listener
        // and its PORT or EPRT line, with no transfer behind them.
        BeginOperation(u"Quote");
        QueueStep(QueuedStep::Kind::ActiveModeSetup);
        SendNextCommand();
        return;
    }
    RunOperation(u"Quote", {ExtraCommand});
}

}  // namespace tarselctl
