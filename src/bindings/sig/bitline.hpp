// sig.BitLine, sig.SyncSearch, the Golay (24,12) functions and
// sig.NrzConditioner: the per-sample and per-bit work between a
// demodulator and a deframer.
#pragma once
#include "bindings/frame.hpp"
#include "core/sig/bitline.hpp"
#include "core/sig/nrz.hpp"

namespace tb::py {

struct BitLineT {
  using Rec = tb::bit_line;
  static constexpr const char* name = "sig.BitLine";
  static constexpr const char* doc = R"(BitLine(g3ruh=False, diff="none")
--

Line decoding of hard channel bits (bit 0 of each uint8): the G3RUH
descrambler (1 + x^12 + x^17) when g3ruh, then differential decoding, diff
"nrzm" (a one is a change of level), "nrzi" (a zero is a change) or "none";
the level before the stream is 0.  steps(bits) returns one uint8 bit per
input bit; any chunking gives the same bits.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(bit_line)
  static constexpr const char* repr_attrs[] = {"g3ruh", "diff"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"g3ruh", "diff", nullptr};
    int g3ruh = 0;
    const char* diff = "none";
    if (!parse(args, kw, "|ps", kwlist, &g3ruh, &diff)) return nullptr;
    const int d = choice("diff", diff, {"none", "nrzm", "nrzi"});
    if (d < 0) return nullptr;
    return created_or_refused(tb::bit_line_create(g3ruh != 0, static_cast<std::uint32_t>(d)),
                              "BitLine: out of memory");
  }
  static bool g3ruh(const Rec* r) { return r->g3ruh != 0; }
  static const char* diff(const Rec* r) {
    static const char* const names[] = {"none", "nrzm", "nrzi"};
    return names[r->diff];
  }
  static std::vector<PyMethodDef> methods() {
    using B = BitLineT;
    return rows(method<B, &steps_s<B, std::uint8_t, std::uint8_t, tb::bit_line_steps>>(
        "steps", "steps(x, out=None)\n--\n\nThe decoded bits (uint8), one per channel bit."));
  }
  static std::vector<PyGetSetDef> getset() {
    return {computed<BitLineT, &BitLineT::g3ruh>("g3ruh", "The G3RUH descrambler runs first."),
            computed<BitLineT, &BitLineT::diff>("diff", "The differential decoding: \"none\", \"nrzm\" or \"nrzi\".")};
  }
};

struct SyncSearchT {
  using Rec = tb::sync_search;
  static constexpr const char* name = "sig.SyncSearch";
  static constexpr const char* doc = R"(SyncSearch(marker, max_errors=0, inverted=True)
--

Where a sync marker (a hex string of up to 16 digits, its first bit the
most significant) starts in a stream of hard bits (bit 0 of each uint8),
allowing up to max_errors bit errors, and, when inverted, where its
complement does (an unresolved phase or polarity).  steps(bits) returns the
hits that end in this block as uint64 values
  (stream index of the marker's first bit) << 8 | inverted << 7 | errors
in stream order; any chunking gives the same hits.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(sync_search)
  static constexpr const char* repr_attrs[] = {"nbits", "max_errors", "inverted"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"marker", "max_errors", "inverted", nullptr};
    const char* hex;
    unsigned int max_errors = 0;
    int inverted = 1;
    if (!parse(args, kw, "s|Ip", kwlist, &hex, &max_errors, &inverted)) return nullptr;
    std::uint64_t marker = 0;
    std::uint32_t nbits = 0;
    for (const char* c = hex; *c; ++c) {
      const int v = *c >= '0' && *c <= '9' ? *c - '0' : *c >= 'a' && *c <= 'f' ? *c - 'a' + 10
                  : *c >= 'A' && *c <= 'F' ? *c - 'A' + 10 : -1;
      if (v < 0 || nbits == tb::kSyncMaxBits) {
        nbits = 0;
        break;
      }
      marker = (marker << 4) | static_cast<std::uint64_t>(v);
      nbits += 4;
    }
    if (nbits == 0) {
      PyErr_Format(PyExc_ValueError, "SyncSearch: marker must be 1 to 16 hex digits, got '%s'", hex);
      return nullptr;
    }
    if (max_errors >= nbits) {
      PyErr_Format(PyExc_ValueError, "SyncSearch: max_errors must be below the marker's %u bits", nbits);
      return nullptr;
    }
    return created_or_refused(tb::sync_search_create(marker, nbits, max_errors, inverted != 0),
                              "SyncSearch: out of memory");
  }
  static std::uint64_t nbits(const Rec* r) { return r->nbits; }
  static std::uint64_t max_errors(const Rec* r) { return r->max_errors; }
  static bool inverted(const Rec* r) { return r->inverted != 0; }
  static std::uint64_t bits(const Rec* r) { return r->pos; }
  static std::vector<PyMethodDef> methods() {
    using S = SyncSearchT;
    return rows(block_v<S, tb::sync_search_steps, tb::sync_search_steps_max_out>(
        "steps", "The hits that end in this block (uint64, packed as the class says)."));
  }
  static std::vector<PyGetSetDef> getset() {
    using S = SyncSearchT;
    return {computed<S, &S::nbits>("nbits", "The marker's length in bits."),
            computed<S, &S::max_errors>("max_errors", "Bit errors a hit may have."),
            computed<S, &S::inverted>("inverted", "The complement is looked for too."),
            computed<S, &S::bits>("bits", "Bits taken.")};
  }
};

