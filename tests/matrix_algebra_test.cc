// dVector operations and the copy-on-write matrix<T>.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "tumblix/attitude_lib/Include/MatrixAlgebra"

namespace {

// The library's operators, not std::valarray's expression templates, are the
// ones chosen for dVector operands: their results are plain dVectors.
static_assert(std::is_same<decltype(2.0 * std::declval<const dVector&>()), dVector>::value, "");
static_assert(std::is_same<decltype(2 * std::declval<const dVector&>()), dVector>::value, "");
static_assert(std::is_same<decltype(std::declval<const dVector&>() * 2.0), dVector>::value, "");
static_assert(std::is_same<decltype(std::declval<const dVector&>() / 2.0), dVector>::value, "");
static_assert(std::is_same<decltype(std::declval<const dVector&>() + std::declval<dVector&>()),
                           dVector>::value,
              "");
static_assert(std::is_same<decltype(std::declval<dVector&>() - std::declval<const dVector&>()),
                           dVector>::value,
              "");

dVector Vec(std::initializer_list<double> values) { return dVector(values); }

// An empty vector the optimiser cannot see through (GCC's -Warray-bounds
// otherwise misreads the empty loops in sanitizer builds).
[[gnu::noinline]] dVector Empty() { return dVector(); }

void ExpectVector(const dVector& v, std::initializer_list<double> expected) {
  ASSERT_EQ(v.size(), expected.size());
  size_t i = 0;
  for (double e : expected) {
    EXPECT_EQ(v[i], e) << "element " << i;
    ++i;
  }
}

// ---------------------------------------------------------------- dVector

TEST(MatrixAlgebraTest, ConstructionAndAssignmentFollowTheValueArray) {
  const dVector empty;
  EXPECT_EQ(empty.size(), 0u);
  ExpectVector(dVector(3), {0.0, 0.0, 0.0});
  ExpectVector(dVector(2.5, 2), {2.5, 2.5});

  dVector target;
  target = Vector3(1.0, 2.0, 3.0);  // three elements into an empty vector
  ExpectVector(target, {1.0, 2.0, 3.0});
  target = Vec({7.0});  // other size: the target takes the source's size
  ExpectVector(target, {7.0});

  dVector copy = target;  // deep copy
  copy[0] = -1.0;
  EXPECT_EQ(target[0], 7.0);
}

TEST(MatrixAlgebraTest, DotAccumulatesFromZeroInIndexOrder) {
  EXPECT_EQ(Dot(dVector(), dVector()), 0.0);
  EXPECT_EQ(Dot(Vec({1, 2, 3}), Vec({4, 5, 6})), 32.0);
  // ((0 + 1) + 1e16) + -1e16: the 1 is lost in index order (reverse or
  // pairwise orders would give 1).
  EXPECT_EQ(Dot(Vec({1.0, 1e16, -1e16}), Vec({1.0, 1.0, 1.0})), 0.0);
  // A zero sum starts from +0.0: (-0) products give +0.
  EXPECT_FALSE(std::signbit(Dot(Vec({-0.0}), Vec({1.0}))));
}

TEST(MatrixAlgebraTest, CrossProduct) {
  ExpectVector(Cross(Vector3(1, 0, 0), Vector3(0, 1, 0)), {0, 0, 1});
  ExpectVector(Cross(Vector3(0, 1, 0), Vector3(1, 0, 0)), {0, 0, -1});
  const dVector a = Vector3(1.5, -2.0, 3.25);
  ExpectVector(Cross(a, a), {0, 0, 0});
  ExpectVector(Cross(Vector3(1, 2, 3), Vector3(4, 5, 6)), {-3, 6, -3});
  // With the attitude filter's reference (0, 0, -1): (-a.y, a.x, 0).
  ExpectVector(Cross(Vector3(0.25, 0.5, 0.75), Vector3(0, 0, -1)), {-0.5, 0.25, 0});
}

TEST(MatrixAlgebraTest, NormAndDivisionByAZeroNorm) {
  EXPECT_EQ(Norm(Vector3(3, 4, 0)), 5.0);
  EXPECT_EQ(Norm(Vector3(0, 0, 0)), 0.0);
  EXPECT_EQ(Norm(dVector()), 0.0);
  const dVector v = Vector3(0.0, 2.0, -1.0) / Norm(Vector3(0, 0, 0));
  EXPECT_TRUE(std::isnan(v[0]));  // 0 / 0
  EXPECT_EQ(v[1], INFINITY);
  EXPECT_EQ(v[2], -INFINITY);
}

TEST(MatrixAlgebraTest, ScalarOperators) {
  const dVector v = Vec({1.0, -2.0, 0.5, 4.0});
  ExpectVector(3.0 * v, {3.0, -6.0, 1.5, 12.0});
  ExpectVector(v * 3.0, {3.0, -6.0, 1.5, 12.0});
  ExpectVector(v / 2.0, {0.5, -1.0, 0.25, 2.0});
  ExpectVector(-1.0 * Vector3(0, 0, 0), {0, 0, 0});
  const dVector neg = -1.0 * Vector3(0, 0, 0);
  EXPECT_TRUE(std::signbit(neg[0]) && std::signbit(neg[1]) && std::signbit(neg[2]));
  ExpectVector(v, {1.0, -2.0, 0.5, 4.0});  // operands are not changed
  EXPECT_EQ((2.0 * Empty()).size(), 0u);
}

TEST(MatrixAlgebraTest, ElementwiseSumAndDifferenceRunOverTheFirstOperand) {
  ExpectVector(Vector3(1, 2, 3) + Vector3(10, 20, 30), {11, 22, 33});
  ExpectVector(Vector3(1, 2, 3) - Vector3(10, 20, 30), {-9, -18, -27});
  // No size comparison: the result has the first operand's size.
  ExpectVector(Vec({1, 2}) + Vector3(10, 20, 30), {11, 22});
  ExpectVector(Vec({1, 2}) - Vector3(10, 20, 30), {-9, -18});
  EXPECT_EQ((Empty() + Vector3(1, 2, 3)).size(), 0u);
}

TEST(MatrixAlgebraDeathTest, DotWithDifferentSizes) {
  const dVector a = Vec({1, 2});
  const dVector b = Vec({1, 2, 3});
  EXPECT_DEATH((void)Dot(a, b),
               "MatrixAlgebra:[0-9]+.*Assertion `0 && \"ERROR: Dot\\(\\): Inconsistent vector size "
               "in Inner Product !\"' failed");
  EXPECT_DEATH((void)Dot(dVector(), b), "Inconsistent vector size in Inner Product");
}

TEST(MatrixAlgebraDeathTest, CrossNeedsThreeElements) {
  const char* message =
      "MatrixAlgebra:[0-9]+.*Assertion `0 && \"ERROR: Cross\\(\\): dVector dimension should be 3 "
      "in Cross Product !\"' failed";
  const dVector three = Vector3(1, 2, 3);
  EXPECT_DEATH((void)Cross(Vec({1, 2}), three), message);
  EXPECT_DEATH((void)Cross(three, Vec({1, 2, 3, 4})), message);
  EXPECT_DEATH((void)Cross(dVector(), dVector()), message);
}

// --------------------------------------------------------------- matrix<T>

TEST(MatrixTemplateTest, ConstructionIsZeroFilledAndPrivate) {
  const matrix<double> m(3, 3);
  EXPECT_EQ(m.RowNo(), 3u);
  EXPECT_EQ(m.ColNo(), 3u);
  EXPECT_EQ(m.RefCount(), 1);
  for (unsigned r = 0; r < 3; ++r) {
    for (unsigned c = 0; c < 3; ++c) EXPECT_EQ(m(r, c), 0.0);
  }
  const matrix<double> wide(2, 5);
  EXPECT_EQ(wide.RowNo(), 2u);
  EXPECT_EQ(wide.ColNo(), 5u);
  EXPECT_EQ(wide(1, 4), 0.0);
}

TEST(MatrixTemplateTest, ElementsAreRowMajor) {
  matrix<double> m(2, 3);
  m(0, 2) = 1.0;
  m(1, 0) = 2.0;
  const matrix<double>& c = m;
  EXPECT_EQ(c(0, 2), 1.0);
  EXPECT_EQ(c(1, 0), 2.0);
  EXPECT_EQ(c(0, 0), 0.0);
  EXPECT_EQ(c(1, 2), 0.0);
}

TEST(MatrixTemplateTest, CopyOnWriteIsolatesHandles) {
  matrix<double> a(3, 3);
  a(1, 1) = 4.0;
  matrix<double> b = a;  // shares the block
  EXPECT_EQ(a.RefCount(), 2);
  EXPECT_EQ(b.RefCount(), 2);
  const matrix<double>& ca = a;
  const matrix<double>& cb = b;
  EXPECT_EQ(cb(1, 1), 4.0);
  EXPECT_EQ(a.RefCount(), 2);  // reading through a const handle keeps sharing

  b(1, 1) = -7.0;  // b gets a private copy first
  EXPECT_EQ(a.RefCount(), 1);
  EXPECT_EQ(b.RefCount(), 1);
  EXPECT_EQ(ca(1, 1), 4.0);
  EXPECT_EQ(cb(1, 1), -7.0);

  a(0, 0) = 9.0;  // and the other way round
  EXPECT_EQ(cb(0, 0), 0.0);
  EXPECT_EQ(ca(0, 0), 9.0);
}

TEST(MatrixTemplateTest, AssignmentSharesAndReleases) {
  matrix<double> a(3, 3);
  a(2, 2) = 1.0;
  {
    matrix<double> b(2, 2);
    b = a;
    EXPECT_EQ(a.RefCount(), 2);
    EXPECT_EQ(b.RowNo(), 3u);
    b = b;  // self-assignment changes nothing
    EXPECT_EQ(a.RefCount(), 2);
    matrix<double> c = b;
    EXPECT_EQ(a.RefCount(), 3);
    c(0, 1) = 5.0;
    EXPECT_EQ(a.RefCount(), 2);
    EXPECT_EQ(c.RefCount(), 1);
  }
  // The other handles are gone; a's block survived them.
  EXPECT_EQ(a.RefCount(), 1);
  const matrix<double>& ca = a;
  EXPECT_EQ(ca(2, 2), 1.0);
  EXPECT_EQ(ca(0, 1), 0.0);

  matrix<double> moved = std::move(a);  // a copy: both handles stay valid
  EXPECT_EQ(moved.RefCount(), 2);
}

TEST(MatrixTemplateTest, OutOfRangeSubscriptThrows) {
  matrix<double> m(3, 3);
  EXPECT_NO_THROW(m(2, 2) = 1.0);  // the last element
  for (auto rc : {std::pair<size_t, size_t>{3, 0}, {0, 3}, {3, 3}, {size_t(-1), 0}}) {
    try {
      m(rc.first, rc.second) = 1.0;
      ADD_FAILURE() << "no exception for (" << rc.first << ", " << rc.second << ")";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "matrix<T>::operator(): subscript is out of range!");
    }
  }
  const matrix<double>& c = m;
  EXPECT_THROW((void)c(3, 0), std::out_of_range);

  // A failed write does not unshare the block.
  matrix<double> shared = m;
  EXPECT_THROW(shared(0, 3) = 2.0, std::out_of_range);
  EXPECT_EQ(m.RefCount(), 2);
}

}  // namespace
