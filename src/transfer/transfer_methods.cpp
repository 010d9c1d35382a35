// The methods that need a data connection: listings, download, upload, append.
#include "control/control_core.h"

#include "control/step.h"

namespace tarselctl {

void ControlCore::StartTransfer(const String& operation, const std::vector<String>& lines,
                           const String& transferLine) {
    SetPutReady(0);
    BeginOperation(operation);
    for (const String& line : lines) QueueCommand(line);
    // The mode line always comes just before the transfer command.
    if (m_Passive != False) QueueCommand(u"PASV");
    else QueueStep(QueuedStep::Kind::ActiveModeSetup);
    QueueCommand(transferLine);
    SendNextCommand();
}

void ControlCore::RequireDataProtection(const String& operation) {
    // A host that asked for TLS expects its listings and files protected like its password:
    // with PROT P refused (or never sent, after a failed login) they would cross in the clear.
    if (!m_ConnectionTls.empty() && m_DataProtected == False && m_TlsAllowClearData == False)
        throw AutomationError(70, operation, u"Data Not Protected");
}

void ControlCore::Dir(const String& File) {
    Step step(*this);
    RequireIdle(u"Dir");
    RequireDataProtection(u"Dir");
    RefuseUnsafeText(u"Dir", {&File});
    // A stored text no writer understood is refused here rather than sent as a command.
    put_DirCommand(m_DirCommand);
    StartTransfer(u"Dir", {u"TYPE A"}, File.empty() ? m_DirCommand : m_DirCommand + u" " + File);
}

void ControlCore::put_DirCommand(const String& value) {
    String upper = value;
    for (char16_t& c : upper)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (upper != u"LIST" && upper != u"MLSD") throw AutomationError(54, u"DirCommand", u"Invalid Dir Command");
    m_DirCommand = upper;
}

void ControlCore::Ls(const String& File) {
    Step step(*this);
    RequireIdle(u"Ls");
    RequireDataProtection(u"Ls");
    RefuseUnsafeText(u"Ls", {&File});
    StartTransfer(u"Ls", {u"TYPE A"}, File.empty() ? String(u"NLST") : u"NLST " + File);
}

void ControlCore::GetFile(const String& File, const String& LocalFile) {
    Step step(*this);
    RequireIdle(u"GetFile");
    RequireDataProtection(u"GetFile");
    RefuseUnsafeText(u"GetFile", {&File, &m_Filetype, &m_Rest});
    m_LocalFile = LocalFile;
    std::vector<String> lines;
    if (!m_Filetype.empty()) lines.push_back(u"TYPE " + m_Filetype);
    if (!m_Rest.empty()) lines.push_back(u"REST " + m_Rest);
    StartTransfer(u"GetFile", lines, u"RETR " + File);
}

void ControlCore::PutFile(const String& File, const String& LocalFile) {
    Step step(*this);
    RequireIdle(u"PutFile");
    RequireDataProtection(u"PutFile");
    RefuseUnsafeText(u"PutFile", {&File, &m_Filetype});
    m_LocalFile = LocalFile;
    std::vector<String> lines;
    if (!m_Filetype.empty()) lines.push_back(u"TYPE " + m_Filetype);
    StartTransfer(u"PutFile", lines, u"STOR " + File);
}

void ControlCore::AppendFile(const String& File) {
    Step step(*this);
    RequireIdle(u"AppendFile");
    RequireDataProtection(u"AppendFile");
    RefuseUnsafeText(u"AppendFile", {&File, &m_Filetype});
    std::vector<String> lines;
    if (!m_Filetype.empty()) lines.push_back(u"TYPE " + m_Filetype);
    StartTransfer(u"AppendFile", lines, u"APPE " + File);
}

}  // namespace tarselctl
