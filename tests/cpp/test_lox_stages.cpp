// The down-conversion stages: CIC, halfbands, compensator, resampler engines,
// matched banks, the planner and the cascade.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "core/common/status.hpp"
#include "core/lox/cic.hpp"
#include "core/lox/halfband.hpp"
#include "core/lox/lox.hpp"
#include "core/lox/rc.hpp"
#include "core/lox/resamp.hpp"
#include "helpers.hpp"

namespace {

using tb::cf32;

std::vector<cf32> noise(std::size_t n, unsigned seed, float scale = 0.5f) {
  std::mt19937 g(seed);
  std::normal_distribution<float> d(0.0f, scale);
  std::vector<cf32> v(n);
  for (auto& s : v) s = {d(g), d(g)};
  return v;
}

bool same_bits(const std::vector<cf32>& a, const std::vector<cf32>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cf32)) == 0;
}

// ---------------------------------------------------------------------------
// Planner

struct PlanCase {
  double rate;
  bool matched;
  std::vector<int> kinds;
  std::uint32_t cic_r;
  double last_rate;  // 0 when the plan has no resampler
};

TEST(RcPlan, Examples) {
  const double third = 1.0 / 6000.0;
  for (const PlanCase& c : std::vector<PlanCase>{
           {0.25, false, {tb::kRcHalfband, tb::kRcHalfband}, 0, 0},
           {0.5, false, {tb::kRcHalfband}, 0, 0},
           {0.125, false, {tb::kRcCic}, 8, 0},
           {0.3, false, {tb::kRcResamp}, 0, 0.3},
           {0.1, false, {tb::kRcCic, tb::kRcResamp}, 8, 0.8},
           {third, false, {tb::kRcCic, tb::kRcResamp}, 2048, 2048.0 / 6000.0},
           {2.0, false, {tb::kRcResamp}, 0, 2.0},
           {0.125, true, {tb::kRcCic, tb::kRcResamp}, 8, 1.0},
           {0.25, true, {tb::kRcHalfband, tb::kRcHalfband, tb::kRcResamp}, 0, 1.0},
           {1.0 / 4096.0, false, {tb::kRcCic, tb::kRcResamp}, 2048, 0.5},
           {1.0 / 12.0, false, {tb::kRcCic, tb::kRcResamp}, 16, 16.0 / 12.0},  // the residual nearer 1
       }) {
    tb::rc_plan p;
    ASSERT_TRUE(tb::rc_plan_make(c.rate, false, c.matched, &p)) << c.rate;
    ASSERT_EQ(static_cast<int>(c.kinds.size()), p.n) << c.rate;
    for (int i = 0; i < p.n; ++i) EXPECT_EQ(c.kinds[i], p.e[i].kind) << c.rate << " stage " << i;
    for (int i = 0; i < p.n; ++i) {
      if (p.e[i].kind == tb::kRcCic) EXPECT_EQ(c.cic_r, p.e[i].cic_r) << c.rate;
      if (p.e[i].kind == tb::kRcResamp) EXPECT_DOUBLE_EQ(c.last_rate, p.e[i].rate) << c.rate;
    }
  }
  tb::rc_plan p;
  for (double bad : {0.0, -1.0, double(NAN), double(INFINITY)}) EXPECT_FALSE(tb::rc_plan_make(bad, false, false, &p)) << bad;
}

TEST(RcCreate, RefusesDegenerateRates) {
  for (double bad : {0.0, -0.5, double(NAN), double(INFINITY), 1e-300, 1e12})
    EXPECT_EQ(nullptr, tb::rc_create(bad, 0)) << bad;
  EXPECT_EQ(nullptr, tb::rc_create_matched(0.25, 1, 1, 0.35, 8, 2.0, 1000));  // not a power of two
  EXPECT_EQ(nullptr, tb::rc_create_matched(0.25, 1, 1, 1.5, 8, 2.0, 64));
  EXPECT_EQ(nullptr, tb::rc_create_matched(0.25, 1, 1, 0.35, 0, 2.0, 64));
  EXPECT_EQ(nullptr, tb::rc_create_matched(0.25, 1, 1, 0.35, 8, 0.0, 64));
  EXPECT_EQ(nullptr, tb::rc_create_matched(0.25, 1, 2, 0.35, 8, 2.0, 64));
  EXPECT_EQ(nullptr, tb::rc_create_matched(0.25, 1, 1, 0.35, 8, 2.0, std::uint64_t{1} << 62));  // too large
  EXPECT_EQ(nullptr, tb::rc_create_matched(0.25, 1, 1, 0.35, ~std::uint64_t{0}, 2.0, 64));
}

