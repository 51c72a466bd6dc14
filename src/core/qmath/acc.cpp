// The two accumulator records share one implementation, parameterised by the
// register and sample widths.  All arithmetic is done on the unsigned image
// of the register so two's-complement wrap is defined behaviour.
#include <new>
#include <type_traits>

#include "core/common/blob.hpp"
#include "core/qmath/qmath.hpp"

namespace tb {
namespace {

template <class Rec, class Sample>
struct AccImpl {
  using Reg = decltype(Rec::acc);
  using U = std::make_unsigned_t<Reg>;
  static constexpr std::uint32_t kBytes = static_cast<std::uint32_t>(kBlobHeader + sizeof(Reg));

  static Rec* create(Reg init) {
    Rec* a = new (std::nothrow) Rec{};
    if (a) a->acc = init;
    return a;
  }
  static void add(Rec* a, std::int64_t v) {
    a->acc = static_cast<Reg>(static_cast<U>(a->acc) + static_cast<U>(v));
  }
  static void step(Rec* a, std::int32_t x) { add(a, static_cast<Sample>(x)); }
  static void steps(Rec* a, const Sample* x, std::size_t n) {
    U s = 0;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<U>(static_cast<Reg>(x[i]));
    add(a, static_cast<Reg>(s));
  }
  static Reg dump(Rec* a) {
    Reg v = a->acc;
    a->acc = 0;
    return v;
  }
  static int get_state(const Rec* a, const char* magic, unsigned char* buf, std::size_t len) {
    BlobWriter w = blob_begin(buf, len, magic, 1, kBytes);
    w.put<Reg>(a->acc);
    return w.status();
  }
  static int set_state(Rec* a, const char* magic, const unsigned char* buf, std::size_t len) {
    BlobReader r = blob_open(buf, len, magic, 1, kBytes);
    if (!r.ok()) return kStatusRefused;
    a->acc = r.get<Reg>();
    return 0;
  }
};

using A15 = AccImpl<acc_q15, std::int16_t>;
using A8 = AccImpl<acc_q8, std::int8_t>;
constexpr char kMagic15[4] = {'A', 'C', '1', '5'};
constexpr char kMagic8[4] = {'A', 'C', 'C', '8'};

}  // namespace

acc_q15* acc_q15_create(std::int64_t init) { return A15::create(init); }
void acc_q15_destroy(acc_q15* a) { delete a; }
void acc_q15_reset(acc_q15* a) { a->acc = 0; }
void acc_q15_step(acc_q15* a, std::int32_t x) { A15::step(a, x); }
void acc_q15_steps(acc_q15* a, const std::int16_t* x, std::size_t n) { A15::steps(a, x, n); }
// The products are summed from zero in 64 bits, then added to the register.
void acc_q15_madd(acc_q15* a, const std::int16_t* x, const std::int16_t* y, std::size_t n) {
  A15::add(a, dot_q15(x, y, n));
}
std::int64_t acc_q15_dump(acc_q15* a) { return A15::dump(a); }
std::size_t acc_q15_state_bytes(const acc_q15*) { return A15::kBytes; }
int acc_q15_get_state(const acc_q15* a, unsigned char* buf, std::size_t len) {
  return A15::get_state(a, kMagic15, buf, len);
}
int acc_q15_set_state(acc_q15* a, const unsigned char* buf, std::size_t len) {
  return A15::set_state(a, kMagic15, buf, len);
}

acc_q8* acc_q8_create(std::int32_t init) { return A8::create(init); }
void acc_q8_destroy(acc_q8* a) { delete a; }
void acc_q8_reset(acc_q8* a) { a->acc = 0; }
void acc_q8_step(acc_q8* a, std::int32_t x) { A8::step(a, x); }
void acc_q8_steps(acc_q8* a, const std::int8_t* x, std::size_t n) { A8::steps(a, x, n); }
// Summing the products into the 32-bit register in turn wraps modulo 2^32,
// which is exactly adding their wrapped 32-bit sum once.
void acc_q8_madd(acc_q8* a, const std::int8_t* x, const std::int8_t* y, std::size_t n) {
  A8::add(a, dot_q8(x, y, n));
}
std::int32_t acc_q8_dump(acc_q8* a) { return A8::dump(a); }
std::size_t acc_q8_state_bytes(const acc_q8*) { return A8::kBytes; }
int acc_q8_get_state(const acc_q8* a, unsigned char* buf, std::size_t len) {
  return A8::get_state(a, kMagic8, buf, len);
}
int acc_q8_set_state(acc_q8* a, const unsigned char* buf, std::size_t len) {
  return A8::set_state(a, kMagic8, buf, len);
}

}  // namespace tb
