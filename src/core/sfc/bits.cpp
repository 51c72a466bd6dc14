#include "core/sfc/bits.hpp"

#include <algorithm>

namespace tb {
namespace {

bool order_ok(int bitorder) { return bitorder == kBitOrderBig || bitorder == kBitOrderLittle; }

// Writes the m low bits of g (m <= 8) into out[0..m) in the given order.
inline void put_group(std::uint8_t* out, unsigned g, std::size_t m, int bitorder) {
  for (std::size_t i = 0; i < m; ++i) {
    const unsigned bit = (g >> (m - 1 - i)) & 1u;  // i-th bit from the top of the group
    out[bitorder == kBitOrderBig ? i : m - 1 - i] = static_cast<std::uint8_t>(bit);
  }
}
// Reads m bits from in[0..m) in the given order into an m-bit value.
inline unsigned get_group(const std::uint8_t* in, std::size_t m, int bitorder) {
  unsigned g = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint8_t b = in[bitorder == kBitOrderBig ? i : m - 1 - i];
    g = (g << 1) | (b != 0 ? 1u : 0u);
  }
  return g;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// Both bit orders cut the field into 8-bit groups from its most significant
// end (the last group holds the n mod 8 low bits); they differ only inside a
// group.  For big order that is the same as writing the field MSB first.
std::size_t int_to_bin(std::uint64_t v, std::size_t n, std::uint8_t* out, std::size_t out_len, int bitorder) {
  if (n < 1 || n > 64 || !order_ok(bitorder) || out_len < n) return 0;
  for (std::size_t g = 0; g < n; g += 8) {
    const std::size_t m = std::min<std::size_t>(8, n - g);
    const unsigned group = static_cast<unsigned>((v >> (n - g - m)) & ((1u << m) - 1u));
    put_group(out + g, group, m, bitorder);
  }
  return n;
}

std::uint64_t bin_to_int(const std::uint8_t* bits, std::size_t n, int bitorder) {
  if (n < 1 || n > 64 || !order_ok(bitorder)) return 0;
  std::uint64_t v = 0;
  for (std::size_t g = 0; g < n; g += 8) {
    const std::size_t m = std::min<std::size_t>(8, n - g);
    v = (v << m) | get_group(bits + g, m, bitorder);
  }
  return v;
}

std::size_t hex_to_bin(const char* hex, std::size_t len, std::uint8_t* out, std::size_t out_len, int bitorder) {
  if (!order_ok(bitorder) || len == 0 || out_len / 4 < len) return 0;
  for (std::size_t i = 0; i < len; ++i)
    if (hex_value(hex[i]) < 0) return 0;
  std::size_t k = 0;
  for (std::size_t i = 0; i < len; i += 2, k += 8) {
    if (i + 1 < len)
      put_group(out + k, static_cast<unsigned>(hex_value(hex[i]) << 4 | hex_value(hex[i + 1])), 8, bitorder);
    else
      put_group(out + k, static_cast<unsigned>(hex_value(hex[i])), 4, bitorder);
  }
  return 4 * len;
}

std::size_t bin_to_hex(const std::uint8_t* bits, std::size_t n, char* out, std::size_t out_len, int bitorder) {
  static const char kDigits[] = "0123456789abcdef";
  if (!order_ok(bitorder) || n == 0 || n % 4 != 0 || out_len <= n / 4) return 0;
  std::size_t d = 0;
  for (std::size_t g = 0; g < n; g += 8) {
    const std::size_t m = std::min<std::size_t>(8, n - g);
    const unsigned v = get_group(bits + g, m, bitorder);
    if (m == 8) out[d++] = kDigits[v >> 4];
    out[d++] = kDigits[v & 15u];
  }
  out[d] = '\0';
  return d;
}

std::size_t bin_to_nrz(const std::uint8_t* __restrict bits, std::size_t n, float* __restrict out,
                       std::size_t out_len) {
  if (n == 0 || out_len < n) return 0;
  for (std::size_t i = 0; i < n; ++i) out[i] = bits[i] != 0 ? -1.0f : 1.0f;
  return n;
}

std::size_t nrz_to_bin(const float* __restrict nrz, std::size_t n, std::uint8_t* __restrict out,
                       std::size_t out_len) {
  if (n == 0 || out_len < n) return 0;
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(nrz[i] < 0.0f);
  return n;
}

}  // namespace tb
