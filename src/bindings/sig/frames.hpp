// sig.Frame and sig.FrameDesc: one frame-description record behind two
// constructors (built at once, or left open for appends and build()), with
// the struct sequences FrameLayout and FrameCheck.
#pragma once
#include <vector>

#include "bindings/frame.hpp"
#include "core/sig/frame.hpp"

namespace tb::py {

inline PyTypeObject* g_frame_layout_type = nullptr;
inline PyTypeObject* g_frame_check_type = nullptr;
inline PyTypeObject* g_frame_checks_type = nullptr;

inline PyStructSequence_Field kFrameLayoutFields[] = {
    {"preamble_off", "first bit of the preamble"},
    {"preamble_bits", "preamble length in bits"},
    {"sync_off", "first bit of the sync word"},
    {"sync_bits", "sync length in bits"},
    {"payload_off", "first bit of the payload"},
    {"payload_bits", "payload length in bits"},
    {"crc_off", "first bit of the CRC"},
    {"crc_bits", "16, or 0 when crc is unset or the payload is empty — a CRC over nothing protects nothing"},
    {"total_bits", "frame length in bits"},
    {nullptr, nullptr}};
inline PyStructSequence_Desc kFrameLayoutDesc = {"tamberl.sig.FrameLayout",
                                                 "Where the four fields of a Frame land, in bits.",
                                                 kFrameLayoutFields, 9};
inline PyStructSequence_Field kFrameCheckFields[] = {
    {"passed", "1 when every reversed stage came out good (0 when nothing was reversed)"},
    {"stages", "the description's stage count"},
    {"checked", "stages reversed"},
    {"units", "checks performed"},
    {"ok", "checks that came out good, clean or repaired"},
    {"corrected", "checks that needed and received repair"},
    {"symbols", "symbol errors repaired"},
    {nullptr, nullptr}};
inline PyStructSequence_Desc kFrameCheckDesc = {"tamberl.sig.FrameCheck",
                                                "A truth-free check of a received frame.", kFrameCheckFields, 7};
// The same fields, each an array over the frames of one check_many call
// (passed uint8, the rest uint32).
inline PyStructSequence_Desc kFrameChecksDesc = {"tamberl.sig.FrameChecks",
                                                 "Truth-free checks of many received frames, a row each.",
                                                 kFrameCheckFields, 7};

inline PyObject* struct_seq(PyTypeObject* type, std::initializer_list<unsigned long long> values) {
  PyObject* s = PyStructSequence_New(type);
  if (!s) return nullptr;
  Py_ssize_t i = 0;
  for (unsigned long long v : values) {
    PyObject* o = PyLong_FromUnsignedLongLong(v);
    if (!o) {
      Py_DECREF(s);
      return nullptr;
    }
    PyStructSequence_SetItem(s, i++, o);
  }
  return s;
}

inline int seq_kind(const char* keyword, const char* given) {
  return choice(keyword, given, {"literal", "pn", "gold", "dotted"});
}
inline int lfsr_kind(const char* keyword, const char* given) { return choice(keyword, given, {"galois", "fibonacci"}); }

// One field's source from its keywords: a literal takes the array (copied),
// a generated kind its nbits.
inline bool load_seq(tb::sig_seq* s, PyObject* arr, int kind, unsigned long long nbits, unsigned long long poly,
                     unsigned long long seed, unsigned int reg_bits, int lfsr, unsigned long long ta,
                     unsigned long long sa, unsigned long long tb_, unsigned long long sb) {
  s->kind = static_cast<std::uint32_t>(kind);
  if (kind == tb::SEQ_LITERAL) {
    In<std::uint8_t, true> a;
    if (!a.convert(arr)) return false;
    try {
      s->lit.assign(a.data(), a.data() + a.size());
    } catch (...) {
      PyErr_NoMemory();
      return false;
    }
    s->length = a.size();
  } else {
    s->length = nbits;
  }
  s->poly = poly;
  s->seed = seed;
  s->reg_bits = reg_bits;
  s->lfsr = static_cast<std::uint32_t>(lfsr);
  s->taps_a = ta;
  s->seed_a = sa;
  s->taps_b = tb_;
  s->seed_b = sb;
  return true;
}

inline constexpr const char* kFrameRefused =
    "frame geometry is empty or a field is unbuildable (a literal with no array, or a generated field with no "
    "register width)";

template <bool Build>
inline tb::sig_frame* frame_create(PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {
      "preamble", "sync", "payload",
      "preamble_kind", "preamble_nbits", "preamble_reps", "preamble_poly", "preamble_seed", "preamble_reg_bits",
      "preamble_lfsr", "preamble_taps_a", "preamble_seed_a", "preamble_taps_b", "preamble_seed_b",
      "sync_kind", "sync_nbits", "sync_poly", "sync_seed", "sync_reg_bits", "sync_lfsr", "sync_taps_a",
      "sync_seed_a", "sync_taps_b", "sync_seed_b",
      "payload_kind", "payload_nbits", "payload_poly", "payload_seed", "payload_reg_bits", "payload_lfsr",
      "payload_taps_a", "payload_seed_a", "payload_taps_b", "payload_seed_b", "crc", nullptr};
  PyObject *pre, *syn, *pay;
  const char *pk = "literal", *pl = "galois", *sk = "literal", *sl = "galois", *yk = "literal", *yl = "galois",
             *crc = "none";
  unsigned long long pn_ = 0, preps = 0, pp = 0, ps = 0, pta = 0, psa = 0, ptb = 0, psb = 0;
  unsigned long long sn = 0, sp = 0, ss = 0, sta = 0, ssa = 0, stb = 0, ssb = 0;
  unsigned long long yn = 0, yp = 0, ys = 0, yta = 0, ysa = 0, ytb = 0, ysb = 0;
  unsigned int pr = 0, sr = 0, yr = 0;
  if (!parse(args, kw, "OOO|sKKKKIsKKKKsKKKIsKKKKsKKKIsKKKKs", kwlist, &pre, &syn, &pay, &pk, &pn_, &preps, &pp,
             &ps, &pr, &pl, &pta, &psa, &ptb, &psb, &sk, &sn, &sp, &ss, &sr, &sl, &sta, &ssa, &stb, &ssb, &yk, &yn,
             &yp, &ys, &yr, &yl, &yta, &ysa, &ytb, &ysb, &crc))
    return nullptr;
  const int pki = seq_kind("preamble_kind", pk);
  if (pki < 0) return nullptr;
  const int ski = seq_kind("sync_kind", sk);
  if (ski < 0) return nullptr;
  const int yki = seq_kind("payload_kind", yk);
  if (yki < 0) return nullptr;
  const int pli = lfsr_kind("preamble_lfsr", pl);
  if (pli < 0) return nullptr;
  const int sli = lfsr_kind("sync_lfsr", sl);
  if (sli < 0) return nullptr;
  const int yli = lfsr_kind("payload_lfsr", yl);
  if (yli < 0) return nullptr;
  const int c = choice("crc", crc, {"none", "crc16"});
  if (c < 0) return nullptr;
  tb::sig_seq a, b, d;
  if (!load_seq(&a, pre, pki, pn_, pp, ps, pr, pli, pta, psa, ptb, psb) ||
      !load_seq(&b, syn, ski, sn, sp, ss, sr, sli, sta, ssa, stb, ssb) ||
      !load_seq(&d, pay, yki, yn, yp, ys, yr, yli, yta, ysa, ytb, ysb))
    return nullptr;
  return created_or_refused(tb::frame_create_four(a, preps, b, d, c, Build), kFrameRefused);
}

template <class T>
struct FrameMethods {
  using Rec = tb::sig_frame;
  // A description is its construction plus every append, in order.
  static constexpr Journaled journaled[] = {{"add_field", false},  {"add_value", false}, {"add_hex", false},
                                            {"add_derived", false}, {"name_field", false}, {"build", false},
                                            {"add_stage", false},  {"add_stage_over", false}};
  static void destroy(Rec* r) { tb::frame_destroy(r); }
  static constexpr const char* repr_attrs[] = {"nbits"};

