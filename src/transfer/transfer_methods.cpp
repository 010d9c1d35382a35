// The methods that need a data connection: listings, download, upload, append.
#include "control/control_core.h"

#include "control/step.h"

namespace tarselctl {

void ControlCore::StartTransfer(Operation operation, const std::vector<String>& lines, const String& transferLine) {
    SetPutReady(0);
    BeginOperation(operation);
    for (const String& line : lines) QueueCommand(line);
    // The mode line always comes just before the transfer command.
    if (m_Passive != False) QueueCommand(u"PASV");
    else QueueStep(QueuedStep::Kind::ActiveModeSetup);
    QueueCommand(transferLine);
    SendNextCommand();
}

std::vector<String> ControlCore::TypeLines(const String& type) const {
    if (type.empty() || (m_TypeOnce != False && type == m_TypeInForce)) return {};
    return {u"TYPE " + type};
}

bool ControlCore::DataUnprotected() const {
    return m_ConnectionTls != TlsMode::None && m_DataProtected == False && m_TlsAllowClearData == False;
}

void ControlCore::Dir(const String& File) {
    Entry entry(*this, Operation::Dir, {&File});
    // A stored text no writer understood is refused here rather than sent as a command.
    if (m_DirCommand == DirCommand::Unknown) put_DirCommand(m_DirCommand.Text());
    const String word = m_DirCommand.Text();
    StartTransfer(Operation::Dir, TypeLines(u"A"), File.empty() ? word : word + u" " + File);
}

void ControlCore::put_DirCommand(const String& value) {
    String upper = value;
    for (char16_t& c : upper)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (upper == u"LIST") m_DirCommand.Set(DirCommand::List);
    else if (upper == u"MLSD") m_DirCommand.Set(DirCommand::Mlsd);
    else throw AutomationError(54, u"DirCommand", u"Invalid Dir Command");
}

void ControlCore::Ls(const String& File) {
    Entry entry(*this, Operation::Ls, {&File});
    StartTransfer(Operation::Ls, TypeLines(u"A"), File.empty() ? String(u"NLST") : u"NLST " + File);
}

void ControlCore::GetFile(const String& File, const String& LocalFile) {
    Entry entry(*this, Operation::GetFile, {&File, &m_Filetype, &m_Rest});
    m_LocalFile = LocalFile;
    std::vector<String> lines = TypeLines(m_Filetype);
    if (!m_Rest.empty()) lines.push_back(u"REST " + m_Rest);
    StartTransfer(Operation::GetFile, lines, u"RETR " + File);
}

void ControlCore::PutFile(const String& File, const String& LocalFile) {
    Entry entry(*this, Operation::PutFile, {&File, &m_Filetype});
    m_LocalFile = LocalFile;
    std::vector<String> lines = TypeLines(m_Filetype);
    StartTransfer(Operation::PutFile, lines, u"STOR " + File);
}

void ControlCore::AppendFile(const String& File) {
    Entry entry(*this, Operation::AppendFile, {&File, &m_Filetype});
    std::vector<String> lines = TypeLines(m_Filetype);
    StartTransfer(Operation::AppendFile, lines, u"APPE " + File);
}

}  // namespace tarselctl
