// The code generators and the synthesiser core: maximal-length periods, the
// polyphase interpolator fed on demand, and the synthesiser's state blob.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/lox/resamp.hpp"
#include "core/sig/lfsr.hpp"
#include "core/sig/synth.hpp"
#include "helpers.hpp"

namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

// Steps until the register returns to its seed, up to limit.
u64 period_of(tb::pn* p, u64 limit) {
  const u64 start = p->reg;
  for (u64 k = 1; k <= limit; ++k) {
    tb::pn_step(p);
    if (p->reg == start) return k;
  }
  return 0;
}

TEST(Mls, EveryEntryUpTo24StagesHasFullPeriodInBothRealizations) {
  for (std::uint32_t n = 2; n <= 24; ++n) {
    const u64 full = (u64{1} << n) - 1;
    for (int lfsr : {tb::PN_GALOIS, tb::PN_FIBONACCI}) {
      auto p = tbt::own<tb::pn_destroy>(tb::pn_create(tb::mls_poly(n), 1, n, lfsr));
      ASSERT_TRUE(p);
      EXPECT_EQ(full, period_of(p.get(), full)) << "n=" << n << " lfsr=" << lfsr;
    }
  }
}

// Above 24 stages a run is too long, so the table is checked algebraically:
// the Galois register (right shift, mask m) multiplies its state by y^-1
// modulo Q(y) = y m(y) + 1, so its period is the order of y modulo Q, which
// is 2^n - 1 exactly when y^(2^n - 1) = 1 and y^((2^n - 1)/q) != 1 for every
// prime q dividing 2^n - 1.
struct Gf2Poly {
  u128 q;  // modulus, degree n
  unsigned n;
  u128 mulmod(u128 a, u128 b) const {
    u128 r = 0;
    while (b) {
      if (b & 1) r ^= a;
      b >>= 1;
      a <<= 1;
      if ((a >> n) & 1) a ^= q;
    }
    return r;
  }
  u128 powmod(u128 a, u64 e) const {
    u128 r = 1;
    while (e) {
      if (e & 1) r = mulmod(r, a);
      a = mulmod(a, a);
      e >>= 1;
    }
    return r;
  }
};

u64 mulmod64(u64 a, u64 b, u64 m) { return static_cast<u64>(static_cast<u128>(a) * b % m); }
u64 powmod64(u64 a, u64 e, u64 m) {
  u64 r = 1 % m;
  for (a %= m; e; e >>= 1, a = mulmod64(a, a, m))
    if (e & 1) r = mulmod64(r, a, m);
  return r;
}
bool is_prime(u64 v) {
  if (v < 2) return false;
  for (u64 p : {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37})
    if (v % p == 0) return v == p;
  u64 d = v - 1;
  int s = 0;
  while ((d & 1) == 0) d >>= 1, ++s;
  for (u64 a : {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37}) {
    u64 x = powmod64(a, d, v);
    if (x == 1 || x == v - 1) continue;
    bool comp = true;
    for (int i = 1; i < s && comp; ++i) comp = (x = mulmod64(x, x, v)) != v - 1;
    if (comp) return false;
  }
  return true;
}
u64 gcd(u64 a, u64 b) {
  while (b) a %= b, std::swap(a, b);
  return a;
}
u64 rho(u64 v) {  // a non-trivial factor of composite v
  if (v % 2 == 0) return 2;
  for (u64 c = 1;; ++c) {
    u64 x = 2, y = 2, d = 1;
    auto f = [&](u64 t) { return (mulmod64(t, t, v) + c) % v; };
    while (d == 1) {
      x = f(x);
      y = f(f(y));
      d = gcd(x > y ? x - y : y - x, v);
    }
    if (d != v) return d;
  }
}
void prime_factors(u64 v, std::vector<u64>& out) {
  if (v == 1) return;
  if (is_prime(v)) {
    for (u64 p : out)
      if (p == v) return;
    out.push_back(v);
    return;
  }
  const u64 d = rho(v);
  prime_factors(d, out);
  prime_factors(v / d, out);
}

TEST(Mls, EveryEntryIsPrimitive) {
  for (unsigned n = 2; n <= 64; ++n) {
    const u64 m = tb::mls_poly(n);
    ASSERT_EQ(u64{1}, m >> (n - 1)) << "bit n-1 set, no higher bit, n=" << n;
    const Gf2Poly g{(static_cast<u128>(m) << 1) | 1, n};
    const u64 order = n == 64 ? ~u64{0} : (u64{1} << n) - 1;
    EXPECT_TRUE(g.powmod(2, order) == 1) << "n=" << n;
    std::vector<u64> qs;
    prime_factors(order, qs);
    for (u64 q : qs) EXPECT_FALSE(g.powmod(2, order / q) == 1) << "n=" << n << " q=" << q;
  }
}

