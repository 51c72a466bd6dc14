// Frame stage kernels: randomiser sequences, the dual basis, the
// Reed-Solomon code against an independent field model, the convolutional
// encoder's generators, the interleaver and the CRC stage.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "core/sig/rs.hpp"
#include "core/sig/stages.hpp"
#include "helpers.hpp"

namespace {

std::vector<std::uint8_t> octets(const std::vector<std::uint8_t>& bits, std::size_t n) {
  std::vector<std::uint8_t> o(n);
  for (std::size_t i = 0; i < n; ++i)
    for (int b = 0; b < 8; ++b) o[i] = static_cast<std::uint8_t>((o[i] << 1) | bits[8 * i + b]);
  return o;
}

TEST(Stages, RandomiserSequences) {
  const std::uint8_t telemetry[] = {0xFF, 0x48, 0x0E, 0xC0, 0x9A, 0x0D, 0x70, 0xBC};
  const std::uint8_t other[] = {0x1C, 0x71, 0xB9, 0x1B, 0xA9, 0xBA, 0x84, 0x57};
  for (std::uint32_t depth : {2u, 0u, 1u}) {
    std::vector<std::uint8_t> bits(64, 0);
    tb::stage_randomise(bits.data(), bits.size(), depth);
    const auto o = octets(bits, 8);
    EXPECT_EQ(0, std::memcmp(o.data(), depth == 2 ? telemetry : other, 8)) << depth;
    tb::stage_randomise(bits.data(), bits.size(), depth);  // its own inverse
    EXPECT_TRUE(std::all_of(bits.begin(), bits.end(), [](std::uint8_t b) { return b == 0; }));
  }
}

// GF(2^8) by shift-and-add, without tables: the model the code is checked
// against.
std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
  unsigned r = 0, x = a;
  for (int i = 0; i < 8; ++i) {
    if (b >> i & 1u) r ^= x;
    x <<= 1;
    if (x & 0x100) x ^= 0x187;
  }
  return static_cast<std::uint8_t>(r);
}
std::uint8_t gpow(std::uint8_t a, unsigned e) {
  std::uint8_t r = 1;
  while (e--) r = gmul(r, a);
  return r;
}

TEST(ReedSolomon, DualBasisIsTheStandardsTable) {
  // The dual coordinates of alpha^7 .. alpha^0.
  const std::uint8_t table[8] = {0x8D, 0xEF, 0xEC, 0x86, 0xFA, 0x99, 0xAF, 0x7B};
  for (int b = 0; b < 8; ++b) EXPECT_EQ(table[b], tb::rs_to_dual(static_cast<std::uint8_t>(1u << (7 - b))));
  std::set<int> seen;
  for (int z = 0; z < 256; ++z) {
    const std::uint8_t d = tb::rs_to_dual(static_cast<std::uint8_t>(z));
    seen.insert(d);
    EXPECT_EQ(z, tb::rs_from_dual(d));
    // linear over GF(2)
    EXPECT_EQ(d, tb::rs_to_dual(static_cast<std::uint8_t>(z & 0x0F)) ^ tb::rs_to_dual(static_cast<std::uint8_t>(z & 0xF0)));
  }
  EXPECT_EQ(256u, seen.size());
}

TEST(ReedSolomon, CodewordsHaveTheGeneratorRoots) {
  std::mt19937 g(3);
  const std::uint8_t gamma = gpow(2, 11);
  for (int basis : {tb::RS_CONVENTIONAL, tb::RS_DUAL}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::uint8_t cw[255];
      for (int i = 0; i < 223; ++i) cw[i] = static_cast<std::uint8_t>(g());
      tb::rs_encode(cw, cw + 223, basis);
      for (unsigned j = 112; j < 144; ++j) {
        const std::uint8_t x = gpow(gamma, j);
        std::uint8_t acc = 0;
        for (int i = 0; i < 255; ++i)
          acc = gmul(acc, x) ^ (basis == tb::RS_DUAL ? tb::rs_from_dual(cw[i]) : cw[i]);
        ASSERT_EQ(0, acc) << "root " << j;
      }
      EXPECT_EQ(0, tb::rs_decode(cw, basis));
    }
  }
}

