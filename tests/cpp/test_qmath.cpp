// The vector bodies and scalar tails of the qmath kernels must agree with the
// element rules for every length and alignment; Python cannot pick the
// offsets that move elements between the two paths, so it is checked here.
#include <gtest/gtest.h>

#include "helpers.hpp"

#include <algorithm>
#include <limits>
#include <cstdint>
#include <random>
#include <vector>

#include "core/common/blob.hpp"
#include "core/qmath/qmath.hpp"

namespace {

template <class T>
std::vector<T> random_with_extremes(std::size_t n, std::mt19937& g) {
  std::uniform_int_distribution<int> d(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  std::vector<T> v(n);
  for (auto& x : v) {
    int pick = static_cast<int>(g() % 8);
    x = pick == 0 ? std::numeric_limits<T>::min() : pick == 1 ? std::numeric_limits<T>::max() : static_cast<T>(d(g));
  }
  return v;
}

template <class T>
T sat(long long v) {
  return static_cast<T>(std::clamp<long long>(v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}
template <class T>
T mul_ref(T a, T b, int frac) {
  long long p = (static_cast<long long>(a) * b + (1LL << (frac - 1))) >> frac;
  return static_cast<T>(std::min<long long>(p, std::numeric_limits<T>::max()));
}

template <class T, class K, class R>
void check_binary(K kernel, R ref) {
  std::mt19937 g(1234);
  for (std::size_t n = 0; n < 80; ++n) {
    for (std::size_t off : {0, 1, 3}) {
      auto a = random_with_extremes<T>(n + off, g);
      auto b = random_with_extremes<T>(n + off, g);
      std::vector<T> out(n + off);
      kernel(out.data() + off, a.data() + off, n, b.data() + off, n);
      for (std::size_t i = 0; i < n; ++i)
        ASSERT_EQ(ref(a[off + i], b[off + i]), out[off + i]) << "n=" << n << " i=" << i << " off=" << off;
    }
  }
}

TEST(QmathKernels, VectorAndScalarPathsMatchTheRules) {
  check_binary<std::int16_t>(tb::add_q15, [](std::int16_t a, std::int16_t b) { return sat<std::int16_t>(a + b); });
  check_binary<std::int16_t>(tb::sub_q15, [](std::int16_t a, std::int16_t b) { return sat<std::int16_t>(a - b); });
  check_binary<std::int16_t>(tb::mul_q15, [](std::int16_t a, std::int16_t b) { return mul_ref<std::int16_t>(a, b, 15); });
  check_binary<std::int8_t>(tb::add_q8, [](std::int8_t a, std::int8_t b) { return sat<std::int8_t>(a + b); });
  check_binary<std::int8_t>(tb::sub_q8, [](std::int8_t a, std::int8_t b) { return sat<std::int8_t>(a - b); });
  check_binary<std::int8_t>(tb::mul_q8, [](std::int8_t a, std::int8_t b) { return mul_ref<std::int8_t>(a, b, 7); });
}

TEST(QmathKernels, ShorterSecondInputActsAsZeros) {
  std::vector<std::int16_t> a(40, 1000), b(7, 2000), out(40, -1);
  tb::mul_q15(out.data(), a.data(), a.size(), b.data(), b.size());
  for (std::size_t i = 7; i < 40; ++i) EXPECT_EQ(0, out[i]);
  tb::sub_q15(out.data(), a.data(), a.size(), b.data(), b.size());
  EXPECT_EQ(-1000, out[0]);
  for (std::size_t i = 7; i < 40; ++i) EXPECT_EQ(1000, out[i]);
}

TEST(QmathKernels, ShiftsInPlaceAreSafe) {
  std::vector<std::int64_t> a = {536870912, -3, 7};
  tb::shr_i64(a.data(), a.data(), a.size(), 15);
  EXPECT_EQ(16384, a[0]);
  EXPECT_EQ(0, a[1]);
  EXPECT_EQ(0, a[2]);
}

TEST(QmathAcc, GarbageBlobsNeverChangeTheRegister) {
  auto a = tbt::own<tb::acc_q15_destroy>(tb::acc_q15_create(77));
  ASSERT_NE(nullptr, a);
  tbt::expect_blob_fuzz_refused(a.get(), {tb::acc_q15_state_bytes, tb::acc_q15_get_state, tb::acc_q15_set_state}, 5);
  EXPECT_EQ(77, a->acc);
  auto b = tbt::own<tb::acc_q8_destroy>(tb::acc_q8_create(-5));
  tbt::expect_blob_fuzz_refused(b.get(), {tb::acc_q8_state_bytes, tb::acc_q8_get_state, tb::acc_q8_set_state}, 6);
}

}  // namespace
