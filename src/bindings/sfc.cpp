// tamberl.sfc: sample-format converters, the ADC model and bit conversions.
#include "bindings/frame.hpp"
#include "core/sfc/adc.hpp"
#include "core/sfc/bits.hpp"
#include "core/sfc/convert.hpp"

namespace {
using namespace tb::py;

// ---------------------------------------------------------------------------
// Converters: one binding template per direction; the twelve types are rows.

// What both directions share: the row's name and doc, the format, and one
// keyword, `scale` (float32), with the type's default.
template <class D, class R, R* (*Create)(float)>
struct Converter {
  using Rec = R;
  using F = typename D::Fmt;
  using Code = typename F::Code;
  static constexpr const char* name = D::name;
  static constexpr const char* doc = D::doc;
  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"scale", nullptr};
    float scale = D::scale;
    if (!parse(args, kw, "|f", kwlist, &scale)) return nullptr;
    return created(Create(scale), D::create_name);
  }
};

// Float-to-code direction: scale, round, saturate, sticky clip flag.
template <class D>
struct F2I : Converter<D, tb::sfc_f2i, tb::sfc_f2i_create> {
  using typename F2I::Converter::Rec, typename F2I::Converter::F, typename F2I::Converter::Code;
  static constexpr auto destroy = &tb::sfc_f2i_destroy;
  static constexpr auto reset = &tb::sfc_f2i_reset;
  static constexpr auto state_bytes = &tb::sfc_f2i_state_bytes;
  static int get_state(const Rec* r, unsigned char* b, std::size_t n) {
    return tb::sfc_f2i_get_state(r, D::magic, b, n);
  }
  static int set_state(Rec* r, const unsigned char* b, std::size_t n) {
    return tb::sfc_f2i_set_state(r, D::magic, b, n);
  }

  static bool clipped(const Rec* r) { return r->clipped != 0; }

  static std::vector<PyMethodDef> methods() {
    return {
        scalar<F2I, tb::sfc_f2i_step<F>, "x">("step", "Convert one sample; returns the code (int)."),
        method<F2I, &steps_s<F2I, float, Code, tb::sfc_f2i_steps<F>>>(
            "steps", "steps(x, out=None)\n--\n\nConvert a block of float32 samples; one code per sample."),
    };
  }
  static std::vector<PyGetSetDef> getset() {
    return {computed<F2I, &F2I::clipped>("clipped", "True if any sample saturated since the last reset.")};
  }
};

// Code-to-float direction: multiply by the float32 reciprocal of the scale.
template <class D>
struct I2F : Converter<D, tb::sfc_i2f, tb::sfc_i2f_create> {
  using typename I2F::Converter::Rec, typename I2F::Converter::F, typename I2F::Converter::Code;
  static constexpr auto destroy = &tb::sfc_i2f_destroy;
  static void reset(Rec*) {}  // stateless

  static PyObject* step(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"x", nullptr};
    unsigned long long x;  // any int, taken modulo 2^64; the code is its low bits
    if (!parse(args, kw, "K", kwlist, &x)) return nullptr;
    return to_py(tb::sfc_i2f_step<F>(r, static_cast<Code>(x)));
  }
  static std::vector<PyMethodDef> methods() {
    return {
        method<I2F, &I2F::step>("step", "step(x)\n--\n\nConvert one code; returns the sample (float)."),
        method<I2F, &steps_s<I2F, Code, float, tb::sfc_i2f_steps<F>>>(
            "steps", "steps(x, out=None)\n--\n\nConvert a block of codes to float32."),
    };
  }
};

#define TB_SFC_TYPE(Type, Format, core, default_scale, blob_magic, text)                                   \
  struct Type##D {                                                                                         \
    using Fmt = tb::Format;                                                                                \
    static constexpr const char* name = "sfc." #Type;                                                     \
    static constexpr const char* create_name = core "_create";                                             \
    static constexpr float scale = static_cast<float>(default_scale);                                                          \
    static constexpr char magic[5] = blob_magic;                                                           \
    static constexpr const char* doc = #Type "(scale=" #default_scale ")\n--\n\n" text;                       \
  };

#define F2I_TEXT(fmt) "Convert float32 samples to " fmt ": scale, round half away from zero, saturate; 'clipped' is sticky."
#define I2F_TEXT(fmt) "Convert " fmt " codes to float32 samples: multiply by the float32 reciprocal of scale."

