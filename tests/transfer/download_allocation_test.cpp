// A steady download costs the control no allocation per block: the block's bytes move from the
// platform's read buffer into the event and back, and the outbox keeps its storage while the
// transfer runs. Counted with the global allocation functions of this test binary.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "transfer/transfer_dialogue.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_allocations{0};

void* CountedAllocation(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
}  // namespace

// Every form of new and delete is replaced, the nothrow ones too (std::stable_sort's
// temporary buffer takes one): a form left to the runtime would hand its block to the
// replaced delete, a mismatch AddressSanitizer reports.
void* operator new(std::size_t size) { return CountedAllocation(size); }
void* operator new[](std::size_t size) { return CountedAllocation(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return CountedAllocation(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace tarselctl {
namespace {

// A host that takes the bytes and keeps nothing: whatever is allocated is the control's.
struct QuietHost : tarselEvents {
    std::size_t blocks = 0, bytes = 0;
    void GetData(ByteArray& data) override {
        ++blocks;
        bytes += data.size();
    }
};

class DownloadAllocationTest : public TransferTest {};

TEST_F(DownloadAllocationTest, SteadyBlocksAllocateNothing) {
    for (const bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        control.put_Passive(passive ? True : False);
        control.GetFile(u"big.bin", u"big.bin");
        StartDataPhase();
        control.Unadvise(cookie);
        QuietHost host;
        const Long hostCookie = control.Advise(host);

        constexpr std::size_t kBlock = 64 * 1024;
        ByteArray buffer;
        auto deliver = [&] {
            // The platform refills its buffer; with its storage back from the last block this
            // allocates nothing.
            buffer.assign(kBlock, 0x5A);
            s3().sink()->OnReceivedBytes(buffer);
        };
        for (int i = 0; i < 3; ++i) deliver();  // the outbox finds its size
        g_allocations = 0;
        g_counting = true;
        for (int i = 0; i < 200; ++i) deliver();
        g_counting = false;
        EXPECT_EQ(g_allocations.load(), 0u) << "allocations in 200 blocks";
        EXPECT_EQ(host.blocks, 203u);
        EXPECT_EQ(host.bytes, 203u * kBlock);

        control.Unadvise(hostCookie);
        cookie = control.Advise(recorder);
        s3().Close();
        Reply(kComplete);
        ASSERT_EQ(control.IsIdle(), True);
    }
}

}  // namespace
}  // namespace tarselctl
