#include "core/sig/hdlc.hpp"

#include <algorithm>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/status.hpp"
#include "core/sig/bitline.hpp"

namespace tb {

namespace {

constexpr char kRxMagic[4] = {'H', 'D', 'L', 'R'};
constexpr char kTxMagic[4] = {'H', 'D', 'L', 'T'};
constexpr std::uint16_t kVersion = 1;
// g3ruh, max_bytes, scr, level, ones, overflow, pos, good, bad, bit count
// (then the collected bits, packed)
constexpr std::size_t kRxFixed = kBlobHeader + 6 * 4 + 4 * 8;

struct crc_table {
  std::uint16_t t[256];
  crc_table() {
    for (unsigned i = 0; i < 256; ++i) {
      std::uint16_t c = static_cast<std::uint16_t>(i);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0x8408) : c >> 1;
      t[i] = c;
    }
  }
};
const crc_table kCrc;

// Bits kept at most since the last flag: the longest frame and a flag's first seven.
std::size_t rx_limit(const hdlc_rx* h) { return 8u * static_cast<std::size_t>(h->max_bytes) + 7; }

void put_u32(std::uint8_t* p, std::uint32_t v) { put_le<std::uint32_t>(p, v); }
void put_u64(std::uint8_t* p, std::uint64_t v) { put_le<std::uint64_t>(p, v); }

// A flag has ended: the bits before its own first seven, if they make whole
// bytes passing the FCS, become a record.  Returns the bytes written.
std::size_t close_frame(hdlc_rx* h, std::uint8_t* out) {
  const std::size_t nb = h->bits.size() >= 7 ? h->bits.size() - 7 : 0;
  std::size_t wrote = 0;
  if (!h->overflow && nb >= 24 && nb % 8 == 0) {
    const std::size_t n = nb / 8;
    h->frame.assign(n, 0);
    for (std::size_t i = 0; i < nb; ++i) h->frame[i >> 3] |= static_cast<std::uint8_t>(h->bits[i] << (i & 7));
    const std::uint16_t fcs = static_cast<std::uint16_t>(h->frame[n - 2] | (h->frame[n - 1] << 8));
    if (crc16_x25(h->frame.data(), n - 2) == fcs) {
      put_u32(out, static_cast<std::uint32_t>(n - 2));
      put_u64(out + 4, h->pos);
      std::copy(h->frame.begin(), h->frame.end() - 2, out + kHdlcRecordHeader);
      wrote = kHdlcRecordHeader + n - 2;
      ++h->good;
    } else {
      ++h->bad;
    }
  } else if (nb >= 24) {
    ++h->bad;
  }
  h->bits.clear();
  h->overflow = 0;
  return wrote;
}

}  // namespace

std::uint16_t crc16_x25(const std::uint8_t* p, std::size_t n) {
  std::uint16_t c = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) c = static_cast<std::uint16_t>((c >> 8) ^ kCrc.t[(c ^ p[i]) & 0xFF]);
  return static_cast<std::uint16_t>(c ^ 0xFFFF);
}

hdlc_rx* hdlc_rx_create(bool g3ruh, std::uint32_t max_bytes) {
  if (max_bytes < 3 || max_bytes > kHdlcMaxBytesLimit) return nullptr;
  try {
    auto* h = new hdlc_rx();
    h->g3ruh = g3ruh ? 1u : 0u;
    h->max_bytes = max_bytes;
    h->bits.reserve(8u * max_bytes + 8);
    h->frame.reserve(max_bytes + 1);
    return h;
  } catch (...) {
    return nullptr;
  }
}

void hdlc_rx_destroy(hdlc_rx* h) { delete h; }

void hdlc_rx_reset(hdlc_rx* h) {
  h->scr = h->level = h->ones = h->overflow = 0;
  h->pos = h->good = h->bad = 0;
  h->bits.clear();
}

