// The Costas loop at one update a sample beside the bare chain of
// operations that runs from one sample's phase to the next: the table read,
// the de-rotation, the double-precision sum of squares and square root
// rounded to float, the division for the error, the nudge's product and
// conversion.  Nothing else is in the chain's loop, so its rate is what the
// dependency chain alone allows: the bound of any loop with these bits.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/lox/lo.hpp"
#include "core/track/costas.hpp"

namespace {

constexpr std::size_t kN = std::size_t{1} << 21;

template <class F>
double best_ns(F&& f) {
  double best = 1e30;
  for (int r = 0; r < 7; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = dt < best ? dt : best;
  }
  return best / kN * 1e9;
}

__attribute__((noinline)) std::uint32_t chain(const tb::cf32* x, std::size_t n, double k, std::uint32_t inc,
                                              float* sink) {
  const float* table = tb::lo_sine_table();
  std::uint32_t ph = 0;
  float acc = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    float s, c;
    tb::lo_sincos(table, ph, &s, &c);
    ph += inc;
    const tb::cf32 y = tb::lo_derotate(c, s, x[i]);
    const double yr = y.real(), yi = y.imag();
    const float m = static_cast<float>(__builtin_sqrt(yr * yr + yi * yi));
    const float e = y.imag() / m;
    const std::int64_t t = static_cast<std::int64_t>(static_cast<double>(e) * k);
    ph += static_cast<std::uint32_t>(t);
    acc += e;
  }
  *sink = acc;
  return ph;
}

}  // namespace

int main() {
  std::vector<tb::cf32> x(kN), y(kN);
  std::uint32_t s = 1;
  for (std::size_t i = 0; i < kN; ++i) {  // BPSK at 4 samples a symbol with a little noise
    s = s * 1103515245u + 12345u;
    const float b = ((i / 4) * 2654435761u >> 7 & 1) ? 1.0f : -1.0f;
    x[i] = {b + 0.07f * ((s >> 8 & 1023) / 512.0f - 1.0f), 0.07f * ((s >> 18 & 1023) / 512.0f - 1.0f)};
  }
  tb::costas* c = tb::costas_create(0.05, 0.707, 0.0, 1, 0.0);
  float sink = 0.0f;
  volatile std::uint32_t keep = 0;
  const double loop = best_ns([&] { tb::costas_steps(c, x.data(), kN, y.data(), kN); });
  const double bare = best_ns([&] { keep = chain(x.data(), kN, 8.5e7, 0, &sink); });
  std::printf("\nCostas loop at one update a sample (C++ core, 2M samples)\n");
  std::printf("  costas_steps             %6.2f ns a sample  %8.1f Msamples/s\n", loop, 1e3 / loop);
  std::printf("  its phase-to-phase chain %6.2f ns a sample  %8.1f Msamples/s (the bound)\n", bare, 1e3 / bare);
  tb::costas_destroy(c);
  return (keep == 1u && sink > 1e30f) ? 1 : 0;  // keeps the work observable
}
