#include "core/sig/rs.hpp"

#include <cstring>
#include <mutex>

#include "platform/once.hpp"

namespace tb {

namespace {

constexpr unsigned kPoly = 0x187;
constexpr unsigned kFirstRoot = 112;
constexpr unsigned kRootStep = 11;

struct tables {
  std::uint8_t exp[510];   // alpha^i, doubled so sums of logs need no reduction
  std::uint8_t log[256];   // log[0] unused
  std::uint8_t gexp[255];  // gamma^i = alpha^(11 i)
  std::uint8_t gen[kRsParity + 1];  // generator, gen[0] the x^32 coefficient (1)
  std::uint8_t dual[256], conv[256];
};

tables g_tab;
std::once_flag g_once;

inline std::uint8_t mul(const tables& t, std::uint8_t a, std::uint8_t b) {
  return (a && b) ? t.exp[t.log[a] + t.log[b]] : 0;
}
inline std::uint8_t inv(const tables& t, std::uint8_t a) { return t.exp[255 - t.log[a]]; }

void build(tables& t) {
  unsigned v = 1;
  for (int i = 0; i < 255; ++i) {
    t.exp[i] = t.exp[i + 255] = static_cast<std::uint8_t>(v);
    t.log[v] = static_cast<std::uint8_t>(i);
    v <<= 1;
    if (v & 0x100) v ^= kPoly;
  }
  t.log[0] = 0;
  for (int i = 0; i < 255; ++i) t.gexp[i] = t.exp[(kRootStep * static_cast<unsigned>(i)) % 255];
  // g(x) = prod over j of (x - gamma^(112 + j)), highest degree first.
  std::uint8_t g[kRsParity + 1] = {1};
  for (unsigned j = 0; j < kRsParity; ++j) {
    const std::uint8_t r = t.gexp[(kFirstRoot + j) % 255];
    for (unsigned k = j + 1; k > 0; --k) g[k] = static_cast<std::uint8_t>(g[k] ^ mul(t, g[k - 1], r));
  }
  std::memcpy(t.gen, g, sizeof g);
  // The dual basis {l_k} of {1, beta, ..., beta^7}, beta = alpha^117: the
  // dual coordinates of z are the traces Tr(z beta^k), k = 0 the most
  // significant bit.
  std::uint8_t bp[8];
  bp[0] = 1;
  for (int k = 1; k < 8; ++k) bp[k] = mul(t, bp[k - 1], t.exp[117]);
  for (unsigned z = 0; z < 256; ++z) {
    unsigned d = 0;
    for (int k = 0; k < 8; ++k) {
      std::uint8_t x = mul(t, static_cast<std::uint8_t>(z), bp[k]), tr = x;
      for (int s = 0; s < 7; ++s) {
        x = mul(t, x, x);
        tr ^= x;
      }
      d = (d << 1) | (tr & 1u);
    }
    t.dual[z] = static_cast<std::uint8_t>(d);
    t.conv[d] = static_cast<std::uint8_t>(z);
  }
}

const tables& tab() {
  platform::run_once(g_once, [] { build(g_tab); });
  return g_tab;
}

}  // namespace

std::uint8_t rs_to_dual(std::uint8_t c) { return tab().dual[c]; }
std::uint8_t rs_from_dual(std::uint8_t d) { return tab().conv[d]; }

void rs_encode(const std::uint8_t* data, std::uint8_t* parity, int basis) {
  const tables& t = tab();
  std::uint8_t r[kRsParity] = {};
  for (std::size_t i = 0; i < kRsK; ++i) {
    const std::uint8_t d = basis == RS_DUAL ? t.conv[data[i]] : data[i];
    const std::uint8_t fb = static_cast<std::uint8_t>(d ^ r[0]);
    for (std::size_t k = 0; k + 1 < kRsParity; ++k) r[k] = static_cast<std::uint8_t>(r[k + 1] ^ mul(t, fb, t.gen[k + 1]));
    r[kRsParity - 1] = mul(t, fb, t.gen[kRsParity]);
  }
  for (std::size_t k = 0; k < kRsParity; ++k) parity[k] = basis == RS_DUAL ? t.dual[r[k]] : r[k];
}

int rs_decode(std::uint8_t* cw, int basis) {
  const tables& t = tab();
  std::uint8_t c[kRsN];
  for (std::size_t i = 0; i < kRsN; ++i) c[i] = basis == RS_DUAL ? t.conv[cw[i]] : cw[i];
  // Syndromes S_j = c(gamma^(112 + j)); symbol i has degree 254 - i.
  std::uint8_t s[kRsParity];
  bool clean = true;
  for (unsigned j = 0; j < kRsParity; ++j) {
    const std::uint8_t x = t.gexp[(kFirstRoot + j) % 255];
    std::uint8_t acc = 0;
    for (std::size_t i = 0; i < kRsN; ++i) acc = static_cast<std::uint8_t>(mul(t, acc, x) ^ c[i]);
    s[j] = acc;
    clean = clean && acc == 0;
  }
  if (clean) return 0;
  // Berlekamp-Massey: the error locator lambda(x), lowest degree first.
  std::uint8_t lambda[kRsParity + 1] = {1}, b[kRsParity + 1] = {1}, tmp[kRsParity + 1];
  unsigned l = 0, m = 1;
  std::uint8_t bd = 1;
  for (unsigned n = 0; n < kRsParity; ++n) {
    std::uint8_t d = s[n];
    for (unsigned i = 1; i <= l; ++i) d ^= mul(t, lambda[i], s[n - i]);
    if (d == 0) {
      ++m;
      continue;
    }
    const std::uint8_t coef = mul(t, d, inv(t, bd));
    std::memcpy(tmp, lambda, sizeof lambda);
    for (unsigned i = 0; i + m <= kRsParity; ++i) lambda[i + m] ^= mul(t, coef, b[i]);
    if (2 * l <= n) {
      l = n + 1 - l;
      std::memcpy(b, tmp, sizeof b);
      bd = d;
      m = 1;
    } else {
      ++m;
    }
  }
  if (l > kRsT) return -1;
  // Omega(x) = S(x) lambda(x) mod x^32.
  std::uint8_t omega[kRsParity] = {};
  for (unsigned i = 0; i < kRsParity; ++i)
    for (unsigned k = 0; k <= i && k <= l; ++k) omega[i] ^= mul(t, lambda[k], s[i - k]);
  // Chien search over the 255 positions, Forney for the values.
  unsigned found = 0;
  std::uint8_t pos[kRsT], val[kRsT];
  for (unsigned deg = 0; deg < kRsN; ++deg) {
    const std::uint8_t xinv = t.gexp[(255 - deg) % 255];  // X^-1 with X = gamma^deg
    std::uint8_t v = 0, p = 1;
    for (unsigned i = 0; i <= l; ++i) {
      v ^= mul(t, lambda[i], p);
      p = mul(t, p, xinv);
    }
    if (v != 0) continue;
    if (found == kRsT) return -1;
    // Omega(X^-1) / lambda'(X^-1), times X^(1 - 112).
    std::uint8_t num = 0, den = 0, q = 1;
    for (unsigned i = 0; i < kRsParity; ++i) {
      num ^= mul(t, omega[i], q);
      q = mul(t, q, xinv);
    }
    // lambda'(x) = sum over odd i of lambda_i x^(i-1).
    std::uint8_t qq = 1;
    for (unsigned i = 1; i <= l; i += 2) {
      den ^= mul(t, lambda[i], qq);
      qq = mul(t, qq, mul(t, xinv, xinv));
    }
    if (den == 0) return -1;
    const unsigned xpow = ((1u + 255u - kFirstRoot % 255u) * deg) % 255u;  // X^(1 - b)
    const std::uint8_t e = mul(t, mul(t, num, inv(t, den)), t.gexp[xpow]);
    pos[found] = static_cast<std::uint8_t>(kRsN - 1 - deg);
    val[found] = e;
    ++found;
  }
  if (found != l) return -1;
  std::uint8_t fixed[kRsN];
  std::memcpy(fixed, c, sizeof fixed);
  for (unsigned k = 0; k < found; ++k) fixed[pos[k]] ^= val[k];
  // The repaired word must be a codeword.
  for (unsigned j = 0; j < kRsParity; ++j) {
    const std::uint8_t x = t.gexp[(kFirstRoot + j) % 255];
    std::uint8_t acc = 0;
    for (std::size_t i = 0; i < kRsN; ++i) acc = static_cast<std::uint8_t>(mul(t, acc, x) ^ fixed[i]);
    if (acc != 0) return -1;
  }
  for (std::size_t i = 0; i < kRsN; ++i) cw[i] = basis == RS_DUAL ? t.dual[fixed[i]] : fixed[i];
  return static_cast<int>(found);
}

}  // namespace tb