TB_SFC_TYPE(F32ToI8, FmtI8, "f32_to_i8", 128.0, "F2_8", F2I_TEXT("int8"))
TB_SFC_TYPE(F32ToI16, FmtI16, "f32_to_i16", 32768.0, "F216", F2I_TEXT("int16"))
TB_SFC_TYPE(F32ToI32, FmtI32, "f32_to_i32", 2147483648.0, "F232", F2I_TEXT("int32 (computed in double)"))
TB_SFC_TYPE(F32ToI16U32, FmtI16U32, "f32_to_i16u32", 32768.0, "FU32", F2I_TEXT("Q15 in the low half of uint32"))
TB_SFC_TYPE(F32ToI16U64, FmtI16U64, "f32_to_i16u64", 32768.0, "FU64", F2I_TEXT("Q15 in the low 16 bits of uint64"))
TB_SFC_TYPE(F32ToUQ15, FmtUQ15, "f32_to_uq15", 32768.0, "FU15", F2I_TEXT("offset-binary uint16 (code + 32768)"))
TB_SFC_TYPE(I8ToF32, FmtI8, "i8_to_f32", 128.0, "", I2F_TEXT("int8"))
TB_SFC_TYPE(I16ToF32, FmtI16, "i16_to_f32", 32768.0, "", I2F_TEXT("int16"))
TB_SFC_TYPE(I32ToF32, FmtI32, "i32_to_f32", 2147483648.0, "", I2F_TEXT("int32"))
TB_SFC_TYPE(I16U32ToF32, FmtI16U32, "i16u32_to_f32", 32768.0, "", I2F_TEXT("low-half Q15 uint32"))
TB_SFC_TYPE(I16U64ToF32, FmtI16U64, "i16u64_to_f32", 32768.0, "", I2F_TEXT("low-16-bit Q15 uint64"))
TB_SFC_TYPE(UQ15ToF32, FmtUQ15, "uq15_to_f32", 32768.0, "", I2F_TEXT("offset-binary uint16"))
#undef TB_SFC_TYPE

// ---------------------------------------------------------------------------
// ADC

struct AdcT {
  using Rec = tb::adc;
  static constexpr const char* name = "sfc.ADC";
  static constexpr const char* doc = R"(ADC(bits=16, dbfs=-10.0, dithering=0)
--

Signed N-bit ADC model: a sample of amplitude 10^(dbfs/20) reaches full scale;
optional triangular dither from a fixed-seed generator (reset() restarts it);
codes round half away from zero and saturate, 'clipped' is sticky.)";
  TB_STANDARD_OPS(adc)

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bits", "dbfs", "dithering", nullptr};
    unsigned long long bits = 16;  // modulo 2^64: a negative value is far above 64
    float dbfs = -10.0f;
    int dithering = 0;
    if (!parse(args, kw, "|Kfi", kwlist, &bits, &dbfs, &dithering)) return nullptr;
    return created(tb::adc_create(bits, dbfs, dithering), "adc_create");
  }
  static bool clipped(const Rec* r) { return r->clipped != 0; }

  static std::vector<PyMethodDef> methods() {
    return {
        scalar<AdcT, tb::adc_step, "x">("step", "Quantise one sample; returns the code (int)."),
        method<AdcT, &steps_s<AdcT, float, std::int64_t, tb::adc_steps>>(
            "steps", "steps(x, out=None)\n--\n\nQuantise a block of float32 samples into int64 codes."),
    };
  }
  static std::vector<PyGetSetDef> getset() {
    return {
        computed<AdcT, &AdcT::clipped>("clipped", "True if any sample saturated since the last reset."),
        field<AdcT, &Rec::scale>("scale", "Codes per unit of input."),
        field<AdcT, &Rec::bits>("bits", "Resolution in bits."),
    };
  }
};

// ---------------------------------------------------------------------------
// Bit conversions: refusals return 0 and leave out untouched; only a wrong
// out array (type, dtype, writability, contiguity) raises.

PyObject* py_int_to_bin(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"v", "n_bits", "out", "bitorder", nullptr};
  unsigned long long v, n;
  PyObject* o;
  int order;
  if (!parse(args, kw, "KKOi", kwlist, &v, &n, &o, &order)) return nullptr;
  std::uint8_t* out;
  std::size_t len;
  if (!out_buffer(o, &out, &len)) return nullptr;
  return to_py(tb::int_to_bin(v, n, out, len, order));
}

