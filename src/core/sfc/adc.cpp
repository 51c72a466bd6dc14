#include "core/sfc/adc.hpp"

#include <cmath>
#include <limits>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/numeric.hpp"

namespace tb {
namespace {

constexpr char kMagic[4] = {'A', 'D', 'C', ' '};

template <bool kDither>
void run(adc* a, const float* __restrict x, std::int64_t* __restrict out, std::size_t n) {
  const double scale = a->scale;
  const std::int64_t cmax = a->clip_max, cmin = a->clip_min;
  const double dmax = static_cast<double>(cmax), dmin = static_cast<double>(cmin);
  std::uint32_t prng = a->prng, clip = 0;
  for (std::size_t i = 0; i < n; ++i) {
    double s = static_cast<double>(x[i]) * scale;
    if constexpr (kDither) {
      prng ^= prng << 13;
      prng ^= prng >> 17;
      prng ^= prng << 5;
      const std::uint32_t t = prng * 0x9E3779B1u;
      s += (static_cast<double>(static_cast<std::int32_t>(t)) + static_cast<double>(static_cast<std::int32_t>(prng))) *
           0x1p-32;
    }
    clip |= static_cast<std::uint32_t>(s < dmin) | static_cast<std::uint32_t>(s > dmax);
    std::int64_t code = round_sat64(s);
    code = code < cmax ? code : cmax;
    code = code > cmin ? code : cmin;
    out[i] = code;
  }
  a->prng = prng;
  a->clipped |= clip;
}

}  // namespace

adc* adc_create(std::uint64_t bits, float dbfs, std::int32_t dithering) {
  if (bits == 0 || bits > 64 || dithering < 0 || !all_finite(dbfs)) return nullptr;
  adc* a = new (std::nothrow) adc{};
  if (!a) return nullptr;
  a->bits = static_cast<std::uint32_t>(bits);
  a->dbfs = dbfs;
  a->dithering = dithering;
  a->scale = std::pow(10.0, static_cast<double>(dbfs) * -0.05) * std::ldexp(1.0, static_cast<int>(bits) - 1);
  if (bits == 64) {
    a->clip_max = std::numeric_limits<std::int64_t>::max();
    a->clip_min = std::numeric_limits<std::int64_t>::min();
  } else {
    a->clip_max = (std::int64_t{1} << (bits - 1)) - 1;
    a->clip_min = -(std::int64_t{1} << (bits - 1));
  }
  a->prng = kAdcSeed;
  return a;
}

void adc_destroy(adc* a) { delete a; }

void adc_reset(adc* a) {
  a->clipped = 0;
  a->prng = kAdcSeed;
}

void adc_steps(adc* a, const float* x, std::int64_t* out, std::size_t n) {
  if (a->dithering != 0)
    run<true>(a, x, out, n);
  else
    run<false>(a, x, out, n);
}

std::int64_t adc_step(adc* a, float x) {
  std::int64_t out;
  adc_steps(a, &x, &out, 1);
  return out;
}

std::size_t adc_state_bytes(const adc*) { return kAdcBlobBytes; }

int adc_get_state(const adc* a, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, 1, kAdcBlobBytes);
  w.put<double>(a->scale);
  w.put<std::int64_t>(a->clip_max);
  w.put<std::int64_t>(a->clip_min);
  w.put<std::uint32_t>(a->bits);
  w.put<float>(a->dbfs);
  w.put<std::int32_t>(a->dithering);
  w.put<std::uint32_t>(a->clipped);
  w.put<std::uint32_t>(a->prng);
  w.put<std::uint32_t>(0);
  return w.status();
}

int adc_set_state(adc* a, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, 1, kAdcBlobBytes);
  if (!r.ok()) return kStatusRefused;
  adc v{};
  v.scale = r.get<double>();
  v.clip_max = r.get<std::int64_t>();
  v.clip_min = r.get<std::int64_t>();
  v.bits = r.get<std::uint32_t>();
  v.dbfs = r.get<float>();
  v.dithering = r.get<std::int32_t>();
  v.clipped = r.get<std::uint32_t>();
  v.prng = r.get<std::uint32_t>();
  *a = v;
  return 0;
}

}  // namespace tb