TEST(ReedSolomon, CorrectsUpToSixteenAndRefusesMore) {
  std::mt19937 g(11);
  int miscorrected = 0, refused = 0;
  for (int trial = 0; trial < 1200; ++trial) {
    const int basis = trial % 2 ? tb::RS_DUAL : tb::RS_CONVENTIONAL;
    std::uint8_t cw[255], rx[255];
    for (int i = 0; i < 223; ++i) cw[i] = static_cast<std::uint8_t>(g());
    tb::rs_encode(cw, cw + 223, basis);
    std::memcpy(rx, cw, sizeof rx);
    const int errors = trial < 800 ? 1 + trial % 16 : 17 + trial % 12;
    std::vector<int> pos(255);
    for (int i = 0; i < 255; ++i) pos[i] = i;
    std::shuffle(pos.begin(), pos.end(), g);
    for (int e = 0; e < errors; ++e) rx[pos[e]] ^= static_cast<std::uint8_t>(1 + g() % 255);
    const int got = tb::rs_decode(rx, basis);
    if (errors <= 16) {
      ASSERT_EQ(errors, got);
      ASSERT_EQ(0, std::memcmp(rx, cw, sizeof cw));
    } else if (got < 0) {
      ++refused;
    } else {
      ++miscorrected;  // decoded to another codeword: possible, rare
      EXPECT_NE(0, std::memcmp(rx, cw, sizeof cw));
    }
  }
  EXPECT_EQ(400, refused + miscorrected);
  EXPECT_LE(miscorrected, 2);
}

TEST(ReedSolomon, ErasuresWidenTheReach) {
  // e errors and f erasures (some erased symbols right) with 2e + f <= 32
  // give the codeword back; bad erasure lists are refused untouched.
  std::mt19937 g(13);
  for (int trial = 0; trial < 600; ++trial) {
    const int basis = trial % 2 ? tb::RS_DUAL : tb::RS_CONVENTIONAL;
    std::uint8_t cw[255], rx[255], er[32];
    for (int i = 0; i < 223; ++i) cw[i] = static_cast<std::uint8_t>(g());
    tb::rs_encode(cw, cw + 223, basis);
    std::memcpy(rx, cw, sizeof rx);
    const int f = static_cast<int>(g() % 33), e = static_cast<int>(g() % ((32 - f) / 2 + 1));
    std::vector<int> pos(255);
    for (int i = 0; i < 255; ++i) pos[i] = i;
    std::shuffle(pos.begin(), pos.end(), g);
    int wrong = 0;
    for (int q = 0; q < f + e; ++q) {
      if (q < f) er[q] = static_cast<std::uint8_t>(pos[q]);
      if (q < f && g() % 2) continue;  // an erased symbol that came through right
      rx[pos[q]] ^= static_cast<std::uint8_t>(1 + g() % 255);
      ++wrong;
    }
    ASSERT_EQ(wrong, tb::rs_decode(rx, basis, er, static_cast<std::size_t>(f))) << f << " " << e;
    ASSERT_EQ(0, std::memcmp(rx, cw, sizeof cw));
  }
  std::uint8_t cw[255] = {}, rx[255];
  tb::rs_encode(cw, cw + 223, tb::RS_CONVENTIONAL);
  cw[7] ^= 1;
  std::memcpy(rx, cw, sizeof rx);
  const std::uint8_t too_far[1] = {255}, twice[2] = {7, 7};
  std::uint8_t many[33];
  for (int i = 0; i < 33; ++i) many[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(-1, tb::rs_decode(rx, tb::RS_CONVENTIONAL, too_far, 1));
  EXPECT_EQ(-1, tb::rs_decode(rx, tb::RS_CONVENTIONAL, twice, 2));
  EXPECT_EQ(-1, tb::rs_decode(rx, tb::RS_CONVENTIONAL, many, 33));
  EXPECT_EQ(0, std::memcmp(rx, cw, sizeof cw));
}

TEST(Stages, InterleavedReedSolomonSpreadsABurst) {
  std::mt19937 g(5);
  for (std::uint32_t depth : {1u, 2u, 3u, 4u, 5u, 8u}) {
    const std::size_t n = depth * 2040;
    std::vector<std::uint8_t> bits(n);
    for (std::size_t i = 0; i < depth * 223 * 8; ++i) bits[i] = g() & 1u;
    ASSERT_EQ(0, tb::stage_rs_apply(bits.data(), n, depth, 0));
    std::vector<std::uint8_t> rx = bits;
    // A burst of 16 x depth octets: 16 symbol errors in every codeword.
    const std::size_t start = 8 * 37;
    for (std::size_t i = 0; i < 16 * depth * 8; ++i) rx[start + i] ^= 1u;
    tb::sig_stage_result r{};
    ASSERT_EQ(0, tb::stage_rs_undo(rx.data(), n, depth, 0, &r));
    EXPECT_EQ(depth, r.units);
    EXPECT_EQ(depth, r.ok);
    EXPECT_EQ(depth, r.corrected);
    EXPECT_EQ(16 * depth, r.symbols);
    EXPECT_EQ(bits, rx);
    // One more octet in error is too much for one codeword.
    rx[start + 16 * depth * 8] ^= 1u;
    for (std::size_t i = 0; i < 16 * depth * 8; ++i) rx[start + i] ^= 1u;
    ASSERT_EQ(0, tb::stage_rs_undo(rx.data(), n, depth, 0, &r));
    EXPECT_EQ(depth - 1, r.ok);
  }
  std::vector<std::uint8_t> bits(6 * 2040);
  EXPECT_EQ(-1, tb::stage_rs_apply(bits.data(), bits.size(), 6, 0));
  EXPECT_EQ(-1, tb::stage_rs_apply(bits.data(), 2039, 1, 0));
  tb::sig_stage_result r{};
  EXPECT_EQ(-1, tb::stage_rs_undo(bits.data(), 7 * 2040, 7, 0, &r));
}

TEST(Stages, ConvolutionalGenerators) {
  // An impulse reads out both generators, octal 171 and 133 (inverted).
  std::uint8_t in[7] = {1, 0, 0, 0, 0, 0, 0}, out[14];
  ASSERT_EQ(14u, tb::stage_conv_encode(in, 7, out, 14));
  const std::uint8_t g1[7] = {1, 1, 1, 1, 0, 0, 1}, g2[7] = {1, 0, 1, 1, 0, 1, 1};
  for (int k = 0; k < 7; ++k) {
    EXPECT_EQ(g1[k], out[2 * k]);
    EXPECT_EQ(g2[k] ^ 1, out[2 * k + 1]);
  }
  EXPECT_EQ(0u, tb::stage_conv_encode(in, 7, out, 13));
}

TEST(Stages, InterleaverAndCrc) {
  std::vector<std::uint8_t> bits(24);
  for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<std::uint8_t>(i);  // labels, not bits
  std::vector<std::uint8_t> x = bits;
  ASSERT_EQ(0, tb::stage_interleave_apply(x.data(), x.size(), 3, 2));
  // Unit (row r, column k) moves from r N + k to k R + r, N = 4.
  EXPECT_EQ(8, x[2]);   // unit 1 <- row 1 col 0 = unit 4 (bits 8, 9)
  EXPECT_EQ(2, x[6]);   // unit 3 <- row 0 col 1 = unit 1
  tb::sig_stage_result r{};
  ASSERT_EQ(0, tb::stage_interleave_undo(x.data(), x.size(), 3, 2, &r));
  EXPECT_EQ(bits, x);
  EXPECT_EQ(-1, tb::stage_interleave_apply(x.data(), 25, 3, 2));
  EXPECT_EQ(-1, tb::stage_interleave_apply(x.data(), 0, 0, 0));

  std::vector<std::uint8_t> frame(72 + 16);
  const char* text = "123456789";
  for (int i = 0; i < 72; ++i) frame[i] = static_cast<std::uint8_t>((text[i / 8] >> (7 - i % 8)) & 1);
  ASSERT_EQ(0, tb::stage_crc16_apply(frame.data(), frame.size()));
  std::uint16_t crc = 0;
  for (int i = 0; i < 16; ++i) crc = static_cast<std::uint16_t>((crc << 1) | frame[72 + i]);
  EXPECT_EQ(0x29B1, crc);
  ASSERT_EQ(0, tb::stage_crc16_undo(frame.data(), frame.size(), &r));
  EXPECT_EQ(1u, r.ok);
  frame[3] ^= 1u;
  ASSERT_EQ(0, tb::stage_crc16_undo(frame.data(), frame.size(), &r));
  EXPECT_EQ(0u, r.ok);
  EXPECT_EQ(-1, tb::stage_crc16_apply(frame.data(), 16));
  EXPECT_EQ(-1, tb::stage_crc16_undo(frame.data(), 16, &r));
}

}  // namespace

