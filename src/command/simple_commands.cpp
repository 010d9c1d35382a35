// The one-exchange command methods and the entry every operation method goes through.
#include "control/control_core.h"

#include "control/step.h"

namespace tarselctl {

namespace {
// The operations that need a data connection, whose data must be protected when TLS is asked for.
bool NeedsDataConnection(Operation op) {
    return op == Operation::Dir || op == Operation::Ls || op == Operation::GetFile || op == Operation::PutFile ||
           op == Operation::AppendFile;
}
}  // namespace

ControlCore::Entry::Entry(ControlCore& control, Operation operation, std::initializer_list<const String*> texts)
    : Step(control) {
    const String name = OperationName(operation);
    if (!control.Idle()) throw AutomationError(17, name, u"Not Idling");
    // A host that asked for TLS expects its listings and files protected like its password:
    // with PROT P refused (or never sent, after a failed login) they would cross in the clear.
    if (NeedsDataConnection(operation) && control.DataUnprotected())
        throw AutomationError(70, name, u"Data Not Protected");
    control.RefuseUnsafeText(name, texts);
}

void ControlCore::RunOperation(Operation operation, std::initializer_list<String> lines) {
    BeginOperation(operation);
    for (const String& line : lines) QueueCommand(line);
    SendNextCommand();
}

void ControlCore::Cd(const String& Directory) {
    Entry entry(*this, Operation::Cd, {&Directory});
    RunOperation(Operation::Cd, {u"CWD " + (Directory.empty() ? String(u".") : Directory), u"PWD"});
}

void ControlCore::Cwd(const String& Directory) {
    Entry entry(*this, Operation::Cwd, {&Directory});
    RunOperation(Operation::Cwd, {u"CWD " + Directory});
}

void ControlCore::Pwd() {
    Entry entry(*this, Operation::Pwd);
    RunOperation(Operation::Pwd, {u"PWD"});
}

void ControlCore::FileSize(const String& File) {
    Entry entry(*this, Operation::Size, {&File, &m_Filetype});
    BeginOperation(Operation::Size);
    for (const String& line : TypeLines(m_Filetype)) QueueCommand(line);
    QueueCommand(u"SIZE " + File);
    SendNextCommand();
}

void ControlCore::Noop() {
    Entry entry(*this, Operation::Noop);
    RunOperation(Operation::Noop, {u"NOOP"});
}

void ControlCore::Delete(const String& File) {
    Entry entry(*this, Operation::Delete, {&File});
    RunOperation(Operation::Delete, {u"DELE " + File});
}

void ControlCore::MkDir(const String& Directory) {
    Entry entry(*this, Operation::MkDir, {&Directory});
    RunOperation(Operation::MkDir, {u"MKD " + Directory});
}

void ControlCore::RmDir(const String& Directory) {
    Entry entry(*this, Operation::RmDir, {&Directory});
    RunOperation(Operation::RmDir, {u"RMD " + Directory});
}

void ControlCore::Rename(const String& FileFrom, const String& FileTo) {
    Entry entry(*this, Operation::Rename, {&FileFrom, &FileTo});
    RunOperation(Operation::Rename, {u"RNFR " + FileFrom, u"RNTO " + FileTo});
}

void ControlCore::SiteCommand(const String& LocalCommand) {
    Entry entry(*this, Operation::Site, {&LocalCommand});
    RunOperation(Operation::Site, {u"SITE " + LocalCommand});
}

void ControlCore::QuoteCommand(const String& ExtraCommand) {
    Entry entry(*this, Operation::Quote, {&ExtraCommand});
    if (WordOf(ExtraCommand) == Word::Xprt) {
        // Hosts have always been able to quote XPRT for the active-mode set-up: a listener
        // and its PORT or EPRT line, with no transfer behind them.
        BeginOperation(Operation::Quote);
        QueueStep(QueuedStep::Kind::ActiveModeSetup);
        SendNextCommand();
        return;
    }
    // A host's own line (REIN, USER, a server's SITE command) may change the type behind the
    // control's back; only a TYPE line says which type follows.
    if (WordOf(ExtraCommand) != Word::Type) m_TypeInForce.clear();
    RunOperation(Operation::Quote, {ExtraCommand});
}

}  // namespace tarselctl