// ---------------------------------------------------------------------------
// CIC and its compensator

TEST(Cic, CompensatorDesignReferenceValues) {
  struct Ref { double r; double outer, second, third, centre; };
  for (const Ref& c : {Ref{8, -0.004569389, 0.055935014, -0.346678049, 1.590624850},
                       Ref{64, -0.004680255, 0.057238023, -0.353455776, 1.601796016},
                       Ref{2048, -0.004682024, 0.057258798, -0.353563607, 1.601973665}}) {
    double t[7];
    ASSERT_TRUE(tb::cic_comp_design(4, c.r, 7, t));
    EXPECT_NEAR(c.outer, t[0], 5e-10);
    EXPECT_NEAR(c.second, t[1], 5e-10);
    EXPECT_NEAR(c.third, t[2], 5e-10);
    EXPECT_NEAR(c.centre, t[3], 5e-10);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(t[i], t[6 - i]);
    EXPECT_NEAR(1.0, t[0] + t[1] + t[2] + t[3] + t[4] + t[5] + t[6], 1e-14);
  }
  double t[7];
  EXPECT_FALSE(tb::cic_comp_design(4, 8, 5, t));
}

TEST(Cic, RatiosAndShift) {
  for (std::uint32_t bad : {0u, 1u, 3u, 12u, 4096u}) EXPECT_EQ(nullptr, tb::cic_create(bad)) << bad;
  auto c2 = tbt::own<tb::cic_destroy>(tb::cic_create(2));
  auto c11 = tbt::own<tb::cic_destroy>(tb::cic_create(2048));
  ASSERT_TRUE(c2 && c11);
  EXPECT_EQ(4u, c2->shift);
  EXPECT_EQ(44u, c11->shift);
}

TEST(Cic, ConstantInputAndClipRules) {
  auto c = tbt::own<tb::cic_destroy>(tb::cic_create(8));
  std::vector<cf32> x(80, cf32(0.5f, 0.25f)), y(10);
  ASSERT_EQ(10u, tb::cic_execute(c.get(), x.data(), x.size(), y.data(), y.size()));
  for (int i = 3; i < 10; ++i) EXPECT_EQ(cf32(0.5f, 0.25f), y[i]) << i;
  EXPECT_FALSE(c->clipped);
  std::vector<cf32> big(80, cf32(2.0f, -2.0f));
  tb::cic_execute(c.get(), big.data(), big.size(), y.data(), y.size());
  EXPECT_EQ(32767.0f / 16384.0f, y[9].real());
  EXPECT_EQ(-2.0f, y[9].imag());
  EXPECT_TRUE(c->clipped);
  tb::cic_execute(c.get(), x.data(), x.size(), y.data(), y.size());
  EXPECT_TRUE(c->clipped);  // sticky
  tb::cic_reset(c.get());
  EXPECT_FALSE(c->clipped);
  const cf32 edge[2] = {cf32(-2.0f, 0.0f), cf32(0.0f, -2.0f)};
  tb::cic_execute(c.get(), edge, 2, y.data(), 1);
  EXPECT_FALSE(c->clipped);  // exactly -2.0 is representable
  const cf32 over(-2.0001f, 0.0f), nan(NAN, 0.0f);
  tb::cic_execute(c.get(), &nan, 1, y.data(), 1);
  EXPECT_FALSE(c->clipped);  // NaN is quantised to 0
  tb::cic_execute(c.get(), &over, 1, y.data(), 1);
  EXPECT_TRUE(c->clipped);
}

