// Oscillator mixing rate (the core has no Python face of its own).
#include <chrono>
#include <cstdio>
#include <vector>

#include "core/lox/lo.hpp"

int main() {
  const std::size_t n = 1 << 20;
  std::vector<tb::cf32> x(n, tb::cf32{0.5f, -0.25f}), y(n), scratch(n);
  tb::lo* o = tb::lo_create(0.0123);
  auto rate = [&](auto&& fn) {
    double best = 1e30;
    for (int r = 0; r < 7; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      for (int k = 0; k < 10; ++k) fn();
      const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 10;
      best = dt < best ? dt : best;
    }
    return n / best / 1e6;
  };
  const double block = rate([&] { tb::lo_mix(o, x.data(), y.data(), n, scratch.data()); });
  const double ctrl = rate([&] { tb::lo_mix_ctrl(o, x.data(), y.data(), n, 1e-4); });
  const double gen = rate([&] { tb::lo_generate(o, n, scratch.data(), n); });
  std::printf("\nlocal oscillator (C++ core, 1M samples)\n");
  std::printf("  lo_mix (block)        %8.1f Msamples/s\n", block);
  std::printf("  lo_mix_ctrl           %8.1f Msamples/s\n", ctrl);
  std::printf("  lo_generate           %8.1f Msamples/s\n", gen);
  tb::lo_destroy(o);
  return y[5].real() > 100.0f;  // keeps the work observable
}
