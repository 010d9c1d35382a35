#include "settings_file.h"

#include <tarsel/property_bag.h>

namespace tarselftp {

namespace {
std::string Describe(const tarselctl::AutomationError& e) {
    return tarselctl::ToUtf8(e.Description()) + " (" + std::to_string(e.Number()) + ")";
}
}  // namespace

std::string LoadSettings(tarselctl::tarsel& control, const std::string& path) {
    try {
        tarselctl::FilePropertyBag bag(path);
        control.ReadProperties(bag);
        return {};
    } catch (const tarselctl::AutomationError& e) {
        return Describe(e);
    }
}

std::string SaveSettings(tarselctl::tarsel& control, const std::string& path) {
    try {
        tarselctl::FilePropertyBag bag(path);
        // Keys of no setting of the control's (a hand-edited file's) stay as they are.
        control.WriteProperties(bag);
        bag.Save();
        return {};
    } catch (const tarselctl::AutomationError& e) {
        return Describe(e);
    }
}

}  // namespace tarselftp
