#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "core/common/blob.hpp"

namespace {

constexpr char kMagic[4] = {'T', 'E', 'S', 'T'};

std::array<unsigned char, 24> fresh_blob() {
  std::array<unsigned char, 24> b{};
  b.fill(0xAA);
  tb::blob_write_header(b.data(), kMagic, 7, 24);
  return b;
}

TEST(Blob, HeaderLayoutIsLittleEndian) {
  auto b = fresh_blob();
  const unsigned char expect[16] = {'T', 'E', 'S', 'T', 7, 0, 1, 0, 24, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(b.data(), expect, 16));
  EXPECT_EQ(0, tb::blob_check_header(b.data(), b.size(), kMagic, 7, 24));
}

TEST(Blob, EveryHeaderFieldIsChecked) {
  struct Case { int offset; unsigned char value; };
  // magic, version (both bytes), layout marker, length (low and high bytes)
  for (Case c : {Case{0, 'X'}, Case{3, 'U'}, Case{4, 8}, Case{5, 1}, Case{6, 2}, Case{6, 0}, Case{8, 25},
                 Case{11, 1}}) {
    auto b = fresh_blob();
    b[c.offset] = c.value;
    EXPECT_EQ(tb::kStatusRefused, tb::blob_check_header(b.data(), b.size(), kMagic, 7, 24))
        << "offset " << c.offset;
  }
  // Reserved bytes are not checked.
  auto b = fresh_blob();
  b[7] = 9;
  b[13] = 9;
  EXPECT_EQ(0, tb::blob_check_header(b.data(), b.size(), kMagic, 7, 24));
}

TEST(Blob, ShortOrNullBuffersAreRefused) {
  auto b = fresh_blob();
  EXPECT_EQ(tb::kStatusRefused, tb::blob_check_header(b.data(), 23, kMagic, 7, 24));
  EXPECT_EQ(tb::kStatusRefused, tb::blob_check_header(b.data(), 10, kMagic, 7, 24));
  EXPECT_EQ(tb::kStatusRefused, tb::blob_check_header(nullptr, 24, kMagic, 7, 24));
}

TEST(Blob, ReaderStopsAtTheEnd) {
  const unsigned char buf[10] = {1, 0, 0, 0, 0, 0, 0, 0, 2, 0};
  tb::BlobReader r(buf, sizeof buf);
  EXPECT_EQ(1u, r.get<std::uint64_t>());
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(0u, r.get<std::uint32_t>());  // only two bytes left
  EXPECT_FALSE(r.ok());
}

}  // namespace
