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
  // Both ends on 16-byte boundaries and every piece a multiple of 16: the
  // layout is then the same for any arena size, so used_bytes() is exactly
  // the smallest arena (from a 16-byte boundary) that holds the model.
  end_ = begin_ + ((size - padding) & ~(kArenaAlignment - 1));
  tail_ = end_;
}

void* ArenaAllocator::AllocatePersistent(size_t bytes, size_t alignment) {
  if (begin_ == nullptr || alignment > kArenaAlignment) return nullptr;
  const size_t rounded = AlignUp(bytes, kArenaAlignment);
  if (rounded < bytes || rounded > head_room() - head_reserved_) return nullptr;
  tail_ -= rounded;
  return tail_;
}

bool ArenaAllocator::ReserveHead(size_t bytes) {
  bytes = AlignUp(bytes, kArenaAlignment);
  if (bytes > head_room()) return false;
  if (bytes > head_reserved_) head_reserved_ = bytes;
  return true;
}

}  // namespace tflite