  static PyObject* refused(long long rc, const char* msg) { return raise_for(rc, msg); }
  static PyObject* index_or_refuse(std::int64_t rc, const char* msg) {
    return rc < 0 ? refused(rc, msg) : to_py(rc);
  }

  static PyObject* add_field(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"lit", "kind", "gen_len", "reps", "poly", "seed", "reg_bits", "lfsr",
                                         "taps_a", "seed_a", "taps_b", "seed_b", "derived_by", "derived_bits",
                                         nullptr};
    PyObject* lit;
    const char *kind = "literal", *lfsr = "galois";
    unsigned long long gen = 0, reps = 0, poly = 0, seed = 0, ta = 0, sa = 0, tb_ = 0, sb = 0, dbits = 0;
    unsigned int reg = 0, dby = 0;
    if (!parse(args, kw, "O|sKKKKIsKKKKIK", kwlist, &lit, &kind, &gen, &reps, &poly, &seed, &reg, &lfsr, &ta, &sa,
               &tb_, &sb, &dby, &dbits))
      return nullptr;
    static const char* const kinds[] = {"literal", "pn", "gold", "dotted"};
    int k = -1;
    for (int i = 0; i < 4; ++i)
      if (std::strcmp(kind, kinds[i]) == 0) k = i;
    if (k < 0) {
      PyErr_Format(PyExc_ValueError, "invalid kind '%s' (choices: literal, pn, gold, dotted)", kind);
      return nullptr;
    }
    const int l = std::strcmp(lfsr, "galois") == 0 ? 0 : (std::strcmp(lfsr, "fibonacci") == 0 ? 1 : -1);
    if (l < 0) {
      PyErr_Format(PyExc_ValueError, "invalid lfsr '%s' (choices: galois, fibonacci)", lfsr);
      return nullptr;
    }
    tb::sig_field f;
    if (!load_seq(&f.src, lit, k, gen, poly, seed, reg, l, ta, sa, tb_, sb)) return nullptr;
    f.reps = reps;
    f.derived_by = dby;
    f.derived_bits = dbits;
    return index_or_refuse(tb::frame_add_field(r, f),
                           "cannot append a field: the description is full, already built, or the literal could "
                           "not be copied");
  }
  static PyObject* add_value(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"name", "value", "bits", "reps", nullptr};
    const char* name;
    unsigned long long value, reps = 0;
    unsigned int bits;
    if (!parse(args, kw, "sKI|K", kwlist, &name, &value, &bits, &reps)) return nullptr;
    return index_or_refuse(tb::frame_add_value(r, name, value, bits, reps),
                           "cannot append a value field: the description is full, already built, or the value does "
                           "not fit the declared width");
  }
  static PyObject* add_hex(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"name", "hex", "reps", nullptr};
    const char *name, *hex;
    unsigned long long reps = 0;
    if (!parse(args, kw, "ss|K", kwlist, &name, &hex, &reps)) return nullptr;
    return index_or_refuse(tb::frame_add_hex(r, name, hex, reps),
                           "cannot append a hex field: the description is full, already built, or the digits could "
                           "not be expanded");
  }
  static PyObject* add_derived(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"name", "bits", nullptr};
    const char* name;
    unsigned long long bits;
    if (!parse(args, kw, "sK", kwlist, &name, &bits)) return nullptr;
    return index_or_refuse(tb::frame_add_derived(r, name, bits),
                           "cannot append a derived field: the description is full or already built");
  }
  static PyObject* name_field(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"index", "name", nullptr};
    unsigned int index;
    const char* name;
    if (!parse(args, kw, "Is", kwlist, &index, &name)) return nullptr;
    const int rc = tb::frame_name_field(r, index, name);
    if (rc != 0)
      return refused(rc, "cannot name a field: the index is out of range, another field already carries the name, "
                         "or the frame is already built");
    return none();
  }
  static PyObject* field_index(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"name", nullptr};
    const char* name;
    if (!parse(args, kw, "s", kwlist, &name)) return nullptr;
    return to_py(tb::frame_field_index(r, name));
  }
  static PyObject* build(Rec* r) {
    const int rc = tb::frame_build(r);
    if (rc != 0)
      return refused(rc, "cannot build: the description is empty, unbuildable, names a stage no kernel here covers, "
                         "or was already built");
    return none();
  }
  static PyObject* bits(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"count", "out", nullptr};
    Py_ssize_t count = 1;
    PyObject* outo = nullptr;
    if (!parse(args, kw, "|nO", kwlist, &count, &outo)) return nullptr;
    if (count < 0) {
      PyErr_SetString(PyExc_ValueError, "bits: count must be >= 0");
      return nullptr;
    }
    const std::size_t nb = r->nbits, c = static_cast<std::size_t>(count);
    if (nb && c > SIZE_MAX / nb) {
      PyErr_Format(PyExc_MemoryError, "%zu frames of %zu bits do not fit in this machine's memory", c, nb);
      return nullptr;
    }
    const std::size_t need = c * nb;
    if ((outo == nullptr || outo == Py_None) && !size_fits(need, 1)) return nullptr;
    OutV<std::uint8_t> out;
    if (!out.prepare(outo, need)) return nullptr;
    const std::size_t frames = nb ? std::min(c, out.capacity() / nb) : 0;
    for (std::size_t k = 0; k < frames; ++k) std::memcpy(out.data() + k * nb, r->bits.data(), nb);
    return out.finish(frames * nb);
  }
  static PyObject* bits_max_out(Rec* r, PyObject* arg) {
    const Py_ssize_t n = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    return to_py(static_cast<unsigned long long>(n < 0 ? 0 : n) * r->nbits);
  }
  static PyObject* layout(Rec* r) {
    const std::uint64_t* v = r->named;
    return struct_seq(g_frame_layout_type, {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]});
  }
  static PyObject* n_fields(Rec* r) { return to_py(r->n_fields); }
  static PyObject* n_stages(Rec* r) { return to_py(r->n_stages); }
  template <int What>
  static PyObject* indexed(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"i", nullptr};
    unsigned long long i;
    if (!parse(args, kw, "K", kwlist, &i)) return nullptr;
    const tb::sig_layout& l = r->lay;
    std::uint64_t v = 0;
    if (What < 2 && i < l.n_fields) v = What == 0 ? l.off[i] : l.len[i];
    if (What >= 2 && i < l.n_stages) v = What == 2 ? l.span_first[i] : l.span_bits[i];
    return to_py(v);
  }
  static PyObject* add_stage(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"kind", "first_field", "n_fields", "depth", "emit_num", "emit_den",
                                         "unit_bits", nullptr};
    int kind = 0;
    unsigned int ff = 0, nf = 0, depth = 0, en = 0, ed = 0, ub = 0;
    if (!parse(args, kw, "|iIIIIII", kwlist, &kind, &ff, &nf, &depth, &en, &ed, &ub)) return nullptr;
    return index_or_refuse(
        tb::frame_add_stage(r, {static_cast<std::uint32_t>(kind), ff, nf, depth, ub, en, ed}),
        "cannot append a stage: the description is full or already built");
  }
  static PyObject* add_stage_over(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"kind", "first", "last", "depth", "unit_bits", nullptr};
    int kind;
    const char *first, *last;
    unsigned int depth = 0, ub = 0;
    if (!parse(args, kw, "iss|II", kwlist, &kind, &first, &last, &depth, &ub)) return nullptr;
    return index_or_refuse(
        tb::frame_add_stage_over(r, static_cast<std::uint32_t>(kind), first, last, depth, ub),
        "cannot append a stage: the description is full, already built, or names a field the description does not "
        "carry (and `last` must not precede `first`)");
  }
  static PyObject* crc_ok(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"rx_bits", nullptr};
    PyObject* o;
    if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
    In<std::uint8_t, true> rx;
    if (!rx.convert(o)) return nullptr;
    return to_py(static_cast<long long>(tb::frame_crc_ok(r, rx.data(), rx.size())));
  }
  // A check's report as the seven FrameCheck numbers.
  static void tally(int status, const tb::frame_check_t& rec, unsigned long long v[7]) {
    for (int i = 0; i < 7; ++i) v[i] = 0;
    if (status < 0) return;
    v[0] = status == 1 ? 1 : 0;
    v[1] = rec.stages;
    v[2] = rec.reversed;
    for (const tb::sig_stage_result& s : rec.res) {
      if (!s.reversed) continue;
      v[3] += s.units;
      v[4] += s.ok;
      v[5] += s.corrected;
      v[6] += s.symbols;
    }
  }
  static PyObject* check(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"rx_bits", nullptr};
    PyObject* o;
    if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
    In<std::uint8_t, true> rx;
    if (!rx.convert(o)) return nullptr;
    std::vector<std::uint8_t> work;
    try {
      work.assign(rx.data(), rx.data() + rx.size());
    } catch (...) {
      return PyErr_NoMemory();
    }
    tb::frame_check_t rec;
    int status;
    {
      NoGil g;
      status = tb::frame_check(r, work.data(), work.size(), &rec);
    }
    unsigned long long v[7];
    tally(status, rec, v);
    return struct_seq(g_frame_check_type, {v[0], v[1], v[2], v[3], v[4], v[5], v[6]});
  }
  // check() over every row of a 2-D array in one call, the interpreter lock
  // released throughout; optionally each row's undone frame into `out`
  // (uint8, rows x total bits).
  static PyObject* check_many(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"frames", "out", nullptr};
    PyObject *o, *outo = nullptr;
    if (!parse(args, kw, "O|O", kwlist, &o, &outo)) return nullptr;
    In<std::uint8_t, true> rx;
    if (!rx.convert(o)) return nullptr;
    if (PyArray_NDIM(rx.array()) != 2) {
      PyErr_SetString(PyExc_ValueError, "FrameDesc.check_many: frames must be a 2-D array, one frame per row");
      return nullptr;
    }
    const std::size_t rows = static_cast<std::size_t>(PyArray_DIM(rx.array(), 0));
    const std::size_t cols = static_cast<std::size_t>(PyArray_DIM(rx.array(), 1));
    const std::size_t total = r->lay.total;
    std::uint8_t* outp = nullptr;
    if (outo && outo != Py_None) {
      if (!out_ok<std::uint8_t>(outo)) return nullptr;
      PyArrayObject* a = reinterpret_cast<PyArrayObject*>(outo);
      if (PyArray_NDIM(a) != 2 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != rows ||
          static_cast<std::size_t>(PyArray_DIM(a, 1)) != total) {
        PyErr_Format(PyExc_ValueError, "FrameDesc.check_many: out must have shape (%zu, %zu)", rows, total);
        return nullptr;
      }
      outp = static_cast<std::uint8_t*>(PyArray_DATA(a));
    }
    PyObject* cols_out[7] = {};
    npy_intp dim = static_cast<npy_intp>(rows);
    for (int i = 0; i < 7; ++i) {
      cols_out[i] = PyArray_SimpleNew(1, &dim, i == 0 ? NPY_UINT8 : NPY_UINT32);
      if (!cols_out[i]) {
        for (PyObject* c : cols_out) Py_XDECREF(c);
        return nullptr;
      }
    }
    std::vector<std::uint8_t> work;
    try {
      work.resize(cols);
    } catch (...) {
      for (PyObject* c : cols_out) Py_XDECREF(c);
      return PyErr_NoMemory();
    }
    {
      NoGil g;
      for (std::size_t i = 0; i < rows; ++i) {
        const std::uint8_t* row = rx.data() + i * cols;
        std::copy(row, row + cols, work.begin());
        tb::frame_check_t rec;
        const int status = tb::frame_check(r, work.data(), cols, &rec);
        unsigned long long v[7];
        tally(status, rec, v);
        static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(cols_out[0])))[i] =
            static_cast<std::uint8_t>(v[0]);
        for (int c = 1; c < 7; ++c)
          static_cast<std::uint32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(cols_out[c])))[i] =
              static_cast<std::uint32_t>(v[c]);
        if (outp) {
          std::uint8_t* dst = outp + i * total;
          if (cols >= total) std::copy(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(total), dst);
          else std::fill(dst, dst + total, std::uint8_t{0});
        }
      }
    }
    PyObject* s = PyStructSequence_New(g_frame_checks_type);
    if (!s) {
      for (PyObject* c : cols_out) Py_XDECREF(c);
      return nullptr;
    }
    for (int i = 0; i < 7; ++i) PyStructSequence_SetItem(s, i, cols_out[i]);
    return s;
  }
  static PyObject* deframe(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"rx_bits", "out", nullptr};
    PyObject *o, *outo = nullptr;
    if (!parse(args, kw, "O|O", kwlist, &o, &outo)) return nullptr;
    In<std::uint8_t, true> rx;
    if (!rx.convert(o)) return nullptr;
    const std::size_t total = r->lay.total;
    OutV<std::uint8_t> out;
    if (!out.prepare(outo, total)) return nullptr;
    const std::size_t k = tb::frame_deframe(r, rx.data(), rx.size(), out.data(), out.capacity());
    return out.finish(k);
  }
  static PyObject* deframe_max_out(Rec* r, PyObject*) { return to_py(static_cast<unsigned long long>(r->lay.total)); }
  static std::uint64_t nbits_of(const Rec* r) { return r->nbits; }

  static std::vector<PyMethodDef> methods() {
    return rows(
        method<T, &add_field>("add_field", "add_field(lit, kind=\"literal\", gen_len=0, reps=0, poly=0, seed=0, "
                                           "reg_bits=0, lfsr=\"galois\", taps_a=0, seed_a=0, taps_b=0, seed_b=0, "
                                           "derived_by=0, derived_bits=0)\n--\n\nAppend a field; its index."),
        method<T, &add_value>("add_value", "add_value(name, value, bits, reps=0)\n--\n\nAppend the low bits of "
                                           "value, most significant first; its index."),
        method<T, &add_hex>("add_hex", "add_hex(name, hex, reps=0)\n--\n\nAppend 4 bits per hex digit; its index."),
        method<T, &add_derived>("add_derived", "add_derived(name, bits)\n--\n\nAppend a field a stage fills; its "
                                               "index."),
        method<T, &name_field>("name_field", "name_field(index, name)\n--\n\nName (or, with '', unname) a field."),
        method<T, &field_index>("field_index", "field_index(name)\n--\n\nThe first field carrying name, or -1."),
        method0<T, &build>("build", "build()\n--\n\nLay out and materialise the description; returns None."),
        method<T, &bits>("bits", "bits(count=1, out=None)\n--\n\ncount frames back to back (uint8 bits)."),
        method1<T, &bits_max_out>("bits_max_out", "bits_max_out(n, /)\n--\n\nn x nbits."),
        method0<T, &layout>("layout", "layout()\n--\n\nThe four-field layout (FrameLayout; zeros for a FrameDesc)."),
        method0<T, &n_fields>("n_fields", "n_fields()\n--\n\nThe field count."),
        method0<T, &n_stages>("n_stages", "n_stages()\n--\n\nThe stage count."),
        method<T, &indexed<0>>("field_off", "field_off(i)\n--\n\nFirst bit of field i (0 for no such field)."),
        method<T, &indexed<1>>("field_bits", "field_bits(i)\n--\n\nLength of field i (0 for no such field)."),
        method<T, &add_stage>("add_stage", "add_stage(kind=0, first_field=0, n_fields=0, depth=0, emit_num=0, "
                                           "emit_den=0, unit_bits=0)\n--\n\nAppend a stage; its index."),
        method<T, &add_stage_over>("add_stage_over", "add_stage_over(kind, first, last, depth=0, unit_bits=0)\n--\n\n"
                                                     "Append a stage over the named fields; its index."),
        method<T, &indexed<2>>("stage_first", "stage_first(i)\n--\n\nFirst bit of stage i's span (0 if none)."),
        method<T, &indexed<3>>("stage_bits", "stage_bits(i)\n--\n\nBits stage i covers (0 if none)."),
        method<T, &crc_ok>("crc_ok", "crc_ok(rx_bits)\n--\n\n1 pass, 0 fail, -1 no CRC or too short."),
        method<T, &check>("check", "check(rx_bits)\n--\n\nUndo the stages on a copy and report (FrameCheck), "
                                   "without any payload truth."),
        method<T, &check_many>("check_many", "check_many(frames, out=None)\n--\n\ncheck() of every row of a 2-D "
                                             "array at once (FrameChecks of per-row arrays), each row's undone "
                                             "frame into out (rows x total bits) when given."),
        method<T, &deframe>("deframe", "deframe(rx_bits, out=None)\n--\n\nThe received frame with its stages "
                                       "undone and repaired (uint8 bits)."),
        method1<T, &deframe_max_out>("deframe_max_out", "deframe_max_out(rx_bits_len, /)\n--\n\nThe description's "
                                                        "total bits."));
  }
  static std::vector<PyGetSetDef> getset() {
    return {
        computed<T, &nbits_of>("nbits", "Frame length in bits (0 until built)."),
        field<T, &Rec::rx_ok>("rx_ok", "Checks that came out good in the last deframe."),
        field<T, &Rec::rx_units>("rx_units", "Checks performed in the last deframe."),
        field<T, &Rec::rx_checked>("rx_checked", "Stages reversed in the last deframe."),
        field<T, &Rec::rx_symbols>("rx_symbols", "Symbol errors repaired in the last deframe."),
    };
  }
};

