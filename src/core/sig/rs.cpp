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
  std::uint8_t dual[256], conv[256];
  // The encoder's shift register as four 64-bit words (register octet k in
  // bits 8 (k % 8) of word k / 8): feeding octet f xors in row f, the
  // products f g_(k+1).
  std::uint64_t genrow[256][4];
  // root[j][a] = a gamma^(112 + j): one Horner step of syndrome j.
  std::uint8_t root[kRsParity][256];
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
  for (unsigned f = 0; f < 256; ++f) {
    for (unsigned w = 0; w < 4; ++w) t.genrow[f][w] = 0;
    for (unsigned k = 0; k < kRsParity; ++k)
      t.genrow[f][k / 8] |= static_cast<std::uint64_t>(mul(t, static_cast<std::uint8_t>(f), g[k + 1])) << (8 * (k % 8));
  }
  for (unsigned j = 0; j < kRsParity; ++j)
    for (unsigned a = 0; a < 256; ++a)
      t.root[j][a] = mul(t, static_cast<std::uint8_t>(a), t.gexp[(kFirstRoot + j) % 255]);
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

namespace {

// The remainder of sym[0..n) x^32 divided by the generator (sym[0] the
// highest degree), in the encoder's register: octet k the coefficient of
// x^(31 - k).  Leading zero symbols leave it zero, so they are skipped.
void remainder(const tables& t, const std::uint8_t* sym, std::size_t n, std::uint64_t r[4]) {
  std::size_t i = 0;
  while (i < n && sym[i] == 0) ++i;
  std::uint64_t r0 = 0, r1 = 0, r2 = 0, r3 = 0;
  for (; i < n; ++i) {
    const std::uint64_t* row = t.genrow[static_cast<std::uint8_t>(sym[i] ^ static_cast<std::uint8_t>(r0))];
    r0 = ((r0 >> 8) | (r1 << 56)) ^ row[0];
    r1 = ((r1 >> 8) | (r2 << 56)) ^ row[1];
    r2 = ((r2 >> 8) | (r3 << 56)) ^ row[2];
    r3 = (r3 >> 8) ^ row[3];
  }
  r[0] = r0, r[1] = r1, r[2] = r2, r[3] = r3;
}

inline std::uint8_t octet_of(const std::uint64_t r[4], unsigned k) {
  return static_cast<std::uint8_t>(r[k / 8] >> (8 * (k % 8)));
}

}  // namespace

void rs_encode(const std::uint8_t* data, std::uint8_t* parity, int basis) {
  const tables& t = tab();
  std::uint64_t r[4];
  if (basis == RS_DUAL) {
    std::uint8_t d[kRsK];
    for (std::size_t i = 0; i < kRsK; ++i) d[i] = t.conv[data[i]];
    remainder(t, d, kRsK, r);
  } else {
    remainder(t, data, kRsK, r);
  }
  for (unsigned k = 0; k < kRsParity; ++k) parity[k] = basis == RS_DUAL ? t.dual[octet_of(r, k)] : octet_of(r, k);
}

