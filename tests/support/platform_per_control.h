// A platform for hosts of several controls: each control gets a fake platform and server
// of its own, and the servers are stepped in turn as one event loop would interleave them.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarsel/platform.h>

#include "support/fake_ftp_server.h"
#include "support/fake_platform.h"
#include "support/fake_timer.h"

namespace tarselctl {

/// Gives every control a fake platform and server of its own. A control creates its three
/// sockets first, so a fourth socket belongs to the next control.
class PlatformPerControl final : public Platform {
public:
    /// `honourRest`: each server's REST moves the start of its next RETR.
    explicit PlatformPerControl(bool honourRest = false) : honourRest_(honourRest) {}

    std::function<void(FakeFtpServer&, std::size_t)> setup;
    std::vector<std::unique_ptr<FakePlatform>> platforms;
    std::vector<std::unique_ptr<FakeFtpServer>> servers;

    std::unique_ptr<Soquet> CreateSoquet() override {
        if (platforms.empty() || platforms.back()->soquets.size() == 3) {
            platforms.push_back(std::make_unique<FakePlatform>());
            servers.push_back(std::make_unique<FakeFtpServer>(*platforms.back()));
            servers.back()->honourRest = honourRest_;
            if (setup) setup(*servers.back(), servers.size() - 1);
        }
        return platforms.back()->CreateSoquet();
    }
    std::unique_ptr<Codawa> CreateCodawa() override { return platforms.back()->CreateCodawa(); }
    /// A control makes two timers after its sockets; any other timer is the host's (the
    /// queue's), kept here and ticked by Run when the servers are quiet.
    std::unique_ptr<Timer> CreateTimer() override {
        if (!platforms.empty() && platforms.back()->timers.size() < 2 && platforms.back()->soquets.size() == 3)
            return platforms.back()->CreateTimer();
        auto timer = std::make_unique<FakeTimer>("QueueTimer");
        FakeTimer* raw = timer.get();
        hostTimers.push_back(raw);
        timer->onDestroyed = [this, raw] { std::erase(hostTimers, raw); };
        return timer;
    }
    std::vector<FakeTimer*> hostTimers;
    void ShowMessageBox(const String&) override {}

    /// One step of each server in turn until none has work left, then the host's timers
    /// that wait less than a second (the queue's delivery), until those are quiet too.
    void Run() {
        for (int round = 0; round < 100000; ++round) {
            if (Step()) continue;
            if (!TickShortTimers()) return;
        }
        FAIL() << "the servers never went quiet";
    }
    bool TickShortTimers() {
        bool ticked = false;
        for (std::size_t i = 0; i < hostTimers.size(); ++i)
            if (hostTimers[i]->enabled && hostTimers[i]->interval < 1000) ticked |= hostTimers[i]->Tick();
        return ticked;
    }
    /// One step of each server; false when none had work.
    bool Step() {
        bool busy = false;
        for (std::size_t i = 0; i < servers.size(); ++i) busy |= !servers[i]->Run(1);
        return busy;
    }
    /// Command lines server `i` received that begin with `word`.
    std::vector<std::string> Lines(std::size_t i, const std::string& word) const {
        std::vector<std::string> out;
        for (const auto& l : servers[i]->lines)
            if (l.rfind(word, 0) == 0) out.push_back(l);
        return out;
    }

private:
    bool honourRest_;
};

}  // namespace tarselctl
