// The double-mapped ring: both views show the same memory, writes across the
// wrap are contiguous, sizing and overflow rules.
#include <gtest/gtest.h>

#include <complex>
#include <vector>

#include "platform/ring.hpp"

namespace {

using cf = std::complex<float>;
using tb::platform::mirror_ring;

TEST(Ring, LogicalCapacities) {
  EXPECT_EQ(512u, tb::platform::ring_logical_capacity(100));
  EXPECT_EQ(1024u, tb::platform::ring_logical_capacity(1000));
  EXPECT_EQ(8192u, tb::platform::ring_logical_capacity(5000));
  EXPECT_EQ(512u, tb::platform::ring_logical_capacity(512));
}

TEST(Ring, TheTwoViewsAreOneMemory) {
  mirror_ring* r = tb::platform::ring_create(100);
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(512u, r->cap);
  EXPECT_GE(r->phys * sizeof(cf), tb::platform::map_granularity());
  r->base[3] = cf(1.5f, -2.0f);
  EXPECT_EQ(cf(1.5f, -2.0f), r->base[r->phys + 3]);  // written through the first view, seen through the mirror
  r->base[r->phys + 7] = cf(4.0f, 5.0f);
  EXPECT_EQ(cf(4.0f, 5.0f), r->base[7]);
  tb::platform::ring_destroy(r);
}

TEST(Ring, AWriteAcrossTheWrapIsContiguous) {
  mirror_ring* r = tb::platform::ring_create(300);
  ASSERT_NE(nullptr, r);
  // Move the positions to 100 samples before the physical end.
  const std::uint64_t start = r->phys - 100;
  r->write = r->read = start;
  std::vector<cf> x(300);
  for (int i = 0; i < 300; ++i) x[i] = cf(static_cast<float>(i), 0.0f);
  ASSERT_TRUE(tb::platform::ring_write(r, x.data(), 300));
  const cf* p = tb::platform::ring_peek(r);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(x[i], p[i]) << i;        // one contiguous run
  for (int i = 0; i < 200; ++i) EXPECT_EQ(x[100 + i], r->base[i]) << i;  // the tail landed at the start
  tb::platform::ring_consume(r, 300);
  EXPECT_EQ(0u, tb::platform::ring_fill(r));
  tb::platform::ring_destroy(r);
}

TEST(Ring, WritesThatDoNotFitAreCountedNotWritten) {
  mirror_ring* r = tb::platform::ring_create(10);
  ASSERT_NE(nullptr, r);
  std::vector<cf> x(600);
  EXPECT_FALSE(tb::platform::ring_write(r, x.data(), 600));
  EXPECT_EQ(600u, r->overflow);
  EXPECT_TRUE(tb::platform::ring_write(r, x.data(), 500));
  EXPECT_FALSE(tb::platform::ring_write(r, x.data(), 13));
  EXPECT_EQ(613u, r->overflow);
  EXPECT_EQ(500u, tb::platform::ring_fill(r));
  tb::platform::ring_reset(r);
  EXPECT_EQ(0u, tb::platform::ring_fill(r));
  tb::platform::ring_destroy(r);
}

}  // namespace