#define TB_FRAME_ARGS                                                                                              \
  "(preamble, sync, payload, preamble_kind=\"literal\", preamble_nbits=0, preamble_reps=0, preamble_poly=0, "     \
  "preamble_seed=0, preamble_reg_bits=0, preamble_lfsr=\"galois\", preamble_taps_a=0, preamble_seed_a=0, "       \
  "preamble_taps_b=0, preamble_seed_b=0, sync_kind=\"literal\", sync_nbits=0, sync_poly=0, sync_seed=0, "        \
  "sync_reg_bits=0, sync_lfsr=\"galois\", sync_taps_a=0, sync_seed_a=0, sync_taps_b=0, sync_seed_b=0, "          \
  "payload_kind=\"literal\", payload_nbits=0, payload_poly=0, payload_seed=0, payload_reg_bits=0, "              \
  "payload_lfsr=\"galois\", payload_taps_a=0, payload_seed_a=0, payload_taps_b=0, payload_seed_b=0, "            \
  "crc=\"none\")\n--\n\n"

struct FrameT : FrameMethods<FrameT> {
  static constexpr const char* name = "sig.Frame";
  static constexpr const char* doc = "Frame" TB_FRAME_ARGS
      "The frame [preamble | sync | payload | CRC], laid out and materialised by the constructor (built-in\n"
      "stage kernels only).  Its bits() are what a transmitter sends; check() and deframe() undo its stages.";
  static Rec* create(PyObject* args, PyObject* kw) { return frame_create<true>(args, kw); }
};

struct FrameDescT : FrameMethods<FrameDescT> {
  static constexpr const char* name = "sig.FrameDesc";
  static constexpr const char* doc = "FrameDesc" TB_FRAME_ARGS
      "An open frame description: the same four fields to start with (none when they lay out to nothing), then\n"
      "fields and stages appended, and build() to lay it out and materialise it with every stage kernel.";
  static Rec* create(PyObject* args, PyObject* kw) { return frame_create<false>(args, kw); }
};

#undef TB_FRAME_ARGS

}  // namespace tb::py
