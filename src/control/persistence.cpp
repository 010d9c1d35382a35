// The control's life with its host: initialising a new instance, loading and saving the
// stored settings, the checks of the components' versions, the fixed size and the about box.
#include <tarsel/property_bag.h>
#include "control/control_core.h"

namespace tarselctl {

namespace {

constexpr Long kPixels = 32;
// Older components than these are known to misbehave with the control.
constexpr Integer kOldestGoodSocketVersion = 209;
constexpr Integer kOldestGoodConverterVersion = 205;

// The defaults stored values are compared with; a value equal to its default is not stored.
const String kDefaultPreCommand = u"";
const String kDefaultType = u"I";
const String kDefaultSysCode = u"EUC";
const String kDefaultFileCode = u"BIN";
const String kDefaultAccount = u"";
const String kDefaultPort = u"21";
constexpr Boolean kDefaultPassive = False;
constexpr Long kDefaultNoopTime = 0;
constexpr Boolean kDefaultDataPeerCheck = True;
const String kDefaultTlsMode = u"";
const String kDefaultTlsCaFile = u"";
constexpr Boolean kDefaultTlsVerify = True;
const String kDefaultHostCode = u"SJIS";
constexpr Boolean kDefaultTlsAllowClearData = False;
const String kDefaultDirCommand = u"LIST";
constexpr Boolean kDefaultPasvAddress = False;

// The warnings show on every load and every save (and on a new instance) while an old
// component is installed; they change nothing else.
void CheckComponentVersions(const Soquet& socket, const Codawa& converter, Platform& platform) {
    if (socket.get_SocketVersion() < kOldestGoodSocketVersion)
        platform.ShowMessageBox(u"SOQUETOCXのバージョンが古いため動作しない場合があります。");
    if (converter.get_Version() < kOldestGoodConverterVersion)
        platform.ShowMessageBox(u"CODAWAOCXのバージョンが古いため動作しない場合があります。");
}

}  // namespace

void ControlCore::InitProperties() { CheckComponentVersions(*Soquet1, *Codawa1, m_Platform); }

// A stored text goes through its property's writer, so that it means exactly what the same
// text written by the host means: a stored "euc" becomes "EUC", and the upload and download
// sides, which compare whole texts, agree on it. A text the writer refuses is kept as stored,
// so a load never fails on it and a save writes it back unchanged; Connect refuses it then
// (error 54), as it refuses a stored TLS mode it does not understand, before anything is sent.
// Account and PreCommand are loaded as they are and checked by Connect too; NoopTime waits for
// the first completed operation to start the keep-alive. A failing key ends the load; the keys
// before it keep their new values.
void ControlCore::ReadProperties(PropertyBag& bag) {
    auto readSetting = [&](const String& key, const String& defaultValue, auto& member,
                           void (ControlCore::*writer)(const String&)) {
        const String stored = bag.ReadString(key, defaultValue);
        member = stored;
        try {
            (this->*writer)(stored);
        } catch (const AutomationError& e) {
            if (e.Number() != 54) throw;
        }
    };
    m_PreCommand = bag.ReadString(u"PreCommand", kDefaultPreCommand);
    m_Passive = bag.ReadBoolean(u"Passive", kDefaultPassive);
    readSetting(u"Type", kDefaultType, m_Filetype, &ControlCore::put_Filetype);
    readSetting(u"SysCode", kDefaultSysCode, m_SysCode, &ControlCore::put_SysCode);
    readSetting(u"FileCode", kDefaultFileCode, m_FileCode, &ControlCore::put_FileCode);
    m_Account = bag.ReadString(u"Account", kDefaultAccount);
    m_Port = bag.ReadString(u"Port", kDefaultPort);
    m_NoopTime = bag.ReadLong(u"NoopTime", kDefaultNoopTime);
    // Settings stored before the peer check existed read as its default.
    m_DataPeerCheck = bag.ReadBoolean(u"DataPeerCheck", kDefaultDataPeerCheck);
    readSetting(u"TlsMode", kDefaultTlsMode, m_TlsMode, &ControlCore::put_TlsMode);
    m_TlsCaFile = bag.ReadString(u"TlsCaFile", kDefaultTlsCaFile);
    m_TlsVerify = bag.ReadBoolean(u"TlsVerify", kDefaultTlsVerify);
    readSetting(u"HostCode", kDefaultHostCode, m_HostCode, &ControlCore::put_HostCode);
    m_TlsAllowClearData = bag.ReadBoolean(u"TlsAllowClearData", kDefaultTlsAllowClearData);
    readSetting(u"DirCommand", kDefaultDirCommand, m_DirCommand, &ControlCore::put_DirCommand);
    m_PasvAddress = bag.ReadBoolean(u"PasvAddress", kDefaultPasvAddress);
    CheckComponentVersions(*Soquet1, *Codawa1, m_Platform);
}

void ControlCore::WriteProperties(PropertyBag& bag) const {
    CheckComponentVersions(*Soquet1, *Codawa1, m_Platform);
    bag.WriteString(u"PreCommand", m_PreCommand, kDefaultPreCommand);
    bag.WriteString(u"Type", m_Filetype, kDefaultType);
    bag.WriteString(u"SysCode", m_SysCode, kDefaultSysCode);
    bag.WriteString(u"FileCode", m_FileCode, kDefaultFileCode);
    bag.WriteString(u"Account", m_Account, kDefaultAccount);
    bag.WriteString(u"Port", m_Port, kDefaultPort);
    bag.WriteBoolean(u"Passive", m_Passive, kDefaultPassive);
    bag.WriteLong(u"NoopTime", m_NoopTime, kDefaultNoopTime);
    bag.WriteBoolean(u"DataPeerCheck", m_DataPeerCheck, kDefaultDataPeerCheck);
    bag.WriteString(u"TlsMode", m_TlsMode, kDefaultTlsMode);
    bag.WriteString(u"TlsCaFile", m_TlsCaFile, kDefaultTlsCaFile);
    bag.WriteBoolean(u"TlsVerify", m_TlsVerify, kDefaultTlsVerify);
    bag.WriteString(u"HostCode", m_HostCode, kDefaultHostCode);
    bag.WriteBoolean(u"TlsAllowClearData", m_TlsAllowClearData, kDefaultTlsAllowClearData);
    bag.WriteString(u"DirCommand", m_DirCommand, kDefaultDirCommand);
    bag.WriteBoolean(u"PasvAddress", m_PasvAddress, kDefaultPasvAddress);
}

// The control's face is a fixed 32 x 32 pixel picture, whatever size the host gives it.
void ControlCore::Resize(Long width, Long height) {
    if (width <= 0 || height <= 0) return;
    try {
        const Long width32 = kPixels * m_Platform.UnitsPerPixelX();
        const Long height32 = kPixels * m_Platform.UnitsPerPixelY();
        m_Width = width32;
        m_Height = height32;
    } catch (...) {
        // Screen metrics the platform cannot give leave the size as it was.
    }
}

void ControlCore::ShowAboutBox() { m_Platform.ShowMessageBox(m_Copyright); }

}  // namespace tarselctl