TEST(Cic, OlderVersionBlobIsRefused) {
  auto c = tbt::own<tb::cic_destroy>(tb::cic_create(8));
  std::vector<unsigned char> b(tb::cic_state_bytes(c.get()));
  ASSERT_EQ(149u, b.size());
  ASSERT_EQ(0, tb::cic_get_state(c.get(), b.data(), b.size()));
  b[4] = 1;
  EXPECT_EQ(tb::kStatusRefused, tb::cic_set_state(c.get(), b.data(), b.size()));
}

TEST(Cic, CompensatorFilterMatchesDirectSum) {
  const float taps[7] = {0.1f, -0.2f, 0.3f, 1.4f, 0.3f, -0.2f, 0.1f};
  auto f = tbt::own<tb::fir_destroy>(tb::fir_create(taps, 7));
  const auto x = noise(40, 3);
  std::vector<cf32> y(x), whole(40);
  // In place, in two blocks, against the direct convolution.
  tb::fir_execute(f.get(), y.data(), 17, y.data());
  tb::fir_execute(f.get(), y.data() + 17, 23, y.data() + 17);
  for (int i = 0; i < 40; ++i) {
    float re = 0.0f, im = 0.0f;
    for (int t = 0; t < 7; ++t) {
      const cf32 v = i - t >= 0 ? x[i - t] : cf32{};
      re += taps[t] * v.real();
      im += taps[t] * v.imag();
    }
    whole[i] = {re, im};
  }
  EXPECT_TRUE(same_bits(whole, y));
  EXPECT_EQ(64u, tb::fir_state_bytes(f.get()));
}

// ---------------------------------------------------------------------------
// Halfbands

TEST(Halfband, SplitCallsEqualOneCall) {
  const auto x = noise(8, 5);
  auto a = tbt::own<tb::hb_destroy>(tb::hb_create(19, tb::kHalfbandTable));
  auto b = tbt::own<tb::hb_destroy>(tb::hb_create(19, tb::kHalfbandTable));
  std::vector<cf32> ya(4), yb(4);
  ASSERT_EQ(4u, tb::hb_execute(a.get(), x.data(), 8, ya.data(), 4));
  std::size_t k = tb::hb_execute(b.get(), x.data(), 5, yb.data(), 4);
  k += tb::hb_execute(b.get(), x.data() + 5, 3, yb.data() + k, 4 - k);
  ASSERT_EQ(4u, k);
  EXPECT_TRUE(same_bits(ya, yb));
  auto c = tbt::own<tb::hb_destroy>(tb::hb_create(19, tb::kHalfbandTable));
  std::vector<cf32> yc;
  for (int i = 0; i < 8; ++i) {
    cf32 o;
    const std::size_t got = tb::hb_execute(c.get(), &x[i], 1, &o, 1);
    EXPECT_EQ(i % 2 == 1 ? 1u : 0u, got) << i;
    if (got) yc.push_back(o);
  }
  EXPECT_TRUE(same_bits(ya, yc));
  EXPECT_EQ(nullptr, tb::hb_create(18, tb::kHalfbandTable));
  EXPECT_EQ(nullptr, tb::hb_create(19, nullptr));
  EXPECT_EQ(1068u, tb::hb_state_bytes(a.get()));
}

TEST(Halfband, RealToComplexMovesACosineToPointSevenCycles) {
  auto h = tbt::own<tb::hbr2_destroy>(tb::hbr2_create(19, tb::kHalfbandTable));
  ASSERT_EQ(556u, tb::hbr2_state_bytes(h.get()));
  const std::size_t n = 4096;
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(std::cos(2.0 * M_PI * 0.1 * static_cast<double>(i)));
  std::vector<cf32> y(n / 2);
  ASSERT_EQ(n / 2, tb::hbr2_execute(h.get(), x.data(), n, y.data(), y.size()));
  for (std::size_t i = 100; i < n / 2; ++i) {
    EXPECT_NEAR(1.0, std::abs(y[i]), 2e-3) << i;
    // Phase advance per output: 0.7 cycles, i.e. -0.3.
    const double d = std::arg(y[i] * std::conj(y[i - 1])) / (2.0 * M_PI);
    EXPECT_NEAR(-0.3, d, 2e-3) << i;
  }
}

// ---------------------------------------------------------------------------
// Resampler

