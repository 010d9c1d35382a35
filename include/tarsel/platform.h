// Everything the control takes from its host platform.
#pragma once

#include <exception>
#include <functional>
#include <memory>

#include <tarsel/codawa.h>
#include <tarsel/soquet.h>
#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// A repeating timer that ticks on the event-loop thread while enabled.
class TARSEL_API Timer {
public:
    virtual ~Timer() = default;
    virtual void SetTickHandler(std::function<void()> handler) = 0;
    /// Milliseconds between ticks.
    virtual void put_Interval(Long milliseconds) = 0;
    virtual Long get_Interval() const = 0;
    /// Enabling an enabled timer leaves its schedule alone.
    virtual void put_Enabled(bool enabled) = 0;
    virtual bool get_Enabled() const = 0;
};

/// Host-side factory of the control's child components and host services.
class TARSEL_API Platform {
public:
    virtual ~Platform() = default;
    virtual std::unique_ptr<Soquet> CreateSoquet() = 0;
    virtual std::unique_ptr<Codawa> CreateCodawa() = 0;
    virtual std::unique_ptr<Timer> CreateTimer() = 0;
    /// Shows `text` to the user with an OK button; returns when it has been dismissed.
    virtual void ShowMessageBox(const String& text) = 0;
    /// Host units per screen pixel, horizontally and vertically (15 = twips).
    virtual Long UnitsPerPixelX() const { return 15; }
    virtual Long UnitsPerPixelY() const { return 15; }
    /// An exception left one of the host's event handlers. The control has caught it, gone
    /// on with its step (every other sink still got the event) and stays consistent; this
    /// hands the exception back to the host outside the control's work. AsioPlatform posts
    /// it, so that it leaves io_context::run() as an exception from any Asio handler would;
    /// run() may then be called again and the control goes on. The default drops it.
    virtual void ReportHandlerException(std::exception_ptr error) { (void)error; }
};

}  // namespace tarselctl

TARSEL_API_END
