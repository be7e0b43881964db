// The tensor arena split in two ends: planned tensor data grows from the
// aligned start (the head), structures that live as long as the interpreter
// grow down from the end (the tail). Nothing here touches the heap.
#ifndef TUMBLIX_ML_RUNTIME_ARENA_ALLOCATOR_H
#define TUMBLIX_ML_RUNTIME_ARENA_ALLOCATOR_H

#include <cstddef>
#include <cstdint>

#include "tumblix/ml/runtime/kernels/kernels.h"

namespace tflite {

constexpr size_t kArenaAlignment = 16;

class ArenaAllocator : public BuiltinDataAllocator {
 public:
  // The usable arena starts at the first 16-byte boundary at or after
  // `arena`; an arena too small to reach one has no room at all.
  ArenaAllocator(uint8_t* arena, size_t size);

  uint8_t* head() const { return begin_; }
  size_t capacity() const { return static_cast<size_t>(end_ - begin_); }

  // Memory from the tail, on a 16-byte boundary (so any `alignment` up to
  // 16 is met) and taking a multiple of 16 bytes; null when it would run
  // into the head as reserved so far.
  void* AllocatePersistent(size_t bytes, size_t alignment);

  // Bytes between the aligned start and the lowest tail allocation.
  size_t head_room() const { return static_cast<size_t>(tail_ - begin_); }
  // Records that `bytes` (rounded up to 16) from the start are in use
  // (planned tensors or the planner's scratch); false when they would
  // overlap the tail.
  bool ReserveHead(size_t bytes);

  size_t tail_used() const { return static_cast<size_t>(end_ - tail_); }
  // Bytes taken from the aligned start: the head's high-water mark and the tail.
  size_t used_bytes() const { return head_reserved_ + tail_used(); }

  void* Allocate(size_t size, size_t alignment_hint) override {
    return AllocatePersistent(size, alignment_hint);
  }
  // Persistent memory is given back only with the whole arena.
  void Deallocate(void*) override {}

 private:
  uint8_t* begin_;
  uint8_t* end_;
  uint8_t* tail_;
  size_t head_reserved_ = 0;
};

inline size_t AlignUp(size_t value, size_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

}  // namespace tflite

#endif