std::size_t hdlc_rx_steps_max_out(const hdlc_rx* h, std::size_t n) {
  // Every record closes a frame of at least 24 collected bits plus a flag;
  // its bytes are at most the bits collected before it over 8.
  return (h->bits.size() + n) / 8 + kHdlcRecordHeader * (n / 32 + 1);
}

std::size_t hdlc_rx_steps(hdlc_rx* h, const std::uint8_t* x, std::size_t n, std::uint8_t* out, std::size_t cap) {
  const std::size_t limit = rx_limit(h);
  std::size_t w = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t b = x[i] & 1u;
    if (h->g3ruh) {
      const std::uint32_t r = b;
      b ^= g3ruh_taps(h->scr);
      h->scr = ((h->scr << 1) | r) & 0x1FFFFu;
    }
    const std::uint32_t bit = b == h->level ? 1u : 0u;  // NRZI: no change is a one
    h->level = b;
    ++h->pos;
    if (bit) {
      ++h->ones;
    } else {
      const std::uint32_t ones = h->ones;
      h->ones = 0;
      if (ones == 5) continue;  // a stuffed zero
      if (ones >= 6) {          // a flag (or an abort) ends here
        if (w + hdlc_rx_steps_max_out(h, 0) <= cap) w += close_frame(h, out + w);
        continue;
      }
    }
    if (h->bits.size() < limit) {
      h->bits.push_back(static_cast<std::uint8_t>(bit));
    } else {
      h->overflow = 1;  // longer than any frame kept: dropped at its flag
    }
  }
  return w;
}

// The blob has room for the longest frame's bits, packed (bit i of the
// collection in bit i % 8 of byte i / 8), so its size is the object's own
// whatever it holds.

std::size_t hdlc_rx_state_bytes(const hdlc_rx* h) { return kRxFixed + (rx_limit(h) + 7) / 8; }

int hdlc_rx_get_state(const hdlc_rx* h, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kRxMagic, kVersion, hdlc_rx_state_bytes(h));
  if (!w.ok()) return kStatusRefused;
  for (std::uint32_t v : {h->g3ruh, h->max_bytes, h->scr, h->level, h->ones, h->overflow}) w.put<std::uint32_t>(v);
  for (std::uint64_t v : {h->pos, h->good, h->bad, static_cast<std::uint64_t>(h->bits.size())})
    w.put<std::uint64_t>(v);
  unsigned char* p = w.pos();
  const std::size_t packed = (rx_limit(h) + 7) / 8;
  w.zeros(packed);
  if (!w.ok()) return kStatusRefused;
  for (std::size_t i = 0; i < h->bits.size(); ++i) p[i >> 3] |= static_cast<unsigned char>(h->bits[i] << (i & 7));
  return 0;
}

int hdlc_rx_set_state(hdlc_rx* h, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kRxMagic, kVersion, hdlc_rx_state_bytes(h));
  std::uint32_t u[6];
  for (auto& v : u) v = r.get<std::uint32_t>();
  std::uint64_t q[4];
  for (auto& v : q) v = r.get<std::uint64_t>();
  const std::size_t packed = (rx_limit(h) + 7) / 8;
  if (!r.ok() || r.left() != packed) return kStatusRefused;
  // Every field within what the object can reach: its own configuration, a
  // 17-bit register, a level, flags, at most the bits it keeps (and no bits
  // set past them), no more ones in a row than bits taken.
  if (u[0] != h->g3ruh || u[1] != h->max_bytes || u[2] > 0x1FFFFu || u[3] > 1 || u[5] > 1 || q[3] > rx_limit(h) ||
      u[4] > q[0] || q[3] > q[0])
    return kStatusRefused;
  const unsigned char* p = r.pos();
  for (std::size_t i = q[3]; i < 8 * packed; ++i)
    if ((p[i >> 3] >> (i & 7)) & 1u) return kStatusRefused;
  h->bits.resize(q[3]);  // within the capacity reserved at create
  for (std::size_t i = 0; i < q[3]; ++i) h->bits[i] = (p[i >> 3] >> (i & 7)) & 1u;
  h->scr = u[2];
  h->level = u[3];
  h->ones = u[4];
  h->overflow = u[5];
  h->pos = q[0];
  h->good = q[1];
  h->bad = q[2];
  return 0;
}

