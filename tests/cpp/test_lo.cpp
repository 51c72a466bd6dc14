#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/common/blob.hpp"
#include "core/lox/lo.hpp"
#include "core/track/carrier.hpp"

namespace {

using tb::cf32;

TEST(LoTable, EntriesAreTheSinglePrecisionSineOfAFloat32Argument) {
  const float* t = tb::lo_sine_table();
  const float k = 9.58738019e-05f;
  ASSERT_EQ(0x38C90FDBu, std::bit_cast<std::uint32_t>(k));
  for (std::size_t i = 0; i < tb::kSineTableSize; ++i) {
    const float arg = static_cast<float>(i) * k;
    ASSERT_EQ(sinf(arg), t[i]) << i;
    // and the library sine is within one ulp of the exact value of that argument
    const double exact = std::sin(static_cast<double>(arg));
    ASSERT_LE(std::fabs(exact - t[i]), std::fabs(std::nextafter(t[i], 2.0f) - t[i])) << i;
  }
  EXPECT_NE(0.0f, t[32768]);  // the float32 nearest pi is not pi
  EXPECT_EQ(t, tb::lo_sine_table());
}

TEST(LoFreq, IncrementRule) {
  struct C { double f; std::uint32_t inc; };
  for (C c : {C{0.25, 0x40000000u}, C{-0.1, tb::freq_to_inc(0.9)}, C{1.25, 0x40000000u}, C{-1e-20, 0xFFFFFFFFu},
              C{0.0, 0u}, C{1.0, 0u}, C{NAN, 0u}, C{INFINITY, 0u}, C{0.5, 0x80000000u}})
    EXPECT_EQ(c.inc, tb::freq_to_inc(c.f)) << c.f;
  tb::lo* o = tb::lo_create(-0.1);
  EXPECT_EQ(-0.1, tb::lo_get_freq(o));
  EXPECT_EQ(tb::freq_to_inc(0.9), o->phase_inc);
  tb::lo_destroy(o);
}

// Reference mixing written independently: table look-up by the top 16 bits,
// float32 products, one add/subtract, phase advanced after each sample.
std::vector<cf32> model_mix(std::uint32_t phase, std::uint32_t step, const std::vector<cf32>& x) {
  const float* t = tb::lo_sine_table();
  std::vector<cf32> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const float s = t[phase >> 16], c = t[((phase >> 16) + 16384) % 65536];
    volatile float a = c * x[i].real(), b = s * x[i].imag(), d = c * x[i].imag(), e = s * x[i].real();
    y[i] = {a - b, d + e};
    phase += step;
  }
  return y;
}

std::vector<cf32> noise(std::size_t n) {
  std::vector<cf32> x(n);
  std::uint32_t s = 1;
  for (auto& v : x) {
    s = s * 1664525u + 1013904223u;
    const float a = static_cast<float>(s >> 8) / 16777216.0f - 0.5f;
    s = s * 1664525u + 1013904223u;
    v = {a, static_cast<float>(s >> 8) / 16777216.0f - 0.5f};
  }
  return x;
}

TEST(LoMix, BlockPerSampleAndControlFormsAgreeWithTheModel) {
  const auto x = noise(1000);
  std::vector<cf32> y(x.size()), scratch(x.size());
  tb::lo* o = tb::lo_create(0.0123);
  tb::lo_mix(o, x.data(), y.data(), 600, scratch.data());
  tb::lo_mix(o, x.data() + 600, y.data() + 600, 400, scratch.data());
  EXPECT_EQ(0, std::memcmp(y.data(), model_mix(0, tb::freq_to_inc(0.0123), x).data(), y.size() * sizeof(cf32)));

  tb::lo_reset(o);
  tb::lo_mix_ctrl(o, x.data(), y.data(), x.size(), 0.0);
  EXPECT_EQ(0, std::memcmp(y.data(), model_mix(0, tb::freq_to_inc(0.0123), x).data(), y.size() * sizeof(cf32)));

  // Control -0.1 on a 0 Hz oscillator mixes exactly like -0.1 itself, and is not stored.
  tb::lo_set_freq(o, 0.0);
  tb::lo_reset(o);
  tb::lo_mix_ctrl(o, x.data(), y.data(), x.size(), -0.1);
  EXPECT_EQ(0, std::memcmp(y.data(), model_mix(0, tb::freq_to_inc(-0.1), x).data(), y.size() * sizeof(cf32)));
  EXPECT_EQ(0.0, tb::lo_get_freq(o));
  EXPECT_EQ(0u, o->phase_inc);
  tb::lo_destroy(o);
}

TEST(LoMix, QuarterRateRotatesByPowersOfJ) {
  tb::lo* o = tb::lo_create(0.25);
  const float* t = tb::lo_sine_table();
  std::vector<cf32> x(4, cf32{1.0f, 0.0f}), y(4), scratch(4);
  tb::lo_mix(o, x.data(), y.data(), 4, scratch.data());
  const std::size_t sin_idx[4] = {0, 16384, 32768, 49152};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(t[(sin_idx[i] + 16384) % 65536], y[i].real());
    EXPECT_EQ(t[sin_idx[i]], y[i].imag());
  }
  EXPECT_NEAR(-1.0f, y[2].real(), 1e-6f);
  EXPECT_NEAR(-1.0f, y[3].imag(), 1e-6f);
  tb::lo_destroy(o);
}

