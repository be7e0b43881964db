// Where mimalloc is linked, the allocations of the attitude library's value
// types must really go to it: the override works only through the order in
// which the dynamic linker finds malloc, which a change of link flags could
// lose without any other test noticing (only the run time would).
#include <gtest/gtest.h>

#include <cstdlib>

#include "tumblix/attitude_lib/Include/MatrixAlgebra"

#if defined(TUMBLEBENCH_WITH_MIMALLOC)
#include <mimalloc.h>

TEST(Allocator, ValueTypesAndMallocAreServedByMimalloc) {
  const dVector v = Vector3(1.0, 2.0, 3.0);
  EXPECT_TRUE(mi_is_in_heap_region(&v[0]));
  const matrix<double> m(3, 3);
  EXPECT_TRUE(mi_is_in_heap_region(&m(2, 2)));
  void* block = std::malloc(24);
  EXPECT_TRUE(mi_is_in_heap_region(block));
  std::free(block);
}
#endif