// ---------------------------------------------------------------------------
// Transmit

hdlc_tx* hdlc_tx_create(bool g3ruh) {
  auto* t = new (std::nothrow) hdlc_tx{};
  if (t) t->g3ruh = g3ruh ? 1u : 0u;
  return t;
}
void hdlc_tx_destroy(hdlc_tx* t) { delete t; }
void hdlc_tx_reset(hdlc_tx* t) { t->level = t->scr = 0; }

namespace {

// One data bit onto the line: NRZI (a zero toggles the level), then the scrambler.
inline void line_bit(hdlc_tx* t, std::uint32_t bit, std::uint8_t* out, std::size_t& k) {
  if (!bit) t->level ^= 1u;
  std::uint32_t b = t->level;
  if (t->g3ruh) {
    b ^= g3ruh_taps(t->scr);
    t->scr = ((t->scr << 1) | b) & 0x1FFFFu;
  }
  out[k++] = static_cast<std::uint8_t>(b);
}

void flag(hdlc_tx* t, std::uint8_t* out, std::size_t& k) {
  for (int i = 0; i < 8; ++i) line_bit(t, (0x7Eu >> i) & 1u, out, k);
}

}  // namespace

std::size_t hdlc_tx_frame_max_out(std::size_t n, std::uint32_t flags) {
  const std::size_t data = 8 * (n + 2);
  return 8 * (static_cast<std::size_t>(flags) + 1) + data + data / 5 + 1;
}

std::size_t hdlc_tx_frame(hdlc_tx* t, const std::uint8_t* data, std::size_t n, std::uint32_t flags,
                          std::uint8_t* out, std::size_t cap) {
  if (cap < hdlc_tx_frame_max_out(n, flags)) return 0;
  std::size_t k = 0;
  for (std::uint32_t f = 0; f < flags; ++f) flag(t, out, k);
  const std::uint16_t fcs = crc16_x25(data, n);
  std::uint32_t ones = 0;
  auto byte = [&](std::uint8_t v) {
    for (int i = 0; i < 8; ++i) {
      const std::uint32_t bit = (v >> i) & 1u;
      line_bit(t, bit, out, k);
      ones = bit ? ones + 1 : 0;
      if (ones == 5) {
        line_bit(t, 0, out, k);
        ones = 0;
      }
    }
  };
  for (std::size_t i = 0; i < n; ++i) byte(data[i]);
  byte(static_cast<std::uint8_t>(fcs & 0xFF));
  byte(static_cast<std::uint8_t>(fcs >> 8));
  flag(t, out, k);
  return k;
}

std::size_t hdlc_tx_idle(hdlc_tx* t, std::size_t n, std::uint8_t* out, std::size_t cap) {
  std::size_t k = 0;
  for (std::size_t f = 0; f < n && k + 8 <= cap; ++f) flag(t, out, k);
  return k;
}

std::size_t hdlc_tx_state_bytes(const hdlc_tx*) { return blob_image_bytes<hdlc_tx>(); }
int hdlc_tx_get_state(const hdlc_tx* t, unsigned char* buf, std::size_t len) {
  return blob_put_image(buf, len, kTxMagic, kVersion, *t);
}
int hdlc_tx_set_state(hdlc_tx* t, const unsigned char* buf, std::size_t len) {
  return blob_restore_image(t, buf, len, kTxMagic, kVersion, sizeof(hdlc_tx), [t](const hdlc_tx& p) {
    return p.g3ruh == t->g3ruh && p.level <= 1 && p.scr <= 0x1FFFFu && p.pad == 0;
  });
}

}  // namespace tb