#include "core/sig/viterbi.hpp"

namespace {

TEST(Viterbi, BlobFuzzAndCleanDecode) {
  std::unique_ptr<tb::viterbi, void (*)(tb::viterbi*)> v(tb::viterbi_create(20), tb::viterbi_destroy);
  ASSERT_TRUE(v);
  std::mt19937 g(2);
  std::vector<std::uint8_t> bits(500), code(1000), out(600);
  for (auto& b : bits) b = g() & 1u;
  ASSERT_EQ(1000u, tb::stage_conv_encode(bits.data(), bits.size(), code.data(), code.size()));
  std::vector<float> soft(1001);
  for (std::size_t i = 0; i < code.size(); ++i) soft[i] = code[i] ? -1.0f : 1.0f;
  soft[1000] = 0.5f;  // a held half pair
  std::size_t k = tb::viterbi_steps(v.get(), soft.data(), soft.size(), out.data(), out.size());
  EXPECT_EQ(480u, k);
  tbt::expect_blob_fuzz_refused<tb::viterbi>(v.get(), {tb::viterbi_state_bytes, tb::viterbi_get_state,
                                                      tb::viterbi_set_state});
  k += tb::viterbi_flush(v.get(), out.data() + k, out.size() - k);
  ASSERT_EQ(500u, k);
  EXPECT_TRUE(std::equal(bits.begin(), bits.end(), out.begin()));
}

}  // namespace