TEST(Resamp, RateOneIsOneOutputPerInputThroughArmZero) {
  auto r = tbt::own<tb::resamp_destroy>(tb::resamp_create_default(1.0));
  ASSERT_TRUE(r);
  EXPECT_EQ(0u, r->block_inc);
  const auto x = noise(64, 7);
  std::vector<cf32> y(64);
  EXPECT_EQ(64u, tb::resamp_execute(r.get(), x.data(), 64, y.data(), 64));
  EXPECT_EQ(0u, r->block_phase);
  // Arm 0 is the half-sample interpolator: symmetric about taps 9 and 10.
  for (int k = 1; k < 19; ++k) EXPECT_NEAR(r->taps[k], r->taps[19 - k], 1e-6) << k;
  EXPECT_GT(r->taps[9], 0.5f);
  double sum = 0.0;
  for (int k = 0; k < 19; ++k) sum += r->taps[k];
  EXPECT_NEAR(1.0, sum, 1e-3);
}

TEST(Resamp, EmptyBlockReadsNothing) {
  for (double rate : {1.0, 1.5, 0.4}) {
    auto r = tbt::own<tb::resamp_destroy>(tb::resamp_create_default(rate));
    cf32 y[4];
    EXPECT_EQ(0u, tb::resamp_execute(r.get(), nullptr, 0, y, 4)) << rate;
    EXPECT_EQ(0u, r->block_phase);
  }
}

TEST(Resamp, PushCountsAtRateTwoAndAHalfAndAQuarter) {
  auto r = tbt::own<tb::resamp_destroy>(tb::resamp_create_default(2.5));
  cf32 y[8];
  const std::size_t expect[] = {3, 3, 2, 3, 2, 3, 2, 3, 2, 3};
  for (std::size_t e : expect) EXPECT_EQ(e, tb::resamp_push(r.get(), cf32(1, 0), 0.0, y, 8));
  auto q = tbt::own<tb::resamp_destroy>(tb::resamp_create_default(0.25));
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(i % 4 == 0 ? 1u : 0u, tb::resamp_push(q.get(), cf32(1, 0), 0.0, y, 8)) << i;
  // A rate deviation driving the rate to 1e-6 or below: a period of 10^6 inputs.
  auto s = tbt::own<tb::resamp_destroy>(tb::resamp_create_default(0.25));
  std::size_t outputs = 0;
  for (int i = 0; i < 2000001; ++i) outputs += tb::resamp_push(s.get(), cf32(1, 0), -0.3, y, 8);
  EXPECT_EQ(3u, outputs);
}

TEST(Resamp, DeferredSettlingWithCapacityZeroKeepsTheSequence) {
  const auto x = noise(300, 9);
  for (double rate : {0.3, 1.0, 2.5}) {
    auto a = tbt::own<tb::resamp_destroy>(tb::resamp_create_default(rate));
    auto b = tbt::own<tb::resamp_destroy>(tb::resamp_create_default(rate));
    std::vector<cf32> ya, yb;
    cf32 y[8];
    std::mt19937 g(4);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const std::size_t k = tb::resamp_push(a.get(), x[i], 0.01, y, 8);
      ya.insert(ya.end(), y, y + k);
      // A full buffer now and then, while no output is due (an output due
      // now would otherwise be computed after this input entered the ring).
      const std::size_t cap = (g() % 3 == 0 && b->countdown > 0 && b->deferred == 0) ? 0 : 8;
      const std::size_t kb = tb::resamp_push(b.get(), x[i], 0.01, y, cap);
      yb.insert(yb.end(), y, y + kb);
    }
    // Settle what is still owed with one more push each.
    const std::size_t k = tb::resamp_push(a.get(), cf32{}, 0.01, y, 8);
    ya.insert(ya.end(), y, y + k);
    std::size_t kb;
    while (b->deferred && (kb = tb::resamp_push(b.get(), cf32{}, 0.01, y, 8)) > 0) yb.insert(yb.end(), y, y + kb);
    yb.resize(std::min(yb.size(), ya.size()));
    ya.resize(yb.size());
    EXPECT_TRUE(same_bits(ya, yb)) << rate;
    EXPECT_GT(ya.size(), 50u);
  }
}

