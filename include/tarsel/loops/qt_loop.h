// The control on a Qt 6 event loop: a QSocketNotifier per descriptor and direction, one QTimer.
#pragma once

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <memory>
#include <unordered_map>
#include <vector>

#include <tarsel/posix_platform.h>

namespace tarselctl {

/// The loop's side of a QtPlatform; a host does not use it directly.
class QtHost : public LoopHost {
public:
    QtHost() {
        timer_.setSingleShot(true);
        // A coarse timer may fire up to 5 % early or late; the control's time-outs are exact.
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Platform().TimerDue(); });
    }
    QtHost(const QtHost&) = delete;
    QtHost& operator=(const QtHost&) = delete;

    void WatchDescriptor(int fd, WatchFor directions) override {
        auto it = watched_.find(fd);
        if (directions == WatchFor::None) {
            if (it == watched_.end()) return;
            // Disabled at once, before the platform closes the descriptor. The pair is kept for
            // the next descriptor rather than deleted: this may run inside its own signal.
            it->second.read->setEnabled(false);
            it->second.write->setEnabled(false);
            spare_.push_back(it->second);
            watched_.erase(it);
            return;
        }
        if (it == watched_.end()) {
            Pair pair = spare_.empty() ? NewPair() : spare_.back();
            if (!spare_.empty()) spare_.pop_back();
            pair.read->setSocket(fd);
            pair.write->setSocket(fd);
            it = watched_.emplace(fd, pair).first;
        }
        it->second.read->setEnabled(directions != WatchFor::Write);
        it->second.write->setEnabled(directions != WatchFor::Read);
    }

    void SetTimer(long long milliseconds) override {
        timer_.stop();
        if (milliseconds >= 0) timer_.start(std::chrono::milliseconds(milliseconds));
    }

protected:
    virtual PosixPlatform& Platform() = 0;

private:
    struct Pair {
        QSocketNotifier* read;
        QSocketNotifier* write;
    };

    Pair NewPair() {
        owned_.push_back(std::make_unique<QSocketNotifier>(QSocketNotifier::Read));
        QSocketNotifier* read = owned_.back().get();
        owned_.push_back(std::make_unique<QSocketNotifier>(QSocketNotifier::Write));
        QSocketNotifier* write = owned_.back().get();
        // Qt reports an error or hang-up to the read notifier, and to the write one when only
        // that is enabled; the platform finds out which it was from the socket itself.
        for (QSocketNotifier* n : {read, write})
            QObject::connect(n, &QSocketNotifier::activated,
                             [this](QSocketDescriptor fd, QSocketNotifier::Type type) {
                                 Platform().DescriptorReady(int(fd), type == QSocketNotifier::Read,
                                                            type == QSocketNotifier::Write);
                             });
        return {read, write};
    }

    QTimer timer_;
    std::unordered_map<int, Pair> watched_;
    std::vector<Pair> spare_;
    std::vector<std::unique_ptr<QSocketNotifier>> owned_;
};

/// A PosixPlatform on the Qt event loop of the thread that creates it (the main thread of a
/// QCoreApplication or QApplication, or a QThread running exec()): create the control with it
/// and run the loop as usual. Every event of the control is raised inside Qt's dispatch.
class QtPlatform final : private QtHost, public PosixPlatform {
public:
    QtPlatform() : QtHost(), PosixPlatform(static_cast<QtHost&>(*this)) {}

private:
    PosixPlatform& Platform() override { return *this; }
};

}  // namespace tarselctl
