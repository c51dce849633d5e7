#include "audio/wave_allocator.h"

#include <algorithm>
#include <new>

namespace pelu {

void* TMMAllocator::Get(std::size_t size_bytes)
{
    std::lock_guard lock(mutex_);
    Block* found = nullptr;
    for (Block& block : blocks_)
        if (block.use_count == 0 && block.size_bytes == size_bytes) {
            found = &block;
            break;
        }
    if (!found)
        for (Block& block : blocks_)
            if (block.use_count == 0 && block.size_bytes >= size_bytes) {
                found = &block;
                break;
            }
    if (!found) {
        std::unique_ptr<std::uint8_t[]> base(new (std::nothrow) std::uint8_t[size_bytes]());
        if (!base)
            return nullptr;
        blocks_.push_back(Block{std::move(base), size_bytes, 0});
        found = &blocks_.back();
    }
    found->use_count = 1;
    return found->base.get();
}

void TMMAllocator::Release(void*& address)
{
    std::lock_guard lock(mutex_);
    for (Block& block : blocks_)
        if (block.base.get() == address && block.use_count > 0) {
            --block.use_count;
            break;
        }
    address = nullptr;
}

void TMMAllocator::FreeAll()
{
    std::lock_guard lock(mutex_);
    blocks_.clear();
}

std::size_t TMMAllocator::BlockCount() const
{
    std::lock_guard lock(mutex_);
    return blocks_.size();
}

std::size_t TMMAllocator::BlocksInUse() const
{
    std::lock_guard lock(mutex_);
    return std::count_if(blocks_.begin(), blocks_.end(),
                         [](const Block& block) { return block.use_count > 0; });
}

} // namespace pelu
