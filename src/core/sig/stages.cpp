#include "core/sig/stages.hpp"

#include <algorithm>
#include <vector>

#include "core/sig/rs.hpp"
#include "core/sig/shaping.hpp"

namespace tb {

namespace {

std::uint16_t read16(const std::uint8_t* b) {
  std::uint16_t v = 0;
  for (int i = 0; i < 16; ++i) v = static_cast<std::uint16_t>((v << 1) | (b[i] & 1u));
  return v;
}

inline unsigned parity(unsigned v) { return static_cast<unsigned>(__builtin_parity(v)); }

bool rs_depth_ok(std::uint32_t d) { return (d >= 1 && d <= 5) || d == 8; }

inline std::uint8_t octet(const std::uint8_t* b) {
  unsigned v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 1) | (b[i] & 1u);
  return static_cast<std::uint8_t>(v);
}
inline void put_octet(std::uint8_t* b, std::uint8_t v) {
  for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>((v >> (7 - i)) & 1u);
}

}  // namespace

int stage_crc16_apply(std::uint8_t* bits, std::size_t n) {
  if (n < 17) return -1;
  const std::uint16_t c = crc16_bits(bits, n - 16);
  for (int i = 0; i < 16; ++i) bits[n - 16 + i] = static_cast<std::uint8_t>((c >> (15 - i)) & 1u);
  return 0;
}

int stage_crc16_undo(const std::uint8_t* bits, std::size_t n, sig_stage_result* res) {
  if (n <= 16) return -1;
  *res = {1, crc16_bits(bits, n - 16) == read16(bits + n - 16) ? 1u : 0u, 0, 0, 1};
  return 0;
}

namespace {

int interleave(std::uint8_t* bits, std::size_t n, std::uint32_t rows, std::uint32_t unit, bool forward) {
  const std::size_t r = rows ? rows : 1, u = unit ? unit : 1;
  if (n == 0 || n % (r * u) != 0) return -1;
  const std::size_t cols = n / (r * u);
  std::vector<std::uint8_t> tmp;
  try {
    tmp.assign(bits, bits + n);
  } catch (...) {
    return -1;
  }
  // The unit at row i, column k (input unit i N + k) goes to unit k R + i.
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t k = 0; k < cols; ++k) {
      const std::size_t a = (i * cols + k) * u, b = (k * r + i) * u;
      for (std::size_t j = 0; j < u; ++j) {
        if (forward)
          bits[b + j] = tmp[a + j];
        else
          bits[a + j] = tmp[b + j];
      }
    }
  return 0;
}

}  // namespace

int stage_interleave_apply(std::uint8_t* bits, std::size_t n, std::uint32_t rows, std::uint32_t unit_bits) {
  return interleave(bits, n, rows, unit_bits, true);
}

int stage_interleave_undo(std::uint8_t* bits, std::size_t n, std::uint32_t rows, std::uint32_t unit_bits,
                          sig_stage_result* res) {
  if (interleave(bits, n, rows, unit_bits, false) != 0) return -1;
  *res = {1, 1, 0, 0, 1};
  return 0;
}

void stage_randomise(std::uint8_t* bits, std::size_t n, std::uint32_t depth) {
  const bool telemetry = depth == 2;
  const unsigned taps = telemetry ? 0x95u : 0x10004u, len = telemetry ? 8u : 17u;
  const unsigned mask = (1u << len) - 1u;
  unsigned b = telemetry ? 0xFFu : 0x38E3u;
  for (std::size_t i = 0; i < n; ++i) {
    b &= mask;
    bits[i] = static_cast<std::uint8_t>((bits[i] & 1u) ^ ((b >> (len - 1)) & 1u));
    b = (b << 1) | parity(b & taps);
  }
}

std::size_t stage_conv_encode(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap) {
  if (cap / 2 < n) return 0;
  unsigned reg = 0;
  for (std::size_t i = 0; i < n; ++i) {
    reg = ((in[i] & 1u) << 6) | reg;
    out[2 * i] = static_cast<std::uint8_t>(parity(reg & 0x79u));
    out[2 * i + 1] = static_cast<std::uint8_t>(parity(reg & 0x5Bu) ^ 1u);
    reg >>= 1;
  }
  return 2 * n;
}

namespace {

// The codeword geometry of an RS span: depth codewords of k data octets and
// 32 check octets.  Options (the stage's unit_bits): bit 0 the conventional
// basis, bit 1 shortened codewords (k < 223 data octets, the missing
// leading octets virtual zeros).  Without bit 1 the span must be exactly
// depth x 2040 bits.
bool rs_geometry(std::size_t n, std::uint32_t depth, std::uint32_t options, std::size_t* k, int* basis) {
  if (!rs_depth_ok(depth) || options > 3 || n % (8 * static_cast<std::size_t>(depth)) != 0) return false;
  const std::size_t octets = n / 8 / depth;
  if (octets <= kRsParity || octets > kRsN || (!(options & 2u) && octets != kRsN)) return false;
  *k = octets - kRsParity;
  *basis = (options & 1u) ? RS_CONVENTIONAL : RS_DUAL;
  return true;
}

}  // namespace

int stage_rs_apply(std::uint8_t* bits, std::size_t n, std::uint32_t depth, std::uint32_t options) {
  std::size_t k;
  int basis;
  if (!rs_geometry(n, depth, options, &k, &basis)) return -1;
  const std::size_t pad = kRsK - k;
  std::uint8_t data[kRsK] = {}, parity_octets[kRsParity];
  for (std::uint32_t j = 0; j < depth; ++j) {
    for (std::size_t i = 0; i < k; ++i) data[pad + i] = octet(bits + 8 * (j + i * depth));
    rs_encode(data, parity_octets, basis);
    for (std::size_t i = 0; i < kRsParity; ++i) put_octet(bits + 8 * (j + (k + i) * depth), parity_octets[i]);
  }
  return 0;
}

int stage_rs_undo(std::uint8_t* bits, std::size_t n, std::uint32_t depth, std::uint32_t options,
                  sig_stage_result* res) {
  std::size_t k;
  int basis;
  if (!rs_geometry(n, depth, options, &k, &basis)) return -1;
  const std::size_t pad = kRsK - k, len = k + kRsParity;
  sig_stage_result r{depth, depth, 0, 0, 1};
  std::uint8_t cw[kRsN];
  for (std::uint32_t j = 0; j < depth; ++j) {
    std::fill(cw, cw + pad, std::uint8_t{0});
    for (std::size_t i = 0; i < len; ++i) cw[pad + i] = octet(bits + 8 * (j + i * depth));
    const int fixed = rs_decode(cw, basis);
    // A repair that lands in the virtual octets is no repair of what was sent.
    bool virtual_hit = false;
    for (std::size_t i = 0; i < pad; ++i) virtual_hit = virtual_hit || cw[i] != 0;
    if (fixed < 0 || virtual_hit) {
      r.ok -= 1;
      continue;
    }
    if (fixed == 0) continue;
    r.corrected += 1;
    r.symbols += static_cast<std::uint32_t>(fixed);
    for (std::size_t i = 0; i < len; ++i) put_octet(bits + 8 * (j + i * depth), cw[pad + i]);
  }
  *res = r;
  return 0;
}

}  // namespace tb
