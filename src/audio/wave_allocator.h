// The wave output's allocator: owner of every buffer block the output queues.
// Blocks are kept and reused from play to play, so playing allocates nothing
// per buffer.
//
// Thread: any; one lock of its own guards the block list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace pelu {

class TMMAllocator {
public:
    TMMAllocator() = default;
    ~TMMAllocator() { FreeAll(); }
    TMMAllocator(const TMMAllocator&) = delete;
    TMMAllocator& operator=(const TMMAllocator&) = delete;

    // A free block of exactly this size, else the first free one at least as
    // large, else a new zero-filled block; null when memory runs out.
    void* Get(std::size_t size_bytes);
    // The block's use count drops by one; `address` becomes null.
    void Release(void*& address);
    void FreeAll();
    std::size_t BlockCount() const;
    std::size_t BlocksInUse() const;

private:
    struct Block {
        std::unique_ptr<std::uint8_t[]> base;
        std::size_t size_bytes;
        int use_count;
    };
    mutable std::mutex mutex_;
    std::vector<Block> blocks_;
};

} // namespace pelu
