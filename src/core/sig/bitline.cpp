#include "core/sig/bitline.hpp"

#include <mutex>
#include <new>

#include "core/common/blob.hpp"
#include "platform/once.hpp"

namespace tb {

namespace {

constexpr char kLineMagic[4] = {'B', 'L', 'I', 'N'};
constexpr char kSyncMagic[4] = {'S', 'Y', 'N', 'C'};
constexpr std::uint16_t kVersion = 1;

inline std::uint64_t low_bits(std::uint32_t n) { return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1; }

constexpr std::uint32_t kGolayRows[12] = {0x8ED, 0x1DB, 0x3B5, 0x769, 0xED1, 0xDA3,
                                          0xB47, 0x68F, 0xD1D, 0xA3B, 0x477, 0xFFE};

std::uint32_t golay_parity(std::uint32_t data) {
  std::uint32_t p = 0;
  for (std::uint32_t row : kGolayRows) p = (p << 1) | static_cast<std::uint32_t>(__builtin_parity(row & data));
  return p;
}

// Syndrome -> the error pattern of weight <= 3 that gives it (the code is
// perfect: each such pattern has its own syndrome), or kNone.
constexpr std::uint32_t kNone = 0xFFFFFFFFu;
std::uint32_t g_golay[4096];
std::once_flag g_golay_once;

void build_golay() {
  for (std::uint32_t& e : g_golay) e = kNone;
  auto put = [](std::uint32_t e) {
    const std::uint32_t s = golay_parity(e & 0xFFFu) ^ (e >> 12);
    if (g_golay[s] == kNone) g_golay[s] = e;
  };
  put(0);
  for (int a = 0; a < 24; ++a) {
    put(1u << a);
    for (int b = a + 1; b < 24; ++b) {
      put((1u << a) | (1u << b));
      for (int c = b + 1; c < 24; ++c) put((1u << a) | (1u << b) | (1u << c));
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Line decoding

bit_line* bit_line_create(bool g3ruh, std::uint32_t diff) {
  if (diff > LINE_NRZI) return nullptr;
  bit_line* b = new (std::nothrow) bit_line{g3ruh ? 1u : 0u, diff, 0, 0};
  return b;
}

void bit_line_destroy(bit_line* b) { delete b; }
void bit_line_reset(bit_line* b) { b->scr = b->last = 0; }

void bit_line_steps(bit_line* b, const std::uint8_t* x, std::uint8_t* out, std::size_t n) {
  std::uint32_t scr = b->scr, last = b->last;
  const std::uint32_t g3ruh = b->g3ruh, diff = b->diff;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t v = x[i] & 1u;
    if (g3ruh) {
      const std::uint32_t r = v;
      v ^= g3ruh_taps(scr);
      scr = ((scr << 1) | r) & 0x1FFFFu;
    }
    const std::uint32_t change = v ^ last;
    last = v;
    out[i] = static_cast<std::uint8_t>(diff == LINE_NRZM ? change : diff == LINE_NRZI ? change ^ 1u : v);
  }
  b->scr = scr;
  b->last = last;
}

std::size_t bit_line_state_bytes(const bit_line*) { return blob_image_bytes<bit_line>(); }
int bit_line_get_state(const bit_line* b, unsigned char* buf, std::size_t len) {
  return blob_put_image(buf, len, kLineMagic, kVersion, *b);
}
int bit_line_set_state(bit_line* b, const unsigned char* buf, std::size_t len) {
  return blob_restore_image(b, buf, len, kLineMagic, kVersion, sizeof(bit_line), [b](const bit_line& p) {
    return p.g3ruh == b->g3ruh && p.diff == b->diff && p.scr <= 0x1FFFFu && p.last <= 1;
  });
}

// ---------------------------------------------------------------------------
// Sync search

sync_search* sync_search_create(std::uint64_t marker, std::uint32_t nbits, std::uint32_t max_errors, bool inverted) {
  if (nbits == 0 || nbits > kSyncMaxBits || (marker & ~low_bits(nbits)) != 0 || max_errors >= nbits) return nullptr;
  return new (std::nothrow) sync_search{marker, 0, 0, nbits, max_errors, inverted ? 1u : 0u, 0};
}

void sync_search_destroy(sync_search* s) { delete s; }
void sync_search_reset(sync_search* s) { s->reg = s->pos = 0; }

std::size_t sync_search_steps_max_out(const sync_search*, std::size_t n) { return n; }

std::size_t sync_search_steps(sync_search* s, const std::uint8_t* x, std::size_t n, std::uint64_t* out,
                              std::size_t cap) {
  const std::uint64_t mask = low_bits(s->nbits), marker = s->marker;
  const unsigned nbits = s->nbits, max_errors = s->max_errors;
  const bool inverted = s->inverted != 0;
  std::uint64_t reg = s->reg, pos = s->pos;
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t next = ((reg << 1) | (x[i] & 1u)) & mask;
    if (pos + 1 >= nbits) {
      const unsigned d = static_cast<unsigned>(__builtin_popcountll(next ^ marker));
      const bool plain = d <= max_errors, inv = !plain && inverted && nbits - d <= max_errors;
      if (plain || inv) {
        if (k == cap) break;  // no room: this bit waits (the binding always makes room)
        out[k++] = ((pos + 1 - nbits) << 8) | (inv ? 0x80u : 0u) | (plain ? d : nbits - d);
      }
    }
    reg = next;
    pos += 1;
  }
  s->reg = reg;
  s->pos = pos;
  return k;
}

std::size_t sync_search_state_bytes(const sync_search*) { return blob_image_bytes<sync_search>(); }
int sync_search_get_state(const sync_search* s, unsigned char* buf, std::size_t len) {
  return blob_put_image(buf, len, kSyncMagic, kVersion, *s);
}
int sync_search_set_state(sync_search* s, const unsigned char* buf, std::size_t len) {
  return blob_restore_image(s, buf, len, kSyncMagic, kVersion, sizeof(sync_search), [s](const sync_search& p) {
    return p.marker == s->marker && p.nbits == s->nbits && p.max_errors == s->max_errors &&
           p.inverted == s->inverted && p.pad == 0 && (p.reg & ~low_bits(p.nbits)) == 0;
  });
}

// ---------------------------------------------------------------------------
// Golay (24,12)

std::uint32_t golay24_encode(std::uint32_t data) {
  data &= 0xFFFu;
  return (golay_parity(data) << 12) | data;
}

std::int32_t golay24_decode(std::uint32_t word) {
  platform::run_once(g_golay_once, build_golay);
  word &= 0xFFFFFFu;
  const std::uint32_t e = g_golay[golay_parity(word & 0xFFFu) ^ (word >> 12)];
  return e == kNone ? -1 : static_cast<std::int32_t>((word ^ e) & 0xFFFu);
}

}  // namespace tb
