// The public control: every method, property and event accessor forwards to the core, which
// holds all state. Keeping the state out of the public header keeps the library's exported
// surface to the API and lets the core change without touching a host's build.
#include <tarsel/tarsel.h>

#include <tarsel/property_bag.h>

#include "command/server_features.h"
#include "control/template_settings.h"
#include "control/control_core.h"

namespace tarselctl {

// TraceOn is a plain member the host writes directly; the core reads it where it lives.
tarsel::tarsel(Platform& platform) : m_Core(std::make_unique<ControlCore>(platform, TraceOn)) {}
tarsel::~tarsel() = default;

Long tarsel::Advise(tarselEvents& sink) { return m_Core->Advise(sink); }
void tarsel::Unadvise(Long cookie) { m_Core->Unadvise(cookie); }

#define TARSEL_PROPERTY_READER(type, name) \
    type tarsel::get_##name() const { return m_Core->get_##name(); }
#define TARSEL_PROPERTY_RO(type, name) TARSEL_PROPERTY_READER(type, name)
#define TARSEL_PROPERTY_RW(type, name) \
    TARSEL_PROPERTY_READER(type, name)   \
    void tarsel::put_##name(PropertyArg<type> value) { m_Core->put_##name(value); }
#define TARSEL_PROPERTY(type, name, access, order, id, copy) TARSEL_PROPERTY_##access(type, name)
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load) \
    TARSEL_PROPERTY_RW(type, name)
#include <tarsel/properties.def>
#undef TARSEL_PROPERTY_RW
#undef TARSEL_PROPERTY_RO
#undef TARSEL_PROPERTY_READER

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

void CopyTemplateSettings(const tarsel& from, tarsel& to) {
    // The stored settings travel through storage, so that they load exactly as a host's
    // stored settings do (a value only Connect refuses is copied, and refused there).
    MemoryPropertyBag bag;
    from.WriteProperties(bag);
    to.ReadProperties(bag);
    to.TraceOn = from.TraceOn;
#define TARSEL_COPY_Own(name)
#define TARSEL_COPY_Template(name) to.put_##name(from.get_##name());
#define TARSEL_PROPERTY(type, name, access, order, id, copy) TARSEL_COPY_##copy(name)
#include <tarsel/properties.def>
#undef TARSEL_COPY_Template
#undef TARSEL_COPY_Own
}

}  // namespace tarselctl
