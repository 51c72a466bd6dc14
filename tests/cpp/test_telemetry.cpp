#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/common/tlm.hpp"

namespace {

struct Ctx {
  std::unique_ptr<tb::tb_tlm> ctx = std::make_unique<tb::tb_tlm>();
  std::unique_ptr<tb::tlm_ring> ring = std::make_unique<tb::tlm_ring>();
  std::vector<tb::tlm_record> records;
  explicit Ctx(std::size_t cap) : records(cap ? cap : 1) {
    ctx->ring = ring.get();
    ring->records = records.data();
    ring->capacity = cap;
    ring->mask = cap ? cap - 1 : 0;
  }
};

TEST(Telemetry, RegistrationRules) {
  Ctx c(16);
  EXPECT_EQ(0, tb::tlm_register(c.ctx.get(), "a.e", 1));
  EXPECT_EQ(0, tb::tlm_register(c.ctx.get(), "a.e", 4));  // same name, same index, new decimation
  EXPECT_EQ(1u, c.ctx->count);
  EXPECT_EQ(4, c.ctx->probes[0].decim);
  EXPECT_EQ(3u, c.ctx->probes[0].counter);
  EXPECT_EQ(-4, tb::tlm_register(c.ctx.get(), "x", 0));
  EXPECT_EQ(-4, tb::tlm_register(c.ctx.get(), "x", 1ull << 31));
  EXPECT_EQ(-4, tb::tlm_register(nullptr, "x", 1));
  EXPECT_EQ(-4, tb::tlm_register(c.ctx.get(), std::string(32, 'n').c_str(), 1));
  EXPECT_EQ(1, tb::tlm_register(c.ctx.get(), std::string(31, 'n').c_str(), 1));
  for (int i = 2; i < 64; ++i) EXPECT_EQ(i, tb::tlm_register(c.ctx.get(), ("p" + std::to_string(i)).c_str(), 1));
  EXPECT_EQ(-4, tb::tlm_register(c.ctx.get(), "the65th", 1));
  EXPECT_EQ(5, tb::tlm_register(c.ctx.get(), "p5", 2));  // still found when full
}

TEST(Telemetry, DecimationAndRing) {
  Ctx c(1024);
  const int k = tb::tlm_register(c.ctx.get(), "x", 8);
  c.ctx->stamp = 77;
  for (int i = 0; i < 4096; ++i) tb::tlm_emit(c.ctx.get(), static_cast<std::uint32_t>(k), static_cast<float>(i));
  EXPECT_EQ(512u, c.ring->producer);
  EXPECT_EQ(512u, c.ctx->probes[k].written);
  EXPECT_EQ(0.0f, c.records[0].value);  // the first opportunity emits
  EXPECT_EQ(8.0f, c.records[1].value);
  EXPECT_EQ(77u, c.records[1].stamp);
  // Full ring: drops are counted, nothing overwritten.
  for (int i = 0; i < 8 * 600; ++i) tb::tlm_emit(c.ctx.get(), static_cast<std::uint32_t>(k), -1.0f);
  EXPECT_EQ(1024u, c.ring->producer);
  EXPECT_EQ(88u, c.ring->dropped);
  EXPECT_EQ(8.0f, c.records[1].value);
  tb::tlm_emit(c.ctx.get(), 64, 1.0f);  // unregistered index: ignored
}

TEST(Telemetry, ZeroCapacityDropsEverything) {
  Ctx c(0);
  const int k = tb::tlm_register(c.ctx.get(), "x", 1);
  for (int i = 0; i < 10; ++i) tb::tlm_emit(c.ctx.get(), static_cast<std::uint32_t>(k), 1.0f);
  EXPECT_EQ(10u, c.ring->dropped);
  EXPECT_EQ(0u, c.ring->producer);
}

TEST(Telemetry, AttachIsAllOrNothing) {
  Ctx c(16);
  tb::tlm_slots<2> s{};
  const char* const fmts[2] = {".a", ".b"};
  ASSERT_EQ(0, tb::tlm_attach(&s, c.ctx.get(), "obj", 1, fmts));
  EXPECT_EQ(c.ctx.get(), s.ctx);
  Ctx other(16);
  for (int i = 0; i < 63; ++i) tb::tlm_register(other.ctx.get(), ("q" + std::to_string(i)).c_str(), 1);
  EXPECT_EQ(-4, tb::tlm_attach(&s, other.ctx.get(), "obj", 1, fmts));  // only one slot left
  EXPECT_EQ(c.ctx.get(), s.ctx);
  EXPECT_EQ(63u, other.ctx->count);  // nothing registered by the refusal
  EXPECT_EQ(-4, tb::tlm_attach(&s, other.ctx.get(), std::string(29, 'z').c_str(), 1, fmts));  // too long
  EXPECT_EQ(c.ctx.get(), s.ctx);
  // A name too long on the last suffix only: no probe of the others is left behind.
  const char* const uneven[3] = {".a", ".b", ".much_longer_name"};
  tb::tlm_slots<3> u{};
  Ctx third(16);
  EXPECT_EQ(14u, tb::tlm_prefix_room(uneven));
  EXPECT_EQ(-4, tb::tlm_attach(&u, third.ctx.get(), std::string(15, 'p').c_str(), 1, uneven));
  EXPECT_EQ(0u, third.ctx->count);
  EXPECT_EQ(0, tb::tlm_attach(&u, third.ctx.get(), std::string(14, 'p').c_str(), 1, uneven));
  EXPECT_EQ(3u, third.ctx->count);
  ASSERT_EQ(0, tb::tlm_attach(&s, nullptr, "obj", 1, fmts));
  EXPECT_EQ(nullptr, s.ctx);
}

}  // namespace
