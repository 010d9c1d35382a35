// The class object of one creatable class.
#pragma once

#include <atomic>

#include <tarsel/automation.h>

namespace tarselctl {

/// Lives as long as the library; while a host holds a reference it counts as a live object,
/// so DllCanUnloadNow waits for it as well.
class ClassObject final : public ClassFactory {
public:
    /// Makes a new instance and queries it for `iid`; answers like CreateInstance.
    using Creator = Status (*)(const Guid& iid, void** object);

    explicit ClassObject(Creator create) : create_(create) {}

    Status QueryInterface(const Guid& iid, void** object) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;
    Status CreateInstance(Unknown* outer, const Guid& iid, void** object) override;
    Status LockServer(bool lock) override;

private:
    Creator create_;
    std::atomic<std::uint32_t> refs_{0};
};

}  // namespace tarselctl
