// Bit-true Q15 / Q8 / int64 array kernels and the fixed-width accumulators.
//
// Q15 is int16 read as value/32768, Q8 is int8 read as value/128.  Products
// are formed exactly in a wider integer, rounding is round-half-up (add half
// the divisor, then an arithmetic shift right) and results saturate where the
// rule says so.  Every kernel gives the same bits for every length and every
// code path (vector body or scalar tail).
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

// Two-input elementwise kernels write na elements.  The first min(na, nb)
// follow the element rule; where b is shorter than a the rest is computed as
// if b held zeros there (add/sub copy a, mul gives 0), so the result is
// deterministic and b is never read past its end.
void add_q15(std::int16_t* out, const std::int16_t* a, std::size_t na, const std::int16_t* b, std::size_t nb);
void sub_q15(std::int16_t* out, const std::int16_t* a, std::size_t na, const std::int16_t* b, std::size_t nb);
void mul_q15(std::int16_t* out, const std::int16_t* a, std::size_t na, const std::int16_t* b, std::size_t nb);
void add_q8(std::int8_t* out, const std::int8_t* a, std::size_t na, const std::int8_t* b, std::size_t nb);
void sub_q8(std::int8_t* out, const std::int8_t* a, std::size_t na, const std::int8_t* b, std::size_t nb);
void mul_q8(std::int8_t* out, const std::int8_t* a, std::size_t na, const std::int8_t* b, std::size_t nb);

// Inner products over n elements: Q15 sums in 64 bits (raw Q30, wraps
// modulo 2^64 in theory only), Q8 sums in 32 bits wrapping (raw Q14).
std::int64_t dot_q15(const std::int16_t* a, const std::int16_t* b, std::size_t n);
std::int32_t dot_q8(const std::int8_t* a, const std::int8_t* b, std::size_t n);

// Shifts; a non-positive count copies the input.
void shl_q15(std::int16_t* out, const std::int16_t* a, std::size_t n, std::int32_t k);
void shr_q15(std::int16_t* out, const std::int16_t* a, std::size_t n, std::int32_t k);
void shl_q8(std::int8_t* out, const std::int8_t* a, std::size_t n, std::int32_t k);
void shr_q8(std::int8_t* out, const std::int8_t* a, std::size_t n, std::int32_t k);
void shl_i64(std::int64_t* out, const std::int64_t* a, std::size_t n, std::int32_t k);
void shr_i64(std::int64_t* out, const std::int64_t* a, std::size_t n, std::int32_t k);

// ---------------------------------------------------------------------------
// Accumulators: one integer register with plain two's-complement wrap.

struct acc_q15 { std::int64_t acc; };  // 64-bit register, int16 samples
struct acc_q8 { std::int32_t acc; };   // 32-bit register, int8 samples

acc_q15* acc_q15_create(std::int64_t init);
void acc_q15_destroy(acc_q15* a);
void acc_q15_reset(acc_q15* a);
void acc_q15_step(acc_q15* a, std::int32_t x);  // adds the low 16 bits, sign-extended
void acc_q15_steps(acc_q15* a, const std::int16_t* x, std::size_t n);
void acc_q15_madd(acc_q15* a, const std::int16_t* x, const std::int16_t* y, std::size_t n);
std::int64_t acc_q15_dump(acc_q15* a);
std::size_t acc_q15_state_bytes(const acc_q15* a);
int acc_q15_get_state(const acc_q15* a, unsigned char* buf, std::size_t len);
int acc_q15_set_state(acc_q15* a, const unsigned char* buf, std::size_t len);

acc_q8* acc_q8_create(std::int32_t init);
void acc_q8_destroy(acc_q8* a);
void acc_q8_reset(acc_q8* a);
void acc_q8_step(acc_q8* a, std::int32_t x);  // adds the low 8 bits, sign-extended
void acc_q8_steps(acc_q8* a, const std::int8_t* x, std::size_t n);
void acc_q8_madd(acc_q8* a, const std::int8_t* x, const std::int8_t* y, std::size_t n);
std::int32_t acc_q8_dump(acc_q8* a);
std::size_t acc_q8_state_bytes(const acc_q8* a);
int acc_q8_get_state(const acc_q8* a, unsigned char* buf, std::size_t len);
int acc_q8_set_state(acc_q8* a, const unsigned char* buf, std::size_t len);

}  // namespace tb