TEST(LoMix, RetuningKeepsThePhase) {
  tb::lo* o = tb::lo_create(0.1);
  std::vector<cf32> g(10);
  tb::lo_generate(o, 10, g.data(), 10);
  const std::uint32_t ph = o->phase;
  tb::lo_set_freq(o, 0.2);
  EXPECT_EQ(ph, o->phase);
  EXPECT_EQ(3u, tb::lo_generate(o, 10, g.data(), 3));  // capped by cap
  tb::lo_destroy(o);
}

TEST(LoState, BlobRoundTripAndRefusals) {
  tb::lo* o = tb::lo_create(0.3);
  std::vector<cf32> g(7);
  tb::lo_generate(o, 7, g.data(), 7);
  unsigned char blob[20];
  ASSERT_EQ(20u, tb::lo_state_bytes(o));
  ASSERT_EQ(0, tb::lo_get_state(o, blob, sizeof blob));
  EXPECT_EQ(0, std::memcmp(blob, "LO__\x01\x00\x01\x00\x14\x00\x00\x00", 12));
  const std::uint32_t ph = o->phase;
  tb::lo_reset(o);
  unsigned char bad[20];
  std::memcpy(bad, blob, 20);
  bad[8] = 21;
  EXPECT_EQ(-4, tb::lo_set_state(o, bad, 20));
  std::memcpy(bad, blob, 20);
  bad[0] = 'X';
  EXPECT_EQ(-4, tb::lo_set_state(o, bad, 20));
  EXPECT_EQ(0u, o->phase);
  EXPECT_EQ(0, tb::lo_set_state(o, blob, 20));
  EXPECT_EQ(ph, o->phase);
  tb::lo_destroy(o);
}

}  // namespace

// The fast paths of freq_to_inc and of the carrier loops' phase nudge give
// the bits of the reference formulas on every input, the saturating edges
// and near-integer products included.
namespace {

std::uint32_t reference_inc(double f) {
  const double u = (f - std::floor(f)) * 4294967296.0;
  if (!(u > 0.0)) return 0;
  if (u >= 4294967296.0) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(u);
}

}  // namespace

TEST(Lo, FreqToIncFastPathMatchesTheReference) {
  std::mt19937_64 g(5);
  std::uniform_real_distribution<double> uni(-1.0, 1.0);
  std::vector<double> cases = {0.0, -0.0, 1e-300, -1e-300, -1e-20, 1e-20, 0.5, -0.5, 0.25, -0.25, 1.0, -1.0,
                               std::nextafter(1.0, 0.0), std::nextafter(-1.0, 0.0), 0x1p-32, -0x1p-32, 0x1p-33,
                               -0x1p-33, 0.3, -0.3, 0.999999999, -0.999999999, 2.5, -7.75, 1e300, NAN, INFINITY};
  for (int i = 0; i < 2000000; ++i) cases.push_back(uni(g) * std::ldexp(1.0, -static_cast<int>(g() % 40)));
  for (int i = 0; i < 100000; ++i)  // products on exact multiples of 2^-32 and beside them
    cases.push_back(std::nextafter(static_cast<double>(static_cast<std::int64_t>(g() % 4294967296u) - 2147483648ll) *
                                       0x1p-32,
                                   (g() & 1) ? 2.0 : -2.0));
  for (double f : cases) ASSERT_EQ(reference_inc(f), tb::freq_to_inc(f)) << f;
}

TEST(Lo, PhaseNudgeFastPathMatchesTheDivision) {
  std::mt19937_64 g(6);
  std::uniform_real_distribution<float> ue(-1.0f, 1.0f);
  for (double kp : {0.0, 1e-6, 0.0312, 0.0526, 0.5, 3.0, 1e3}) {
    const tb::nudge_scale ns(kp);
    for (int i = 0; i < 500000; ++i) {
      const float e = ue(g) * std::ldexp(1.0f, -static_cast<int>(g() % 30));
      ASSERT_EQ(reference_inc(static_cast<double>(e) * kp / tb::kTwoPi), tb::nudge_inc(e, ns)) << e << " " << kp;
    }
    for (float e : {0.0f, -0.0f, 1.0f, -1.0f, 1e-38f, -1e-38f, 1e-45f, -1e-45f})
      ASSERT_EQ(reference_inc(static_cast<double>(e) * kp / tb::kTwoPi), tb::nudge_inc(e, ns)) << e;
  }
}

TEST(Numeric, HypotAndNegationMatchTheLibrary) {
  std::mt19937 g(7);
  std::vector<float> v = {0.0f, -0.0f, 1.0f, -1.0f, 1e-45f, 3e38f, -3e38f, INFINITY, -INFINITY, NAN, 1e-38f};
  for (int i = 0; i < 200000; ++i) v.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(g())));
  for (std::size_t i = 0; i + 1 < v.size(); ++i) {
    const float a = v[i], b = v[v.size() - 1 - i];
    const float want = std::hypot(a, b), got = tb::hypot_f(a, b);
    ASSERT_TRUE(std::bit_cast<std::uint32_t>(want) == std::bit_cast<std::uint32_t>(got) || (want != want && got != got))
        << a << " " << b;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(-a), std::bit_cast<std::uint32_t>(tb::negate_if(a, true)));
    ASSERT_EQ(std::bit_cast<std::uint32_t>(a), std::bit_cast<std::uint32_t>(tb::negate_if(a, false)));
  }
}