PyObject* py_bin_to_int(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"bits", "bitorder", nullptr};
  PyObject* bo;
  int order;
  if (!parse(args, kw, "Oi", kwlist, &bo, &order)) return nullptr;
  In<std::uint8_t> bits;
  if (!bits.convert(bo)) return nullptr;
  return to_py(tb::bin_to_int(bits.data(), bits.size(), order));
}

PyObject* py_hex_to_bin(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"hex", "out", "bitorder", nullptr};
  const char* text;
  Py_ssize_t tlen;  // with "s#" an embedded NUL is just a non-hex character
  PyObject* o;
  int order;
  if (!parse(args, kw, "s#Oi", kwlist, &text, &tlen, &o, &order)) return nullptr;
  std::uint8_t* out;
  std::size_t len;
  if (!out_buffer(o, &out, &len)) return nullptr;
  return to_py(tb::hex_to_bin(text, static_cast<std::size_t>(tlen), out, len, order));
}

PyObject* py_bin_to_hex(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"bits", "out", "bitorder", nullptr};
  PyObject *bo, *o;
  int order;
  if (!parse(args, kw, "OOi", kwlist, &bo, &o, &order)) return nullptr;
  In<std::uint8_t> bits;
  if (!bits.convert(bo)) return nullptr;
  std::uint8_t* out;
  std::size_t len;
  if (!out_buffer(o, &out, &len)) return nullptr;
  return to_py(tb::bin_to_hex(bits.data(), bits.size(), reinterpret_cast<char*>(out), len, order));
}

template <class I, class O, std::size_t (*K)(const I*, std::size_t, O*, std::size_t)>
PyObject* nrz_map(const char* const* kwlist, PyObject* args, PyObject* kw) {
  PyObject *xo, *o;
  if (!parse(args, kw, "OO", kwlist, &xo, &o)) return nullptr;
  In<I> x;
  if (!x.convert(xo)) return nullptr;
  O* out;
  std::size_t len;
  if (!out_buffer(o, &out, &len)) return nullptr;
  return to_py(K(x.data(), x.size(), out, len));
}
PyObject* py_bin_to_nrz(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"bits", "out", nullptr};
  return nrz_map<std::uint8_t, float, tb::bin_to_nrz>(kwlist, args, kw);
}
PyObject* py_nrz_to_bin(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"nrz", "out", nullptr};
  return nrz_map<float, std::uint8_t, tb::nrz_to_bin>(kwlist, args, kw);
}

PyMethodDef kFunctions[] = {
    function("int_to_bin", py_int_to_bin, "int_to_bin(v, n_bits, out, bitorder)\n--\n\nLow n_bits of v as unpacked bits."),
    function("bin_to_int", py_bin_to_int, "bin_to_int(bits, bitorder)\n--\n\nThe value of 1..64 unpacked bits."),
    function("hex_to_bin", py_hex_to_bin, "hex_to_bin(hex, out, bitorder)\n--\n\nFour unpacked bits per hex digit."),
    function("bin_to_hex", py_bin_to_hex, "bin_to_hex(bits, out, bitorder)\n--\n\nLowercase hex digits and a NUL."),
    function("bin_to_nrz", py_bin_to_nrz, "bin_to_nrz(bits, out)\n--\n\nBit 0 -> +1.0, bit 1 -> -1.0 (float32)."),
    function("nrz_to_bin", py_nrz_to_bin, "nrz_to_bin(nrz, out)\n--\n\n1 for a negative symbol, else 0."),
    kSentinel,
};

}  // namespace

TB_MODULE(sfc, "Sample formats: float/fixed-point converters, the ADC model and bit conversions.", kFunctions, {},
          F2I<F32ToI8D>, F2I<F32ToI16D>, F2I<F32ToI32D>, F2I<F32ToI16U32D>, F2I<F32ToI16U64D>, F2I<F32ToUQ15D>,
          I2F<I8ToF32D>, I2F<I16ToF32D>, I2F<I32ToF32D>, I2F<I16U32ToF32D>, I2F<I16U64ToF32D>, I2F<UQ15ToF32D>, AdcT)
