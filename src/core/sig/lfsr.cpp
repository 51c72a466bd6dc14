#include "core/sig/lfsr.hpp"

#include <new>

#include "core/common/blob.hpp"

namespace tb {

namespace {

constexpr char kPnMagic[4] = {'P', 'N', '_', '_'};
constexpr char kGoldMagic[4] = {'G', 'O', 'L', 'D'};

constexpr std::uint64_t kMls[63] = {
    0x3, 0x5, 0x9, 0x12, 0x21, 0x41, 0x8E, 0x108, 0x204, 0x402, 0x829, 0x100D, 0x2015, 0x4001, 0x8016,
    0x10004, 0x20013, 0x40013, 0x80004, 0x100002, 0x200001, 0x400010, 0x80000D, 0x1000004, 0x2000023,
    0x4000013, 0x8000004, 0x10000002, 0x20000029, 0x40000004, 0x80000057, 0x100000029, 0x200000073,
    0x400000002, 0x80000003B, 0x100000001F, 0x2000000031, 0x4000000008, 0x800000001C, 0x10000000004,
    0x2000000001F, 0x4000000002C, 0x80000000032, 0x10000000000D, 0x200000000097, 0x400000000010,
    0x80000000005B, 0x1000000000038, 0x200000000000E, 0x4000000000025, 0x8000000000004, 0x10000000000023,
    0x2000000000003E, 0x40000000000023, 0x8000000000004A, 0x100000000000016, 0x200000000000031,
    0x40000000000003D, 0x800000000000001, 0x1000000000000013, 0x2000000000000034, 0x4000000000000001,
    0x800000000000000D,
};

inline std::uint64_t mask_of(std::uint32_t length) {
  return length >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
}

}  // namespace

std::uint64_t mls_poly(std::uint32_t n) { return n >= 2 && n <= 64 ? kMls[n - 2] : 0; }

bool pn_init(pn* p, std::uint64_t poly, std::uint64_t seed, std::uint32_t length, int lfsr) {
  if (length == 0 || length > 64) return false;
  const std::uint64_t mask = mask_of(length);
  if ((seed & mask) == 0) return false;
  p->mask = mask;
  p->poly = poly & mask;
  p->seed = seed & mask;
  p->reg = p->seed;
  p->fib_taps = ((p->poly << 1) | 1u) & mask;
  p->top = length - 1;
  p->lfsr = lfsr == PN_FIBONACCI ? PN_FIBONACCI : PN_GALOIS;
  return true;
}

pn* pn_create(std::uint64_t poly, std::uint64_t seed, std::uint32_t length, int lfsr) {
  pn tmp{};
  if (!pn_init(&tmp, poly, seed, length, lfsr)) return nullptr;
  pn* p = new (std::nothrow) pn(tmp);
  return p;
}

void pn_destroy(pn* p) { delete p; }
void pn_reset(pn* p) { p->reg = p->seed; }

std::size_t pn_generate(pn* p, std::size_t count, std::uint8_t* out, std::size_t cap) {
  const std::size_t n = count < cap ? count : cap;
  for (std::size_t i = 0; i < n; ++i) out[i] = pn_step(p);
  return n;
}

std::size_t pn_state_bytes(const pn*) { return kPnBlobBytes; }

int pn_get_state(const pn* p, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kPnMagic, 1, kPnBlobBytes);
  w.put<std::uint64_t>(p->reg);
  return w.status();
}

int pn_check_state(const pn* p, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kPnMagic, 1, kPnBlobBytes);
  const std::uint64_t reg = r.get<std::uint64_t>();
  return r.ok() && (reg & ~p->mask) == 0 ? 0 : kStatusRefused;
}

int pn_set_state(pn* p, const unsigned char* buf, std::size_t len) {
  if (pn_check_state(p, buf, len) != 0) return kStatusRefused;
  p->reg = get_le<std::uint64_t>(buf + kBlobHeader);
  return 0;
}

// ---------------------------------------------------------------------------
// Gold

gold* gold_create(std::uint64_t taps_a, std::uint64_t seed_a, std::uint64_t taps_b, std::uint64_t seed_b,
                  std::uint32_t length) {
  if (length == 0 || length > 64) return nullptr;
  const std::uint64_t mask = mask_of(length);
  if ((seed_a & mask) == 0 || (seed_b & mask) == 0) return nullptr;
  gold* g = new (std::nothrow) gold{};
  if (!g) return nullptr;
  g->mask = mask;
  g->taps_a = taps_a & mask;
  g->taps_b = taps_b & mask;
  g->seed_a = g->reg_a = seed_a & mask;
  g->seed_b = g->reg_b = seed_b & mask;
  g->length = length;
  return g;
}

void gold_destroy(gold* g) { delete g; }

void gold_reset(gold* g) {
  g->reg_a = g->seed_a;
  g->reg_b = g->seed_b;
}

std::size_t gold_generate(gold* g, std::size_t count, std::uint8_t* out, std::size_t cap) {
  const std::size_t n = count < cap ? count : cap;
  const std::uint32_t top = g->length - 1;
  std::uint64_t a = g->reg_a, b = g->reg_b;
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::uint8_t>(((a ^ b) >> top) & 1u);
    const std::uint64_t fa = static_cast<std::uint64_t>(__builtin_parityll(a & g->taps_a));
    const std::uint64_t fb = static_cast<std::uint64_t>(__builtin_parityll(b & g->taps_b));
    a = ((a << 1) | fa) & g->mask;
    b = ((b << 1) | fb) & g->mask;
  }
  g->reg_a = a;
  g->reg_b = b;
  return n;
}

std::size_t gold_state_bytes(const gold*) { return kGoldBlobBytes; }

int gold_get_state(const gold* g, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kGoldMagic, 1, kGoldBlobBytes);
  w.put<std::uint64_t>(g->reg_a);
  w.put<std::uint64_t>(g->reg_b);
  return w.status();
}

int gold_set_state(gold* g, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kGoldMagic, 1, kGoldBlobBytes);
  const std::uint64_t a = r.get<std::uint64_t>(), b = r.get<std::uint64_t>();
  if (!r.ok() || (a & ~g->mask) != 0 || (b & ~g->mask) != 0) return kStatusRefused;
  g->reg_a = a;
  g->reg_b = b;
  return 0;
}

}  // namespace tb
