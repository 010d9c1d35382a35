// The public control: every method, property and event accessor forwards to the core, which
// holds all state. Keeping the state out of the public header keeps the library's exported
// surface to the API and lets the core change without touching a host's build.
#include <tarsel/tarsel.h>

#include "command/server_features.h"
#include "control/control_core.h"

namespace tarselctl {

// TraceOn is a plain member the host writes directly; the core reads it where it lives.
tarsel::tarsel(Platform& platform) : m_Core(std::make_unique<ControlCore>(platform, TraceOn)) {}
tarsel::~tarsel() = default;

Long tarsel::Advise(tarselEvents& sink) { return m_Core->Advise(sink); }
void tarsel::Unadvise(Long cookie) { m_Core->Unadvise(cookie); }
String tarsel::get_port() const { return m_Core->get_port(); }
void tarsel::put_port(const String& value) { m_Core->put_port(value); }
Boolean tarsel::get_Passive() const { return m_Core->get_Passive(); }
void tarsel::put_Passive(Boolean value) { m_Core->put_Passive(value); }
String tarsel::get_Account() const { return m_Core->get_Account(); }
void tarsel::put_Account(const String& value) { m_Core->put_Account(value); }
String tarsel::get_Rest() const { return m_Core->get_Rest(); }
void tarsel::put_Rest(const String& value) { m_Core->put_Rest(value); }
String tarsel::get_PreCommand() const { return m_Core->get_PreCommand(); }
void tarsel::put_PreCommand(const String& value) { m_Core->put_PreCommand(value); }
String tarsel::get_Copyright() const { return m_Core->get_Copyright(); }
void tarsel::put_Copyright(const String& value) { m_Core->put_Copyright(value); }
String tarsel::get_Filetype() const { return m_Core->get_Filetype(); }
void tarsel::put_Filetype(const String& value) { m_Core->put_Filetype(value); }
String tarsel::get_FileCode() const { return m_Core->get_FileCode(); }
void tarsel::put_FileCode(const String& value) { m_Core->put_FileCode(value); }
String tarsel::get_SysCode() const { return m_Core->get_SysCode(); }
void tarsel::put_SysCode(const String& value) { m_Core->put_SysCode(value); }
String tarsel::get_FtpCommand() const { return m_Core->get_FtpCommand(); }
Long tarsel::get_NoopTime() const { return m_Core->get_NoopTime(); }
void tarsel::put_NoopTime(Long value) { m_Core->put_NoopTime(value); }
Long tarsel::get_ConnectTimeout() const { return m_Core->get_ConnectTimeout(); }
void tarsel::put_ConnectTimeout(Long value) { m_Core->put_ConnectTimeout(value); }
Long tarsel::get_TransTimeout() const { return m_Core->get_TransTimeout(); }
void tarsel::put_TransTimeout(Long value) { m_Core->put_TransTimeout(value); }
Long tarsel::get_ReplyTimeout() const { return m_Core->get_ReplyTimeout(); }
void tarsel::put_ReplyTimeout(Long value) { m_Core->put_ReplyTimeout(value); }
Boolean tarsel::get_DataPeerCheck() const { return m_Core->get_DataPeerCheck(); }
void tarsel::put_DataPeerCheck(Boolean value) { m_Core->put_DataPeerCheck(value); }
String tarsel::get_TlsMode() const { return m_Core->get_TlsMode(); }
void tarsel::put_TlsMode(const String& value) { m_Core->put_TlsMode(value); }
String tarsel::get_TlsCaFile() const { return m_Core->get_TlsCaFile(); }
void tarsel::put_TlsCaFile(const String& value) { m_Core->put_TlsCaFile(value); }
Boolean tarsel::get_TlsVerify() const { return m_Core->get_TlsVerify(); }
void tarsel::put_TlsVerify(Boolean value) { m_Core->put_TlsVerify(value); }
String tarsel::get_HostCode() const { return m_Core->get_HostCode(); }
void tarsel::put_HostCode(const String& value) { m_Core->put_HostCode(value); }
Boolean tarsel::get_TlsAllowClearData() const { return m_Core->get_TlsAllowClearData(); }
void tarsel::put_TlsAllowClearData(Boolean value) { m_Core->put_TlsAllowClearData(value); }
String tarsel::get_DirCommand() const { return m_Core->get_DirCommand(); }
void tarsel::put_DirCommand(const String& value) { m_Core->put_DirCommand(value); }
Boolean tarsel::get_PasvAddress() const { return m_Core->get_PasvAddress(); }
void tarsel::put_PasvAddress(Boolean value) { m_Core->put_PasvAddress(value); }
Boolean tarsel::IsIdle() const { return m_Core->IsIdle(); }
String tarsel::get_Label1() const { return m_Core->get_Label1(); }
void tarsel::Connect(const String& RemoteHost, const String& Username, const String& Password) { m_Core->Connect(RemoteHost, Username, Password); }
void tarsel::Login(const String& Username, const String& Password) { m_Core->Login(Username, Password); }
void tarsel::DisConnect() { m_Core->DisConnect(); }
void tarsel::Abend() { m_Core->Abend(); }
void tarsel::Abort() { m_Core->Abort(); }
void tarsel::EndUpload() { m_Core->EndUpload(); }
std::int64_t tarsel::AnnouncedSize() const { return m_Core->AnnouncedFileSize(); }
std::uint64_t tarsel::DataBytes() const { return m_Core->DataBytes(); }
String tarsel::LastReply() const { return m_Core->LastReply(); }
std::vector<String> tarsel::Features() const { return m_Core->Features(); }
bool tarsel::HasFeature(const String& name) const { return ListsFeature(m_Core->Features(), name); }
String tarsel::TypeInForce() const { return m_Core->TypeInForce(); }
String tarsel::LastCommand() const { return m_Core->LastCommand(); }
void tarsel::Cd(const String& Directory) { m_Core->Cd(Directory); }
void tarsel::Cwd(const String& Directory) { m_Core->Cwd(Directory); }
void tarsel::Pwd() { m_Core->Pwd(); }
void tarsel::FileSize(const String& File) { m_Core->FileSize(File); }
void tarsel::Noop() { m_Core->Noop(); }
void tarsel::Delete(const String& File) { m_Core->Delete(File); }
void tarsel::MkDir(const String& Directory) { m_Core->MkDir(Directory); }
void tarsel::RmDir(const String& Directory) { m_Core->RmDir(Directory); }
void tarsel::Rename(const String& FileFrom, const String& FileTo) { m_Core->Rename(FileFrom, FileTo); }
void tarsel::SiteCommand(const String& LocalCommand) { m_Core->SiteCommand(LocalCommand); }
void tarsel::QuoteCommand(const String& ExtraCommand) { m_Core->QuoteCommand(ExtraCommand); }
void tarsel::Dir(const String& File) { m_Core->Dir(File); }
void tarsel::Ls(const String& File) { m_Core->Ls(File); }
void tarsel::GetFile(const String& File, const String& LocalFile) { m_Core->GetFile(File, LocalFile); }
void tarsel::PutFile(const String& File, const String& LocalFile) { m_Core->PutFile(File, LocalFile); }
void tarsel::AppendFile(const String& File) { m_Core->AppendFile(File); }
void tarsel::InitProperties() { m_Core->InitProperties(); }
void tarsel::ReadProperties(PropertyBag& bag) { m_Core->ReadProperties(bag); }
void tarsel::WriteProperties(PropertyBag& bag) const { m_Core->WriteProperties(bag); }
void tarsel::Resize(Long width, Long height) { m_Core->Resize(width, height); }
Long tarsel::get_Width() const { return m_Core->get_Width(); }
Long tarsel::get_Height() const { return m_Core->get_Height(); }
void tarsel::ShowAboutBox() { m_Core->ShowAboutBox(); }

}  // namespace tarselctl
