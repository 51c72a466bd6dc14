#include "core/lox/lo.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <new>

#include "core/common/blob.hpp"

namespace tb {
namespace {

constexpr char kMagic[4] = {'L', 'O', '_', '_'};

struct SineTable {
  std::array<float, kSineTableSize> v;
  SineTable() {
    // The step is the float32 nearest 2*pi/65536; the argument is formed in
    // float32, so entries at multiples of pi are not exactly zero.
    const float k = std::bit_cast<float>(0x38C90FDBu);
    for (std::size_t i = 0; i < kSineTableSize; ++i) v[i] = std::sin(static_cast<float>(i) * k);
  }
};

}  // namespace

const float* lo_sine_table() {
  static const SineTable table;  // built once, on first use, never modified
  return table.v.data();
}

void lo_init(lo* o, double norm_freq) {
  lo_sine_table();
  o->phase = 0;
  o->phase_inc = freq_to_inc(norm_freq);
  o->norm_freq = norm_freq;
}

lo* lo_create(double norm_freq) {
  lo* o = new (std::nothrow) lo{};
  if (o) lo_init(o, norm_freq);
  return o;
}

void lo_destroy(lo* o) { delete o; }

double lo_get_freq(const lo* o) { return o->norm_freq; }
void lo_reset(lo* o) { o->phase = 0; }

std::size_t lo_generate(lo* o, std::size_t n, cf32* out, std::size_t cap) {
  const float* t = lo_sine_table();
  const std::size_t m = n < cap ? n : cap;
  std::uint32_t ph = o->phase;
  const std::uint32_t inc = o->phase_inc;
  for (std::size_t i = 0; i < m; ++i) {
    float s, c;
    lo_sincos(t, ph, &s, &c);
    out[i] = {c, s};
    ph += inc;
  }
  o->phase = ph;
  return m;
}

void lo_mix(lo* o, const cf32* x, cf32* y, std::size_t n, cf32* scratch) {
  lo_generate(o, n, scratch, n);
  for (std::size_t i = 0; i < n; ++i) y[i] = lo_rotate(scratch[i].real(), scratch[i].imag(), x[i]);
}

void lo_mix_ctrl(lo* o, const cf32* x, cf32* y, std::size_t n, double ctrl_freq) {
  const float* t = lo_sine_table();
  const std::uint32_t step = o->phase_inc + freq_to_inc(ctrl_freq);  // wraps mod 2^32
  std::uint32_t ph = o->phase;
  for (std::size_t i = 0; i < n; ++i) {
    float s, c;
    lo_sincos(t, ph, &s, &c);
    y[i] = lo_rotate(c, s, x[i]);
    ph += step;
  }
  o->phase = ph;
}

std::size_t lo_state_bytes(const lo*) { return kLoBlobBytes; }

int lo_get_state(const lo* o, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, 1, kLoBlobBytes);
  w.put<std::uint32_t>(o->phase);
  return w.status();
}

int lo_set_state(lo* o, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, 1, kLoBlobBytes);
  if (!r.ok()) return kStatusRefused;
  o->phase = r.get<std::uint32_t>();
  return 0;
}

}  // namespace tb