TEST(Resamp, BoundsCoverEveryInput) {
  const auto x = noise(1000, 11);
  for (double rate : {0.05, 0.3, 1.0, 1.5, 2.5, 7.9}) {
    auto r = tbt::own<tb::resamp_destroy>(tb::resamp_create_default(rate));
    std::vector<cf32> y(tb::resamp_max_out(r.get(), x.size()));
    const std::size_t k = tb::resamp_execute(r.get(), x.data(), x.size(), y.data(), y.size());
    EXPECT_LE(k, y.size());
    EXPECT_NEAR(static_cast<double>(k), rate * 1000.0, 2.0) << rate;
    // The phase has advanced past every input: a second block starts fresh.
    for (double ctrl : {0.0, 0.2, -0.2}) {
      const std::size_t bound = tb::resamp_push_max_out(r.get(), 1, ctrl);
      cf32 z[64];
      ASSERT_LE(bound, 64u);
      EXPECT_LT(tb::resamp_push(r.get(), x[0], ctrl, z, bound), bound);
    }
  }
}

// ---------------------------------------------------------------------------
// Matched banks

TEST(MfDesign, RrcBankFacts) {
  tb::mf_bank b;
  ASSERT_TRUE(tb::mf_design(1, 0.35, 8, 2.0, 4, 1.0, nullptr, &b));
  EXPECT_EQ(34u, b.k);
  EXPECT_DOUBLE_EQ(2.0, b.sps);
  int peak = 0;
  for (int k = 1; k < 34; ++k)
    if (b.taps[k] > b.taps[peak]) peak = k;
  EXPECT_EQ(16, peak);
  // Arm 0 scaled by 1/u dotted with the unscaled arm 0 is 1.
  double dotp = 0.0;
  for (int k = 0; k < 34; ++k) dotp += static_cast<double>(b.taps[k]) * (static_cast<double>(b.taps[k]) * b.energy);
  EXPECT_NEAR(1.0, dotp, 1e-5);
  tb::mf_bank z;
  ASSERT_TRUE(tb::mf_design(1, 0.0, 4, 4.0, 2, 1.0, nullptr, &z));  // beta 0: the plain sinc branch
  for (float t : z.taps) EXPECT_TRUE(std::isfinite(t));
  tb::mf_bank q;
  ASSERT_TRUE(tb::mf_design(1, 0.25, 4, 4.0, 2, 1.0, nullptr, &q));  // the 1/(4 beta) singular points
  for (float t : q.taps) EXPECT_TRUE(std::isfinite(t));
}

TEST(MfDesign, RectangleAtTwoSamplesPerSymbol) {
  tb::mf_bank b;
  ASSERT_TRUE(tb::mf_design(0, 0.0, 8, 2.0, 2, 1.0, nullptr, &b));
  ASSERT_EQ(4u, b.k);  // m = ceil(1.5 * 2) = 3
  EXPECT_EQ(0.0f, b.taps[0]);
  EXPECT_EQ(0.5f, b.taps[1]);
  EXPECT_EQ(0.5f, b.taps[2]);
  EXPECT_EQ(0.0f, b.taps[3]);
  tb::mf_bank c;
  double comp[7];
  ASSERT_TRUE(tb::cic_comp_design(4, 8, 7, comp));
  ASSERT_TRUE(tb::mf_design(0, 0.0, 8, 2.0, 2, 1.0, comp, &c));
  EXPECT_EQ(b.k + 6, c.k);
}

// ---------------------------------------------------------------------------
// Cascade and down-converters: blobs

