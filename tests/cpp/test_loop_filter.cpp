#include <gtest/gtest.h>

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
  tb::loop_filter* lf = tb::loop_filter_create(0.02, 0.707, 1.0);
  tb::loop_filter_step(lf, 1.0);
  const tb::loop_filter before = *lf;
  std::mt19937 g(9);
  std::vector<unsigned char> buf(80);
  for (int i = 0; i < 2000; ++i) {
    for (auto& c : buf) c = static_cast<unsigned char>(g());
    if (i % 2) {  // a valid header over a garbage length
      const char m[4] = {'L', 'P', 'F', 'L'};
      std::memcpy(buf.data(), m, 4);
      buf[4] = 1; buf[5] = 0; buf[6] = 1;
    }
    EXPECT_NE(0, tb::loop_filter_set_state(lf, buf.data(), g() % 64));
    EXPECT_EQ(0, std::memcmp(&before, lf, sizeof before));
  }
  tb::loop_filter_destroy(lf);
}

}  // namespace