struct NrzConditionerT {
  using Rec = tb::nrz_cond;
  static constexpr const char* name = "sig.NrzConditioner";
  static constexpr const char* doc = R"(NrzConditioner(k, window)
--

An NRZ waveform (an FM discriminator's audio at k samples a symbol) made
ready for a timing loop, in double precision: less the mean of the last
`window` values (fewer, with their count, at the stream's start); the sum of
the last k values of that (the matched filter of a one-symbol rectangle);
that over the RMS of its last `window` values (floored at 1e-12).
steps(x) returns float32, one value per input; each window sum is a running
sum less the one the window's length before, so any chunking gives the same
values.  Needs 1 <= k <= window <= 2^24.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(nrz_cond)
  static constexpr const char* repr_attrs[] = {"k", "window"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"k", "window", nullptr};
    unsigned long long k = 0, window = 0;
    if (!parse(args, kw, "KK", kwlist, &k, &window)) return nullptr;
    return created_or_refused(tb::nrz_cond_create(k, window),
                              "NrzConditioner: need 1 <= k <= window <= 2^24 (or out of memory)");
  }
  static std::uint64_t k(const Rec* r) { return r->k; }
  static std::uint64_t window(const Rec* r) { return r->n; }
  static std::uint64_t seen(const Rec* r) { return r->seen; }
  static std::vector<PyMethodDef> methods() {
    using N = NrzConditionerT;
    return rows(method<N, &steps_s<N, double, float, tb::nrz_cond_steps>>(
        "steps", "steps(x, out=None)\n--\n\nThe conditioned waveform (float32), one value per input."));
  }
  static std::vector<PyGetSetDef> getset() {
    using N = NrzConditionerT;
    return {computed<N, &N::k>("k", "The matched filter's length (samples a symbol)."),
            computed<N, &N::window>("window", "The DC and level windows' length."),
            computed<N, &N::seen>("seen", "Values taken.")};
  }
};

// A core function of one value applied to every element of an array
// argument named Arg (any shape in, a flat array out).
template <class I, class O, O (*Fn)(I), Str Arg>
PyObject* py_elementwise(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {Arg.v, nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  In<I, true> in;
  if (!in.convert(o)) return nullptr;
  PyArrayObject* out = fresh<O>(in.size());
  if (!out) return nullptr;
  O* p = static_cast<O*>(PyArray_DATA(out));
  for (std::size_t i = 0; i < in.size(); ++i) p[i] = Fn(in.data()[i]);
  return reinterpret_cast<PyObject*>(out);
}

inline constexpr auto py_golay24_encode = py_elementwise<std::uint32_t, std::uint32_t, tb::golay24_encode, "data">;
inline constexpr auto py_golay24_decode = py_elementwise<std::uint32_t, std::int32_t, tb::golay24_decode, "words">;

}  // namespace tb::py
