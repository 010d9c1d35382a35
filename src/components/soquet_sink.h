// Routing the events of the control's three socket instances to the control's handlers.
#pragma once

#include <tarsel/soquet.h>
#include "control/control_core.h"

#include "control/step.h"

namespace tarselctl {

// Routes one socket instance's events to the control's handlers for that instance; each is a
// step of the control. Errors thrown by the handlers stop at this boundary: the socket layer and the host's event loop
// must never see them, and each handler has already made its state changes.
class ControlCore::SoquetSink : public SoquetEvents {
public:
    SoquetSink(ControlCore& control, int instance) : c_(control), n_(instance) {}

    void OnConnected() override {
        Guard([&] { n_ == 1 ? c_.Soquet1_OnConnected() : n_ == 3 ? c_.Soquet3_OnConnected() : void(); });
    }
    void OnSecured() override {
        Guard([&] { n_ == 1 ? c_.Soquet1_OnSecured() : n_ == 3 ? c_.Soquet3_OnSecured() : void(); });
    }
    void OnReceived(std::string& data) override {
        Guard([&] { n_ == 1 ? c_.Soquet1_OnReceived(data) : n_ == 3 ? c_.Soquet3_OnReceived(data) : void(); });
    }
    void OnReceivedBytes(ByteArray& data) override {
        // Only a download hands the bytes on as they are; every other reader wants text.
        if (n_ == 3)
            Guard([&] { c_.Soquet3_OnReceivedBytes(data); });
        else
            SoquetEvents::OnReceivedBytes(data);
    }
    void OnSendDone() override {
        Guard([&] { n_ == 1 ? c_.Soquet1_OnSendDone() : n_ == 3 ? c_.Soquet3_OnSendDone() : void(); });
    }
    void OnClosed() override {
        Guard([&] { n_ == 1 ? c_.Soquet1_OnClosed() : n_ == 3 ? c_.Soquet3_OnClosed() : void(); });
    }
    void OnAcceptRequest(Long requestId) override {
        Guard([&] { if (n_ == 2) c_.Soquet2_OnAcceptRequest(requestId); });
    }
    void OnError(Long number, const String& text1, const String& text2) override {
        Guard([&] {
            if (n_ == 1) c_.Soquet1_OnError(number, text1, text2);
            else if (n_ == 2) c_.Soquet2_OnError(number, text1, text2);
            else c_.Soquet3_OnError(number, text1, text2);
        });
    }
    void OnDiagnostic(const String& text) override {
        Guard([&] {
            if (n_ == 1) c_.Soquet1_OnDiagnostic(text);
            else if (n_ == 2) c_.Soquet2_OnDiagnostic(text);
            else c_.Soquet3_OnDiagnostic(text);
        });
    }

private:
    template <class F>
    void Guard(F&& f) {
        Step step(c_);
        try {
            f();
        } catch (...) {
        }
    }
    ControlCore& c_;
    int n_;
};

}  // namespace tarselctl