int rs_decode(std::uint8_t* cw, int basis, const std::uint8_t* erasures, std::size_t n_erasures) {
  const tables& t = tab();
  if (n_erasures > kRsParity) return -1;
  for (std::size_t q = 0; q < n_erasures; ++q)
    if (erasures[q] >= kRsN) return -1;
  std::uint8_t c[kRsN];
  const std::uint8_t* word = cw;
  if (basis == RS_DUAL) {
    for (std::size_t i = 0; i < kRsN; ++i) c[i] = t.conv[cw[i]];
    word = c;
  }
  // The word divided by the generator: it is a codeword exactly when the
  // remainder (the re-encoded check octets against the received ones) is
  // zero, and the syndromes S_j = c(gamma^(112 + j)) are the remainder's
  // values there, since the generator vanishes at its roots.
  std::uint64_t r[4];
  remainder(t, word, kRsK, r);
  std::uint8_t rem[kRsParity];
  bool clean = true;
  for (unsigned k = 0; k < kRsParity; ++k) {
    rem[k] = static_cast<std::uint8_t>(octet_of(r, k) ^ word[kRsK + k]);
    clean = clean && rem[k] == 0;
  }
  if (clean) return 0;
  if (basis != RS_DUAL) std::memcpy(c, cw, kRsN);
  std::uint8_t s[kRsParity];
  for (unsigned j = 0; j < kRsParity; ++j) {
    const std::uint8_t* step = t.root[j];
    std::uint8_t acc = 0;
    for (unsigned k = 0; k < kRsParity; ++k) acc = static_cast<std::uint8_t>(step[acc] ^ rem[k]);
    s[j] = acc;
  }
  // The erasure locator: the product of (1 + X x) over the erased
  // positions, X = gamma^deg for the symbol of degree deg.
  std::uint8_t lambda[kRsParity + 1] = {1}, b[kRsParity + 1], tmp[kRsParity + 1];
  const unsigned f = static_cast<unsigned>(n_erasures);
  for (unsigned q = 0; q < f; ++q) {
    const std::uint8_t x = t.gexp[(kRsN - 1 - erasures[q]) % 255];
    for (unsigned i = q + 1; i > 0; --i) lambda[i] ^= mul(t, x, lambda[i - 1]);
  }
  std::memcpy(b, lambda, sizeof b);
  // Berlekamp-Massey from the erasure locator: the errata locator lambda(x),
  // lowest degree first, of degree l = errors + erasures.
  unsigned l = f, m = 1;
  std::uint8_t bd = 1;
  for (unsigned n = f; n < kRsParity; ++n) {
    std::uint8_t d = s[n];
    for (unsigned i = 1; i <= l && i <= n; ++i) d ^= mul(t, lambda[i], s[n - i]);
    if (d == 0) {
      ++m;
      continue;
    }
    const std::uint8_t coef = mul(t, d, inv(t, bd));
    std::memcpy(tmp, lambda, sizeof lambda);
    for (unsigned i = 0; i + m <= kRsParity; ++i) lambda[i + m] ^= mul(t, coef, b[i]);
    if (2 * l <= n + f) {
      l = n + 1 + f - l;
      std::memcpy(b, tmp, sizeof b);
      bd = d;
      m = 1;
    } else {
      ++m;
    }
  }
  if (2 * l > kRsParity + f) return -1;  // 2 errors + erasures > 32
  // Omega(x) = S(x) lambda(x) mod x^32.
  std::uint8_t omega[kRsParity] = {};
  for (unsigned i = 0; i < kRsParity; ++i)
    for (unsigned k = 0; k <= i && k <= l; ++k) omega[i] ^= mul(t, lambda[k], s[i - k]);
  // Chien search over the 255 positions, in logarithms: term i of
  // lambda(X^-1) at position deg is alpha^(log lambda_i - 11 i deg).  A
  // locator of degree l has at most l roots, so the search ends at the l-th.
  int lg[kRsParity + 1], dec[kRsParity + 1];
  unsigned terms = 0;
  for (unsigned i = 1; i <= l; ++i) {
    if (lambda[i] == 0) continue;
    lg[terms] = t.log[lambda[i]];
    dec[terms] = static_cast<int>((kRootStep * i) % 255);
    ++terms;
  }
  unsigned found = 0;
  std::uint8_t pos[kRsParity], val[kRsParity];
  unsigned degs[kRsParity];
  for (unsigned deg = 0; deg < kRsN && found < l; ++deg) {
    std::uint8_t v = lambda[0];
    for (unsigned q = 0; q < terms; ++q) {
      v ^= t.exp[lg[q]];
      lg[q] -= dec[q];  // on to the next position
      if (lg[q] < 0) lg[q] += 255;
    }
    if (v != 0) continue;
    const std::uint8_t xinv = t.gexp[(255 - deg) % 255];  // X^-1 with X = gamma^deg
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
    degs[found] = deg;
    ++found;
  }
  if (found != l) return -1;
  // The repaired word must be a codeword: the error pattern's syndromes
  // must be the received word's (the syndromes are linear).
  for (unsigned j = 0; j < kRsParity; ++j) {
    std::uint8_t acc = 0;
    for (unsigned k = 0; k < found; ++k) acc ^= mul(t, val[k], t.gexp[((kFirstRoot + j) * degs[k]) % 255]);
    if (acc != s[j]) return -1;
  }
  unsigned changed = 0;
  for (unsigned k = 0; k < found; ++k) {
    c[pos[k]] ^= val[k];
    changed += val[k] != 0;  // an erased symbol may have been right
  }
  for (std::size_t i = 0; i < kRsN; ++i) cw[i] = basis == RS_DUAL ? t.dual[c[i]] : c[i];
  return static_cast<int>(changed);
}

}  // namespace tb
