#include "tumblix/ml/runtime/arena_allocator.h"

namespace tflite {

ArenaAllocator::ArenaAllocator(uint8_t* arena, size_t size) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(arena);
  const uintptr_t aligned = AlignUp(start, kArenaAlignment);
  const size_t padding = static_cast<size_t>(aligned - start);
  if (arena == nullptr || size < padding) {
    begin_ = end_ = tail_ = nullptr;
    return;
  }
  begin_ = arena + padding;
  end_ = begin_ + (size - padding);
  tail_ = end_;
}

void* ArenaAllocator::AllocatePersistent(size_t bytes, size_t alignment) {
  if (alignment == 0) alignment = 1;
  const uintptr_t lowest = reinterpret_cast<uintptr_t>(begin_) + head_reserved_;
  const uintptr_t top = reinterpret_cast<uintptr_t>(tail_);
  if (begin_ == nullptr || bytes > top - lowest) return nullptr;
  const uintptr_t candidate = (top - bytes) & ~static_cast<uintptr_t>(alignment - 1);
  if (candidate < lowest) return nullptr;
  tail_ = begin_ + (candidate - reinterpret_cast<uintptr_t>(begin_));
  return tail_;
}

bool ArenaAllocator::ReserveHead(size_t bytes) {
  if (bytes > head_room()) return false;
  if (bytes > head_reserved_) head_reserved_ = bytes;
  return true;
}

}  // namespace tflite