TEST(Mls, LongRunAt28StagesReturnsOnlyAfterTheFullPeriod) {
  auto p = tbt::own<tb::pn_destroy>(tb::pn_create(tb::mls_poly(28), 0x5A5A5A5, 28, tb::PN_FIBONACCI));
  ASSERT_TRUE(p);
  EXPECT_EQ((u64{1} << 28) - 1, period_of(p.get(), (u64{1} << 28) - 1));
}

TEST(Pn, SeedsAndRegistersOutsideTheWidthAreRefused) {
  EXPECT_EQ(nullptr, tb::pn_create(0x41, 0x80, 7, 0));  // no bit inside 7 stages
  EXPECT_EQ(nullptr, tb::pn_create(0x41, 1, 0, 0));
  EXPECT_EQ(nullptr, tb::pn_create(0x41, 1, 65, 0));
  auto p = tbt::own<tb::pn_destroy>(tb::pn_create(0x41, 0x81, 7, 0));
  ASSERT_TRUE(p);
  EXPECT_EQ(u64{1}, p->reg);  // masked
  std::vector<unsigned char> b(tb::pn_state_bytes(p.get()));
  ASSERT_EQ(0, tb::pn_get_state(p.get(), b.data(), b.size()));
  b[16 + 0] = 0x80;  // bit 7: outside the register
  EXPECT_NE(0, tb::pn_set_state(p.get(), b.data(), b.size()));
  EXPECT_EQ(u64{1}, p->reg);
  tbt::expect_blob_fuzz_refused<tb::pn>(p.get(), {tb::pn_state_bytes, tb::pn_get_state, tb::pn_set_state});
}

TEST(Resamp, OnDemandInterpolatorMatchesTheBlockEngine) {
  std::vector<float> taps(4 * 5);
  for (std::size_t i = 0; i < taps.size(); ++i) taps[i] = 0.1f * static_cast<float>(i % 7) - 0.3f;
  auto a = tbt::own<tb::resamp_destroy>(tb::resamp_create(4, 5, taps.data(), 4.0));
  auto b = tbt::own<tb::resamp_destroy>(tb::resamp_create(4, 5, taps.data(), 4.0));
  std::vector<tb::cf32> x(37);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = {static_cast<float>(i) * 0.25f, 1.0f - static_cast<float>(i)};
  std::vector<tb::cf32> block(4 * x.size());
  const std::size_t nb = tb::resamp_execute(a.get(), x.data(), x.size(), block.data(), block.size());
  ASSERT_EQ(block.size(), nb);
  std::size_t fed = 0;
  for (std::size_t j = 0; j < nb; ++j) {
    bool want = false;
    const tb::cf32 y = tb::resamp_up_next(b.get(), &want);
    EXPECT_EQ(block[j], y) << j;
    if (want) tb::resamp_feed(b.get(), x[fed++]);
  }
  EXPECT_EQ(x.size(), fed);  // never one read ahead
}

TEST(Synth, StateBlobRefusesGarbageAndKeepsTheState) {
  auto s = tbt::own<tb::sig_synth_destroy>(
      tb::sig_synth_create(tb::SIG_SYNTH_QPSK, 1e6, 1e4, 10.0, tb::SIG_SNR_ESNO, 7, 8, 9, 0, 0, 0.0));
  ASSERT_TRUE(s);
  std::vector<float> taps(49, 0.1f);
  ASSERT_EQ(0, tb::sig_synth_set_rrc(s.get(), taps.data(), taps.size()));
  std::vector<tb::cf32> out(1000);
  tb::sig_synth_steps(s.get(), out.data(), out.size());
  // The sub-blobs follow the fixed part: polyphase, LO, AWGN, PN.
  const std::size_t poly = tb::kSynthBlobFixed, lo = poly + tb::resamp_state_bytes(s->poly);
  const std::size_t noise = lo + tb::kLoBlobBytes, pn = noise + tb::kAwgnBlobBytes;
  tbt::expect_blob_fuzz_refused<tb::sig_synth>(
      s.get(), {tb::sig_synth_state_bytes, tb::sig_synth_get_state, tb::sig_synth_set_state}, 3, 1500,
      {poly, lo, noise, pn});
}

}  // namespace