TEST(RcBlobs, FuzzedBlobsLeaveEveryComponentUnchanged) {
  for (double rate : {0.25, 0.1, 0.3}) {
    auto c = tbt::own<tb::rc_destroy>(tb::rc_create(rate, 1));
    const auto x = noise(999, 13);
    std::vector<cf32> y(tb::rc_max_out(c.get(), x.size()));
    ASSERT_GE(tb::rc_execute(c.get(), x.data(), x.size(), y.data(), y.size()), 0);
    tbt::expect_blob_fuzz_refused(c.get(), {tb::rc_state_bytes, tb::rc_get_state, tb::rc_set_state}, 21, 300, {16});
  }
  auto m = tbt::own<tb::rc_destroy>(tb::rc_create_matched(0.125, 1, 1, 0.35, 4, 2.0, 16));
  ASSERT_TRUE(m);
  ASSERT_TRUE(tb::rc_attach_agc(m.get(), -3.0, 0.001, 0.01, 8.0, 120.0, 8));
  const std::size_t rsmp = tb::resamp_state_bytes(tb::rc_terminal(m.get()));
  tbt::expect_blob_fuzz_refused(m.get(), {tb::rc_state_bytes, tb::rc_get_state, tb::rc_set_state}, 22, 300,
                                {16, 16 + 149, 16 + 149 + rsmp});
}

TEST(LoxBlobs, FuzzedBlobsLeaveTheObjectUnchanged) {
  auto d = tbt::own<tb::lox_destroy>(tb::lox_create(0.1, 0.1));
  auto r = tbt::own<tb::lox_destroy>(tb::loxr_create_matched(-0.7, 0.125, 1, 0.35, 4, 2.0, 16));
  ASSERT_TRUE(d && r);
  const auto x = noise(777, 17);
  std::vector<cf32> y(1000);
  ASSERT_GE(tb::lox_execute(d.get(), x.data(), x.size(), y.data(), y.size()), 0);
  std::vector<float> xr(777);
  for (std::size_t i = 0; i < xr.size(); ++i) xr[i] = x[i].real();
  ASSERT_GE(tb::loxr_execute(r.get(), xr.data(), xr.size(), y.data(), y.size()), 0);
  tbt::expect_blob_fuzz_refused(d.get(), {tb::lox_state_bytes, tb::lox_get_state, tb::lox_set_state}, 23, 300,
                                {24, 44});
  tbt::expect_blob_fuzz_refused(r.get(), {tb::lox_state_bytes, tb::lox_get_state, tb::lox_set_state}, 24, 300,
                                {24, 580, 600, 616});
}

}  // namespace

namespace {

// Single-sample pushes slide the history through the chunk room; block
// calls, blobs and pushes mixed in any order give the block engine's outputs.
TEST(Halfband, PushMatchesTheBlockEngineAcrossSlides) {
  std::mt19937 g(7);
  std::normal_distribution<float> n;
  std::vector<tb::cf32> x(3001);
  for (auto& v : x) v = {n(g), n(g)};
  tb::hb* a = tb::hb_create(tb::kHalfbandTaps, tb::kHalfbandTable);
  tb::hb* b = tb::hb_create(tb::kHalfbandTaps, tb::kHalfbandTable);
  std::vector<tb::cf32> ref(x.size()), got;
  ref.resize(tb::hb_execute(a, x.data(), x.size(), ref.data(), ref.size()));
  std::vector<unsigned char> blob(tb::hb_state_bytes(b));
  for (std::size_t i = 0; i < x.size();) {
    if (i % 977 == 5) {  // a block call in the middle of a slide
      tb::cf32 y[8];
      const std::size_t k = tb::hb_execute(b, x.data() + i, 7, y, 8);
      got.insert(got.end(), y, y + k);
      i += 7;
      continue;
    }
    if (i % 613 == 100) {  // a checkpoint mid-slide, restored into the same record
      ASSERT_EQ(0, tb::hb_get_state(b, blob.data(), blob.size()));
      ASSERT_EQ(0, tb::hb_set_state(b, blob.data(), blob.size()));
    }
    tb::cf32 y;
    if (tb::hb_push(b, x[i], &y)) got.push_back(y);
    ++i;
  }
  ASSERT_EQ(ref.size(), got.size());
  EXPECT_EQ(0, std::memcmp(ref.data(), got.data(), ref.size() * sizeof(tb::cf32)));
  std::vector<unsigned char> ba(tb::hb_state_bytes(a));
  ASSERT_EQ(0, tb::hb_get_state(a, ba.data(), ba.size()));
  ASSERT_EQ(0, tb::hb_get_state(b, blob.data(), blob.size()));
  EXPECT_EQ(ba, blob);
  tb::hb_destroy(a);
  tb::hb_destroy(b);
}

}  // namespace
