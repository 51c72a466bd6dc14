#include <gtest/gtest.h>

#include "helpers.hpp"

#include <cstring>
#include <random>
#include <vector>

#include "core/spectral/fft.hpp"
#include "core/spectral/psd.hpp"

namespace {

using tb::cf32;
using tb::cf64;

// Destinations shorter than the transform are reachable only from C++: the
// engine transforms into its own buffer and copies the first cap samples.
TEST(SpectralFft, ShortDestinationGetsThePrefix) {
  for (std::uint64_t n : {16u, 1000u}) {
    tb::fft* f = tb::fft_create(n, -1);
    ASSERT_NE(nullptr, f);
    std::vector<cf32> x(n), full(n), part(5);
    for (std::size_t i = 0; i < n; ++i) x[i] = cf32(static_cast<float>(i % 7), -static_cast<float>(i % 3));
    EXPECT_EQ(static_cast<std::int64_t>(n), tb::fft_execute_cf32(f, x.data(), n, full.data(), n));
    EXPECT_EQ(5, tb::fft_execute_cf32(f, x.data(), n, part.data(), 5));
    EXPECT_EQ(0, std::memcmp(full.data(), part.data(), 5 * sizeof(cf32)));
    std::vector<cf64> x64(n), full64(n), part64(3);
    for (std::size_t i = 0; i < n; ++i) x64[i] = cf64(x[i].real(), x[i].imag());
    tb::fft_execute_inplace_cf64(f, x64.data(), n, full64.data(), n);
    EXPECT_EQ(3, tb::fft_execute_inplace_cf64(f, x64.data(), n, part64.data(), 3));
    EXPECT_EQ(0, std::memcmp(full64.data(), part64.data(), 3 * sizeof(cf64)));
    tb::fft_destroy(f);
  }
  tb::fft2d* g = tb::fft2d_create(3, 32, 1);
  std::vector<cf64> grid(96, cf64(1.0, 0.0)), out(2);
  EXPECT_EQ(2, tb::fft2d_execute_cf64(g, grid.data(), grid.size(), out.data(), 2));
  EXPECT_DOUBLE_EQ(96.0, out[0].real());
  tb::fft2d_destroy(g);
}

TEST(SpectralFft, HugeSizesAreRefusedNotAttempted) {
  EXPECT_EQ(nullptr, tb::fft_create(0, -1));
  EXPECT_EQ(nullptr, tb::fft_create(~std::uint64_t{0}, -1));
  EXPECT_EQ(nullptr, tb::fft2d_create(std::uint64_t{1} << 40, std::uint64_t{1} << 40, -1));
}

TEST(SpectralPsd, GarbageBlobsLeaveTheTraceAlone) {
  tb::psd* p = tb::psd_create(16, 1.0, tb::kPsdHann, 0.0f, 1, 1.0, 0, tb::kPsdMean, 0.1);
  ASSERT_NE(nullptr, p);
  std::vector<cf32> x(64, cf32(0.5f, -0.25f));
  ASSERT_EQ(4, tb::psd_accumulate(p, x.data(), x.size()));
  const std::vector<double> trace = p->trace;
  tbt::expect_blob_fuzz_refused(p, {tb::psd_state_bytes, tb::psd_get_state, tb::psd_set_state}, 3, 500, {16});
  const std::size_t n = tb::psd_state_bytes(p);
  std::vector<unsigned char> good(n), buf(n);
  ASSERT_EQ(0, tb::psd_get_state(p, good.data(), n));
  std::mt19937 g(2);
  for (int i = 0; i < 2000; ++i) {
    buf = good;
    const std::size_t k = g() % 32;  // corrupt a header byte of the outer or inner blob
    buf[k] ^= static_cast<unsigned char>(1u << (g() % 8));
    const bool reserved = k == 7 || (k >= 12 && k < 16) || k == 23 || k >= 28;
    EXPECT_EQ(reserved ? 0 : -4, tb::psd_set_state(p, buf.data(), n)) << k;
    if (!reserved) {
      EXPECT_EQ(trace, p->trace);
      EXPECT_EQ(4u, p->count);
    } else {
      ASSERT_EQ(0, tb::psd_set_state(p, good.data(), n));
    }
    EXPECT_EQ(-4, tb::psd_set_state(p, good.data(), g() % n));  // short buffers
  }
  tb::psd_destroy(p);
}

}  // namespace
