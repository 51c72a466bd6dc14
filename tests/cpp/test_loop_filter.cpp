#include <gtest/gtest.h>

#include "helpers.hpp"

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/track/loop_filter.hpp"

namespace {

TEST(LoopFilter, WorkedValues) {
  tb::loop_filter lf;
  tb::loop_filter_init(&lf, 0.02, 0.707, 1.0);
  EXPECT_NEAR(0.0519250, lf.kp, 5e-8);
  EXPECT_NEAR(0.00138494, lf.ki, 5e-9);
  EXPECT_NEAR(0.0533099, tb::loop_filter_step(&lf, 1.0), 5e-8);
  for (int i = 1; i < 10; ++i) tb::loop_filter_step(&lf, 1.0);
  EXPECT_NEAR(0.0138494, lf.integ, 5e-8);

  tb::loop_filter_init(&lf, 0.05, 0.707, 1.0);
  EXPECT_NEAR(0.124728, lf.kp, 5e-7);
  double c1 = tb::loop_filter_step(&lf, 0.1), c = c1;
  for (int i = 1; i < 50; ++i) c = tb::loop_filter_step(&lf, 0.1);
  EXPECT_NEAR(0.0133045, c1, 5e-8);
  EXPECT_NEAR(0.0540573, c, 5e-8);
}

TEST(LoopFilter, RefusesBadParameters) {
  const double inf = INFINITY, nan = NAN;
  struct P { double bn, zeta, t; };
  for (P p : {P{-0.1, 0.7, 1}, P{0.01, 0, 1}, P{0.01, 0.7, 0}, P{inf, 0.7, 1}, P{0.01, nan, 1}, P{0.01, 0.7, -inf}})
    EXPECT_EQ(nullptr, tb::loop_filter_create(p.bn, p.zeta, p.t));
  tb::loop_filter* lf = tb::loop_filter_create(0, 0.7, 1);
  ASSERT_NE(nullptr, lf);
  EXPECT_EQ(0.0, tb::loop_filter_step(lf, 5.0));
  tb::loop_filter_destroy(lf);
}

TEST(LoopFilter, GarbageBlobsAreRefusedWithoutChange) {
  auto lf = tbt::own<tb::loop_filter_destroy>(tb::loop_filter_create(0.02, 0.707, 1.0));
  tb::loop_filter_step(lf.get(), 1.0);
  tbt::expect_blob_fuzz_refused(
      lf.get(), {tb::loop_filter_state_bytes, tb::loop_filter_get_state, tb::loop_filter_set_state}, 9);
}

}  // namespace
