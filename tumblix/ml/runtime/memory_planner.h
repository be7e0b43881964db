// Placement of the tensors that the arena holds while the graph runs. A
// tensor lives from the operator that writes it (or the start, for graph
// inputs) to the last operator that reads it (or the end, for graph
// outputs); tensors whose lifetimes do not overlap may share bytes.
#ifndef TUMBLIX_ML_RUNTIME_MEMORY_PLANNER_H
#define TUMBLIX_ML_RUNTIME_MEMORY_PLANNER_H

#include <cstddef>

namespace tflite {

struct PlannedBuffer {
  size_t size;
  int first_use;  // operator index, inclusive
  int last_use;   // operator index, inclusive
  size_t offset;  // filled by PlanBuffers
};

// Greedy placement, largest buffers first (ties by their order in `buffers`):
// each buffer goes at the lowest offset, a multiple of `alignment`, that
// collides with no buffer already placed and alive at the same time.
// `order` is scratch for `count` indexes. Returns the bytes the plan spans,
// rounded up to `alignment`. Allocates nothing.
size_t PlanBuffers(PlannedBuffer* buffers, int* order, int count, size_t alignment);

}  // namespace tflite

#endif
