#include <gtest/gtest.h>

#include "helpers.hpp"

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/common/blob.hpp"
#include "core/sfc/adc.hpp"
#include "core/sfc/bits.hpp"
#include "core/sfc/convert.hpp"

namespace {

// The vector body (8 samples) and the scalar tail must agree sample by sample:
// convert every prefix length of a block one sample at a time and whole.
TEST(SfcConvert, VectorBodyMatchesScalarTail) {
  std::mt19937 g(3);
  std::uniform_real_distribution<float> d(-1.3f, 1.3f);
  std::vector<float> x(203);
  for (auto& v : x) v = d(g);
  x[5] = NAN;
  x[9] = INFINITY;
  x[17] = -0.0f;
  x[40] = 0.5f / 32768.0f * 3.0f;  // an exact half code
  tb::sfc_f2i* whole = tb::sfc_f2i_create(32768.0f);
  tb::sfc_f2i* single = tb::sfc_f2i_create(32768.0f);
  for (std::size_t off = 0; off < 9; ++off) {
    std::vector<std::int16_t> a(x.size() - off), b(x.size() - off);
    tb::sfc_f2i_steps<tb::FmtI16>(whole, x.data() + off, a.data(), a.size());
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = tb::sfc_f2i_step<tb::FmtI16>(single, x[off + i]);
    ASSERT_EQ(a, b) << "offset " << off;
  }
  EXPECT_EQ(whole->clipped, single->clipped);
  tb::sfc_f2i_destroy(whole);
  tb::sfc_f2i_destroy(single);
}

TEST(SfcAdc, GarbageBlobsAreRefusedWithoutChange) {
  auto owner = tbt::own<tb::adc_destroy>(tb::adc_create(12, -3.0f, 1));
  tb::adc* a = owner.get();
  ASSERT_NE(nullptr, a);
  const float x[3] = {0.1f, 2.0f, -0.3f};
  std::int64_t out[3];
  tb::adc_steps(a, x, out, 3);
  const tb::adc before = *a;
  tbt::expect_blob_fuzz_refused(a, {tb::adc_state_bytes, tb::adc_get_state, tb::adc_set_state}, 11, 3000);
  std::mt19937 g(11);
  ASSERT_EQ(0, std::memcmp(&before, a, sizeof before));
  // Any payload with a good header is accepted and must not break the model.
  unsigned char blob[64];
  ASSERT_EQ(0, tb::adc_get_state(a, blob, sizeof blob));
  for (int i = 16; i < 64; ++i) blob[i] = static_cast<unsigned char>(g());
  ASSERT_EQ(0, tb::adc_set_state(a, blob, sizeof blob));
  tb::adc_steps(a, x, out, 3);
}

TEST(SfcBits, ExtremeLengthsNeverWritePastTheirBounds) {
  std::vector<std::uint8_t> out(64, 7);
  EXPECT_EQ(0u, tb::int_to_bin(~0ull, 64, out.data(), 63, tb::kBitOrderLittle));
  EXPECT_EQ(64u, tb::int_to_bin(~0ull, 64, out.data(), 64, tb::kBitOrderLittle));
  const char text[] = "abcdef";
  EXPECT_EQ(0u, tb::hex_to_bin(text, 6, out.data(), 23, tb::kBitOrderBig));
  EXPECT_EQ(0u, tb::hex_to_bin(text, ~std::size_t{0} / 2, out.data(), 64, tb::kBitOrderBig));
  char hex[3];
  EXPECT_EQ(0u, tb::bin_to_hex(out.data(), 12, hex, 3, tb::kBitOrderBig));
}

}  // namespace
