// Shared C++ test helpers: owning pointers for core records and the one
// blob-fuzz check every stateful record gets.
#pragma once
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <vector>

namespace tbt {

// A core record owned for the length of a test, released by its destroy
// function even when an ASSERT returns early.
template <auto Destroy>
struct Deleter {
  template <class R>
  void operator()(R* r) const {
    Destroy(r);
  }
};
template <class R, auto Destroy>
using Owned = std::unique_ptr<R, Deleter<Destroy>>;

template <auto Destroy, class R>
Owned<R, Destroy> own(R* r) {
  return Owned<R, Destroy>(r);
}

// The record's state functions, as the fuzz check uses them.
template <class R>
struct StateFns {
  std::size_t (*bytes)(const R*);
  int (*get)(const R*, unsigned char*, std::size_t);
  int (*set)(R*, const unsigned char*, std::size_t);
};

template <class R>
std::vector<unsigned char> blob_of(const R* r, const StateFns<R>& f) {
  std::vector<unsigned char> b(f.bytes(r));
  EXPECT_EQ(0, f.get(r, b.data(), b.size()));
  return b;
}

// Every refused set_state leaves get_state byte-identical:
//   - random bytes of random (shorter) lengths, null buffers;
//   - the record's own header over garbage, at random lengths;
//   - one bit flipped in any checked header byte (magic, version, marker,
//     length) of the outer blob or of a nested blob at `nested` offsets.
// Finally the good blob is accepted.
template <class R>
void expect_blob_fuzz_refused(R* r, const StateFns<R>& f, unsigned seed = 1, int rounds = 2000,
                              std::initializer_list<std::size_t> nested = {}) {
  const std::vector<unsigned char> good = blob_of(r, f);
  const std::size_t n = good.size();
  std::mt19937 g(seed);
  std::vector<unsigned char> buf(n + 32);
  EXPECT_NE(0, f.set(r, nullptr, n));
  for (int i = 0; i < rounds; ++i) {
    for (auto& c : buf) c = static_cast<unsigned char>(g());
    if (i % 2) std::memcpy(buf.data(), good.data(), 8);  // a real magic, version and marker
    const std::size_t len = g() % n;
    ASSERT_NE(0, f.set(r, buf.data(), len)) << "garbage of " << len << " bytes accepted";
    ASSERT_EQ(good, blob_of(r, f));
  }
  std::vector<std::size_t> heads = {0};
  heads.insert(heads.end(), nested.begin(), nested.end());
  for (std::size_t h : heads) {
    for (std::size_t k : {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11}) {
      if (h + k >= n) continue;
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<unsigned char> bad = good;
        bad[h + k] ^= static_cast<unsigned char>(1u << bit);
        ASSERT_NE(0, f.set(r, bad.data(), n)) << "header byte " << h + k << " bit " << bit;
        ASSERT_EQ(good, blob_of(r, f));
      }
    }
  }
  EXPECT_EQ(0, f.set(r, good.data(), n));
}

}  // namespace tbt
