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

// The stored settings are the rows of <tarsel/properties.def> that carry a key; each row
// gives its save and load positions.
constexpr int kStoredSettings = 0
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load) +1
#include <tarsel/properties.def>
    ;

// Each position of each order is taken once: otherwise a setting would be saved or loaded
// twice, or skipped.
constexpr bool EveryPositionOnce(bool load) {
    int seen[kStoredSettings] = {};
    auto take = [&](int at) {
        if (at < 0 || at >= kStoredSettings) return false;
        return ++seen[at] == 1;
    };
    bool ok = true;
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load_) \
    ok = take(load ? loadAt : saveAt) && ok;
#include <tarsel/properties.def>
    return ok;
}
static_assert(EveryPositionOnce(false), "two stored settings share a save position");
static_assert(EveryPositionOnce(true), "two stored settings share a load position");

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

// A stored setting that a writer checks (load "Setting") goes through that writer, so that
// it means exactly what the same text written by the host means: a stored "euc" becomes
// "EUC", and the upload and download sides, which compare whole texts, agree on it. A text
// the writer refuses is kept as stored, so a load never fails on it and a save writes it back
// unchanged; Connect refuses it then (error 54), before anything is sent. Account and
// PreCommand ("AsStored") are loaded as they are and checked by Connect too; NoopTime waits
// for the first completed operation to start the keep-alive. A failing key ends the load; the
// keys before it keep their new values.
void ControlCore::ReadProperties(PropertyBag& bag) {
    auto loadSetting = [this](const String& stored, auto& member,
                              void (ControlCore::*writer)(const String&)) {
        member = stored;
        try {
            (this->*writer)(stored);
        } catch (const AutomationError& e) {
            if (e.Number() != 54) throw;
        }
    };
    for (int at = 0; at < kStoredSettings; ++at) {
#define TARSEL_LOAD_Written(type, name, key, def) put_##name(bag.Read##type(key, def));
#define TARSEL_LOAD_Setting(type, name, key, def) \
    loadSetting(bag.Read##type(key, def), m_##name, &ControlCore::put_##name);
#define TARSEL_LOAD_AsStored(type, name, key, def) m_##name = bag.Read##type(key, def);
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load) \
    if (at == loadAt) { TARSEL_LOAD_##load(type, name, key, def) }
#include <tarsel/properties.def>
#undef TARSEL_LOAD_AsStored
#undef TARSEL_LOAD_Setting
#undef TARSEL_LOAD_Written
    }
    CheckComponentVersions(*Soquet1, *Codawa1, m_Platform);
}

void ControlCore::WriteProperties(PropertyBag& bag) const {
    CheckComponentVersions(*Soquet1, *Codawa1, m_Platform);
    for (int at = 0; at < kStoredSettings; ++at) {
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load) \
    if (at == saveAt) bag.Write##type(key, get_##name(), def);
#include <tarsel/properties.def>
    }
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
