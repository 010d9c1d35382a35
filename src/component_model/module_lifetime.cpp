#include "component_model/module_lifetime.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace tarselctl::module_lifetime {

namespace {
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

// Host calls arrive on the host's thread, but DllCanUnloadNow may be asked from any thread.
std::mutex& FinisherMutex() {
    static std::mutex m;
    return m;
}
std::vector<std::function<void()>>& Finishers() {
    static std::vector<std::function<void()>> list;
    return list;
}
}  // namespace

void ObjectCreated() noexcept { ++g_objects; }
void ObjectDestroyed() noexcept { --g_objects; }
void Lock() noexcept { ++g_locks; }
bool Unlock() noexcept {
    long locks = g_locks.load();
    while (locks > 0)
        if (g_locks.compare_exchange_weak(locks, locks - 1)) return true;
    return false;
}

void FinishLater(std::function<void()> finish) {
    std::lock_guard<std::mutex> lock(FinisherMutex());
    Finishers().push_back(std::move(finish));
}

void RunFinishers() {
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard<std::mutex> lock(FinisherMutex());
        ready.swap(Finishers());
    }
    for (auto& finish : ready) finish();
}

bool CanUnload() {
    RunFinishers();
    return g_objects.load() == 0 && g_locks.load() == 0;
}

}  // namespace tarselctl::module_lifetime
