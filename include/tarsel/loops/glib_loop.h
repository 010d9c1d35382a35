// The control on a GLib main context: a unix-fd source per descriptor, one timeout source.
#pragma once

#include <glib-unix.h>
#include <glib.h>

#include <unordered_map>

#include <tarsel/posix_platform.h>

namespace tarselctl {

/// The loop's side of a GlibPlatform; a host does not use it directly.
class GlibHost : public LoopHost {
public:
    explicit GlibHost(GMainContext* context) : context_(context) {}
    ~GlibHost() override {
        for (auto& [fd, source] : sources_) Drop(source);
        if (timer_ != nullptr) Drop(timer_);
    }
    GlibHost(const GlibHost&) = delete;
    GlibHost& operator=(const GlibHost&) = delete;

    void WatchDescriptor(int fd, WatchFor directions) override {
        // A source's conditions are fixed, so a change of directions is a new source.
        const auto it = sources_.find(fd);
        if (it != sources_.end()) {
            Drop(it->second);
            sources_.erase(it);
        }
        if (directions == WatchFor::None) return;
        const int conditions = G_IO_ERR | G_IO_HUP |
                               (directions == WatchFor::Write ? 0 : G_IO_IN) |
                               (directions == WatchFor::Read ? 0 : G_IO_OUT);
        GSource* source = g_unix_fd_source_new(fd, static_cast<GIOCondition>(conditions));
        // GLib hands a unix-fd source's callback the descriptor and what it found.
        g_source_set_callback(source, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&GlibHost::OnReady)),
                              this, nullptr);
        g_source_attach(source, context_);
        sources_.emplace(fd, source);
    }

    void SetTimer(long long milliseconds) override {
        if (timer_ != nullptr) Drop(timer_);
        timer_ = nullptr;
        if (milliseconds < 0) return;
        timer_ = g_timeout_source_new(static_cast<guint>(milliseconds));
        g_source_set_callback(timer_, +[](gpointer self) -> gboolean {
                                  auto* host = static_cast<GlibHost*>(self);
                                  // Due: TimerDue may arm the next one.
                                  Drop(host->timer_);
                                  host->timer_ = nullptr;
                                  host->Platform().TimerDue();
                                  return G_SOURCE_REMOVE;
                              },
                              this, nullptr);
        g_source_attach(timer_, context_);
    }

protected:
    virtual PosixPlatform& Platform() = 0;

private:
    static gboolean OnReady(int fd, GIOCondition got, gpointer self) {
        const bool failed = got & (G_IO_ERR | G_IO_HUP);
        static_cast<GlibHost*>(self)->Platform().DescriptorReady(
            fd, failed || (got & G_IO_IN), failed || (got & G_IO_OUT));
        return G_SOURCE_CONTINUE;
    }
    static void Drop(GSource* source) {
        g_source_destroy(source);
        g_source_unref(source);
    }

    GMainContext* context_;
    std::unordered_map<int, GSource*> sources_;
    GSource* timer_ = nullptr;
};

/// A PosixPlatform on the GLib main context `context` (nullptr: the default one, which a
/// GTK program runs). Every event of the control is raised inside GLib's dispatch.
class GlibPlatform final : private GlibHost, public PosixPlatform {
public:
    explicit GlibPlatform(GMainContext* context = nullptr)
        : GlibHost(context), PosixPlatform(static_cast<GlibHost&>(*this)) {}

private:
    PosixPlatform& Platform() override { return *this; }
};

}  // namespace tarselctl
