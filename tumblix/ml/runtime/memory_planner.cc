#include "tumblix/ml/runtime/memory_planner.h"

#include "tumblix/ml/runtime/arena_allocator.h"

namespace tflite {
namespace {

bool LifetimesOverlap(const PlannedBuffer& a, const PlannedBuffer& b) {
  return a.first_use <= b.last_use && b.first_use <= a.last_use;
}

bool BytesOverlap(size_t offset_a, size_t size_a, size_t offset_b, size_t size_b) {
  if (size_a == 0 || size_b == 0) return false;
  return offset_a < offset_b + size_b && offset_b < offset_a + size_a;
}

}  // namespace

size_t PlanBuffers(PlannedBuffer* buffers, int* order, int count, size_t alignment) {
  // Insertion sort: the graphs are small, and it is stable for equal sizes.
  for (int i = 0; i < count; ++i) {
    int j = i;
    while (j > 0 && buffers[order[j - 1]].size < buffers[i].size) {
      order[j] = order[j - 1];
      --j;
    }
    order[j] = i;
  }

  size_t span = 0;
  for (int placed = 0; placed < count; ++placed) {
    PlannedBuffer& current = buffers[order[placed]];
    size_t offset = 0;
    // Move past every live neighbour that collides until none does. The
    // offset only grows, each time past the end of a placed buffer, so a
    // buffer once passed never collides again and the loop ends.
    bool moved = true;
    while (moved) {
      moved = false;
      for (int k = 0; k < placed; ++k) {
        const PlannedBuffer& other = buffers[order[k]];
        if (LifetimesOverlap(current, other) &&
            BytesOverlap(offset, current.size, other.offset, other.size)) {
          offset = AlignUp(other.offset + other.size, alignment);
          moved = true;
        }
      }
    }
    current.offset = offset;
    if (offset + current.size > span) span = offset + current.size;
  }
  return AlignUp(span, alignment);
}

}  // namespace tflite
