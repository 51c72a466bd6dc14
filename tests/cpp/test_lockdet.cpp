#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/track/lockdet.hpp"

namespace {

tb::lockdet make(double up, double down, std::uint32_t nu, std::uint32_t nd) {
  tb::lockdet d{};
  tb::lockdet_init(&d, up, down, nu, nd);
  return d;
}

TEST(Lockdet, VerifyCountedDecision) {
  tb::lockdet d = make(0.85, 0.78, 8, 32);
  for (int i = 0; i < 7; ++i) EXPECT_FALSE(tb::lockdet_update(&d, 0.9));
  EXPECT_FALSE(tb::lockdet_update(&d, 0.85));  // equal never counts: the run restarts
  for (int i = 0; i < 7; ++i) EXPECT_FALSE(tb::lockdet_update(&d, 0.9));
  EXPECT_TRUE(tb::lockdet_update(&d, 0.9));  // the eighth
  for (int i = 0; i < 31; ++i) EXPECT_TRUE(tb::lockdet_update(&d, NAN));  // NaN counts toward a drop
  EXPECT_TRUE(tb::lockdet_update(&d, 0.78));  // equal never counts toward a drop
  for (int i = 0; i < 31; ++i) EXPECT_TRUE(tb::lockdet_update(&d, 0.0));
  EXPECT_FALSE(tb::lockdet_update(&d, 0.0));
  // A NaN resets a declaration run.
  for (int i = 0; i < 7; ++i) tb::lockdet_update(&d, 0.9);
  tb::lockdet_update(&d, NAN);
  EXPECT_EQ(0u, d.count);
}

TEST(Lockdet, RetuneKeepsLockResetClearsIt) {
  tb::lockdet d = make(0.5, 0.5, 0, 0);  // zero counts become 1
  EXPECT_EQ(1u, d.n_up);
  EXPECT_TRUE(tb::lockdet_update(&d, 1.0));
  tb::lockdet_retune(&d, 2.0, 1.0, 3, 3);
  EXPECT_TRUE(d.locked);
  tb::lockdet_reset(&d);
  EXPECT_FALSE(d.locked);
  EXPECT_EQ(-4, tb::lockdet_set_verify(&d, 0, 2));
  EXPECT_EQ(0, tb::lockdet_set_verify(&d, 4, 2));
  EXPECT_EQ(4u, d.n_up);
}

// Reference values from scipy.special.gammaincc.
TEST(Detection, GammaQMatchesReference) {
  struct R { double a, x, q; };
  const R ref[] = {
      {0.5, 0.1, 0.65472084601857683},   {1, 0.5, 0.60653065971263342},      {2, 1.5, 0.55782540037107475},
      {5, 3, 0.81526324452377219},       {5, 7, 0.17299160788207146},        {10, 20, 0.0049954123083075785},
      {20, 15, 0.87521878496747507},     {20, 40, 0.00017630289773856771},   {3.5, 0.01, 0.99999999146941954},
      {50, 45, 0.75319796559982977},     {1, 30, 9.3576229688401635e-14},    {100, 120, 0.027863739890520652},
  };
  for (const R& r : ref) EXPECT_NEAR(r.q, tb::gamma_q(r.a, r.x), 1e-11 * r.q + 1e-15) << r.a << "," << r.x;
  EXPECT_EQ(1.0, tb::gamma_q(3, 0));
  EXPECT_EQ(1.0, tb::marcum_q(4, 0, -1));
}

// Reference values: sqrt(2) * scipy.special.erfcinv(2p).
TEST(Detection, QInvMatchesReference) {
  struct R { double p, q; };
  const R ref[] = {{1e-09, 5.9978070150076874}, {1e-06, 4.7534243088228987}, {0.001, 3.0902323061678136},
                   {0.01, 2.3263478740408412},  {0.1, 1.2815515655446006},   {0.3, 0.52440051270804089},
                   {0.5, 0.0},                  {0.7, -0.52440051270804078}, {0.9, -1.2815515655446006},
                   {0.999, -3.0902323061678136}};
  for (const R& r : ref) EXPECT_NEAR(r.q, tb::q_inv(r.p), 1e-9) << r.p;
  for (double p : {0.0, 1.0, -0.5, 2.0, std::nan("")}) EXPECT_EQ(0.0, tb::q_inv(p));
}

// Reference: the same bisection over scipy's gammaincc.
TEST(Detection, NoncoherentThresholdMatchesReference) {
  struct R { double pfa; std::uint64_t n; double eta; };
  const R ref[] = {{0.001, 20, 8.5674942380483117}, {0.001, 1, 3.7169221888498383}, {1e-06, 4, 6.5345936313243129},
                   {0.01, 2, 3.6437211935036444},   {0.0001, 100, 16.824394604984796}, {0.1, 8, 4.8519922632972232}};
  for (const R& r : ref) EXPECT_NEAR(r.eta, tb::det_threshold_noncoherent(r.pfa, r.n), 1e-9) << r.pfa << "," << r.n;
  EXPECT_EQ(std::sqrt(-2.0 * std::log(0.02)), tb::det_threshold_noncoherent(0.02, 1));
  EXPECT_EQ(std::sqrt(-2.0 * std::log(0.02)), tb::det_threshold_noncoherent(0.02, 0));
  tb::det_threshold_noncoherent(std::nan(""), 4);  // an unreachable pfa still terminates
}

TEST(Detection, CountsAndCoefficients) {
  EXPECT_EQ(2, tb::det_verify_count(1e-3, 1e-6));
  EXPECT_EQ(3, tb::det_verify_count(0.01, 1e-6));
  EXPECT_EQ(1, tb::det_verify_count(0.0, 1e-6));
  EXPECT_EQ(1, tb::det_verify_count(1e-7, 1e-6));
  EXPECT_EQ(2147483647, tb::det_verify_count(1.0, 1e-6));
  EXPECT_DOUBLE_EQ(1.0 / 1024, tb::det_ema_alpha(0, 10 * std::log10(2047.0)));
  EXPECT_EQ(1.0, tb::det_ema_alpha(10, 3));
  EXPECT_EQ(-1, tb::det_looks_gaussian(0, 1, 0.9, 1e-3));
  EXPECT_EQ(-1, tb::det_looks_gaussian(1, 1, 1e-3, 0.9));
  EXPECT_EQ(1, tb::det_looks_gaussian(100, 1, 0.9, 1e-3));
  EXPECT_EQ(0.0, tb::det_threshold_gaussian(1, 0.5, 0.6));
}

TEST(Detection, TimingLockDefaults) {
  tb::timing_lock t{};
  ASSERT_EQ(0, tb::timing_lock_configure(&t, 0.35, 10, 1e-3, 0.9));
  EXPECT_EQ(133u, t.avgs);
  EXPECT_NEAR(0.310985, t.det.up_thresh, 5e-7);
  EXPECT_EQ(1u, t.det.n_up);
  EXPECT_EQ(8u, t.det.n_down);
  const double mu = (1.0 - std::exp(-0.275 * 10.0)) * (0.6 * 0.35 + 0.26);
  EXPECT_NEAR(0.439954, mu, 5e-7);
  EXPECT_EQ(-4, tb::timing_lock_configure(&t, 0.35, 10, 0.9, 0.5));
  // A perfectly timed signal (|a| >> |b|) declares after one block of looks.
  for (int i = 0; i < 132; ++i) EXPECT_FALSE(tb::timing_lock_look(&t, {1, 0}, {0, 0}));
  EXPECT_TRUE(tb::timing_lock_look(&t, {1, 0}, {0, 0}));
  EXPECT_NEAR(2.0, t.lock_stat, 1e-9);
  EXPECT_TRUE(t.det.locked);
}

TEST(Detection, CfarLooks) {
  tb::cfar_looks c{};
  EXPECT_EQ(-4, tb::cfar_configure(&c, 1.0, 4, 0));
  ASSERT_EQ(0, tb::cfar_configure(&c, 1e-3, 0, 0));
  EXPECT_EQ(1u, c.n_looks);
  EXPECT_DOUBLE_EQ(1.0 / 1024, c.alpha);
  EXPECT_EQ(tb::det_verify_count(1e-3, 1e-6), c.det.n_up);
  ASSERT_EQ(0, tb::cfar_configure(&c, 1e-3, 40, 0));
  EXPECT_NEAR(1.0 / 1280, c.alpha, 1e-15);  // 1/alpha = max(32 N, 1024)
  ASSERT_EQ(0, tb::cfar_configure(&c, 1e-3, 20, 0));
  EXPECT_NEAR(8.56749, c.det.up_thresh, 5e-6);
  EXPECT_NEAR(1.0 / 1024, c.alpha, 1e-15);
  // The first off-peak samples form a plain running mean.
  tb::cfar_look(&c, {0, 0}, {1, 0});
  tb::cfar_look(&c, {0, 0}, {0, 0});
  EXPECT_DOUBLE_EQ(0.5, c.noise_est);
  for (int i = 2; i < 19; ++i) EXPECT_FALSE(tb::cfar_look(&c, {10, 0}, {0, 0}));
  EXPECT_TRUE(tb::cfar_look(&c, {10, 0}, {0, 0}));
  tb::cfar_configure_raw(&c, 1, 1, 1, 1, 0, 0.5);
  EXPECT_EQ(1u, c.n_looks);
  EXPECT_FALSE(c.det.locked);
}

}  // namespace
