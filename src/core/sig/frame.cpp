#include "core/sig/frame.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/sfc/bits.hpp"
#include "core/sig/lfsr.hpp"
#include "core/sig/rs.hpp"
#include "core/sig/shaping.hpp"
#include "platform/memory.hpp"

namespace tb {

namespace {

// Kinds 0 and 4 are always available; 1, 2 and 3 form the optional set.
bool has_kernel(std::uint32_t kind, bool optional) {
  if (kind == STAGE_CRC16 || kind == STAGE_INTERLEAVE) return true;
  return optional && (kind == STAGE_RS || kind == STAGE_RANDOMISE || kind == STAGE_CONV);
}
bool emits(std::uint32_t kind) { return kind == STAGE_CONV; }

int apply(const sig_stage& s, std::uint8_t* bits, std::size_t n) {
  switch (s.kind) {
    case STAGE_CRC16: return stage_crc16_apply(bits, n);
    case STAGE_RS: return stage_rs_apply(bits, n, s.depth, s.unit_bits);  // unit_bits: the code's options
    case STAGE_RANDOMISE: stage_randomise(bits, n, s.depth); return 0;
    case STAGE_INTERLEAVE: return stage_interleave_apply(bits, n, s.depth, s.unit_bits);
    default: return -1;
  }
}

// 1 when undone (res filled), 0 when the kind has no undo, -1 on failure.
int undo(const sig_stage& s, std::uint8_t* bits, std::size_t n, sig_stage_result* res) {
  switch (s.kind) {
    case STAGE_CRC16: return stage_crc16_undo(bits, n, res) == 0 ? 1 : -1;
    case STAGE_RS: return stage_rs_undo(bits, n, s.depth, s.unit_bits, res) == 0 ? 1 : -1;
    case STAGE_RANDOMISE:
      stage_randomise(bits, n, s.depth);
      *res = {1, 1, 0, 0, 1};
      return 1;
    case STAGE_INTERLEAVE: return stage_interleave_undo(bits, n, s.depth, s.unit_bits, res) == 0 ? 1 : -1;
    default: return 0;
  }
}

void set_name(char* dst, const char* name) {
  std::memset(dst, 0, kFrameNameMax);
  if (name) std::strncpy(dst, name, kFrameNameMax - 1);
}

bool name_taken(const sig_frame* f, const char* name) {
  return name && name[0] && frame_field_index(f, name) >= 0;
}

bool open_for_append(const sig_frame* f) { return !f->built && f->n_fields < kFrameMaxFields; }

// Generates one repetition of a caller-supplied field into out[0..len).
bool generate(const sig_seq& s, std::uint8_t* out, std::uint64_t len) {
  switch (s.kind) {
    case SEQ_LITERAL:
      if (s.lit.size() < len) return false;
      for (std::uint64_t i = 0; i < len; ++i) out[i] = s.lit[i] & 1u;
      return true;
    case SEQ_PN: {
      const std::uint64_t poly = s.poly ? s.poly : mls_poly(s.reg_bits);
      pn* p = pn_create(poly, s.seed ? s.seed : 1, s.reg_bits, s.lfsr);
      if (!p) return false;
      pn_generate(p, len, out, len);
      pn_destroy(p);
      return true;
    }
    case SEQ_GOLD: {
      gold* g = gold_create(s.taps_a, s.seed_a ? s.seed_a : 1, s.taps_b, s.seed_b ? s.seed_b : 1, s.reg_bits);
      if (!g) return false;
      gold_generate(g, len, out, len);
      gold_destroy(g);
      return true;
    }
    case SEQ_DOTTED:
      for (std::uint64_t i = 0; i < len; ++i) out[i] = (i % 2 == 0) ? 1 : 0;
      return true;
    default:
      return false;
  }
}

// Materialises into `out` (emitted bits) with or without the optional
// kernels; false on any failure.
bool materialise(const sig_frame* f, bool optional, std::vector<std::uint8_t>* out) {
  sig_layout lay;
  if (frame_layout(f, &lay) != 0 || lay.emitted == 0) return false;
  for (std::uint32_t s = 0; s < f->n_stages; ++s)
    if (lay.span_bits[s] && !has_kernel(f->stages[s].kind, optional)) return false;
  if (!platform::fits_in_memory(lay.total + lay.emitted, 1)) return false;
  std::vector<std::uint8_t> frame;
  try {
    frame.assign(lay.total, 0);
  } catch (...) {
    return false;
  }
  for (std::uint32_t i = 0; i < f->n_fields; ++i) {
    const sig_field& fd = f->fields[i];
    if (fd.derived_by != 0 || lay.len[i] == 0) continue;
    std::uint8_t* at = frame.data() + lay.off[i];
    const std::uint64_t one = fd.src.length;
    if (!generate(fd.src, at, one)) return false;
    for (std::uint64_t r = one; r < lay.len[i]; r += one) std::memcpy(at + r, at, one);
  }
  const sig_stage* emitter = nullptr;
  for (std::uint32_t s = 0; s < f->n_stages; ++s) {
    if (!lay.span_bits[s]) continue;
    const sig_stage& st = f->stages[s];
    if (emits(st.kind)) {
      emitter = &st;
      continue;
    }
    if (apply(st, frame.data() + lay.span_first[s], lay.span_bits[s]) != 0) return false;
  }
  if (!emitter) {
    out->swap(frame);
    return true;
  }
  std::vector<std::uint8_t> emitted;
  try {
    emitted.assign(lay.emitted, 0);
  } catch (...) {
    return false;
  }
  if (stage_conv_encode(frame.data(), frame.size(), emitted.data(), emitted.size()) != lay.emitted) return false;
  out->swap(emitted);
  return true;
}

// Adds with overflow refusal.
bool add_to(std::uint64_t* acc, std::uint64_t v) {
  if (*acc > UINT64_MAX - v) return false;
  *acc += v;
  return true;
}

}  // namespace

sig_frame* frame_create_four(const sig_seq& preamble, std::uint64_t preamble_reps, const sig_seq& sync,
                             const sig_seq& payload, int crc16, bool build) {
  sig_frame* f = new (std::nothrow) sig_frame;
  if (!f) return nullptr;
  try {
    if (preamble_reps != 0) {
      f->fields[0].src = preamble;
      f->fields[0].reps = preamble_reps;
    }
    f->fields[1].src = sync;
    f->fields[2].src = payload;
  } catch (...) {
    delete f;
    return nullptr;
  }
  f->fields[3].derived_bits = 16;
  f->fields[3].derived_by = 1;
  f->n_fields = 4;
  f->stages[0] = {STAGE_CRC16, 2, crc16 ? 2u : 0u, 0, 0, 0, 0};
  f->n_stages = 1;
  sig_layout lay;
  const bool laid = frame_layout(f, &lay) == 0 && lay.total > 0;
  if (!build) {
    if (!laid) {
      f->n_fields = 0;
      f->n_stages = 0;
      for (sig_field& fd : f->fields) fd = sig_field{};
      f->stages[0] = sig_stage{};
    }
    return f;
  }
  std::vector<std::uint8_t> bits;
  if (!laid || !materialise(f, false, &bits) || bits.size() != lay.total) {
    delete f;
    return nullptr;
  }
  f->lay = lay;
  const std::uint64_t named[9] = {lay.off[0], lay.len[0], lay.off[1], lay.len[1], lay.off[2],
                                  lay.len[2], lay.off[3], lay.len[3], lay.total};
  std::memcpy(f->named, named, sizeof named);
  f->bits.swap(bits);
  f->nbits = lay.emitted;
  f->built = true;
  return f;
}

void frame_destroy(sig_frame* f) { delete f; }

std::int64_t frame_add_field(sig_frame* f, const sig_field& field) {
  if (!open_for_append(f) || name_taken(f, field.name)) return -1;
  try {
    sig_field copy = field;
    if (copy.derived_by != 0) copy.src = sig_seq{};
    f->fields[f->n_fields] = std::move(copy);
  } catch (...) {
    return -1;
  }
  return f->n_fields++;
}

std::int64_t frame_add_value(sig_frame* f, const char* name, std::uint64_t value, std::uint32_t bits,
                             std::uint64_t reps) {
  if (!open_for_append(f) || bits < 1 || bits > 64 || name_taken(f, name)) return -1;
  if (bits < 64 && (value >> bits) != 0) return -1;  // the value must fit the declared width
  sig_field fd;
  set_name(fd.name, name);
  try {
    fd.src.lit.assign(bits, 0);
  } catch (...) {
    return -1;
  }
  if (int_to_bin(value, bits, fd.src.lit.data(), bits, kBitOrderBig) != bits) return -1;
  fd.src.length = bits;
  fd.reps = reps;
  return frame_add_field(f, fd);
}

std::int64_t frame_add_hex(sig_frame* f, const char* name, const char* hex, std::uint64_t reps) {
  if (!open_for_append(f) || !hex || name_taken(f, name)) return -1;
  const std::size_t len = std::strlen(hex);
  if (len == 0 || len > (1u << 20)) return -1;
  sig_field fd;
  set_name(fd.name, name);
  try {
    fd.src.lit.assign(4 * len, 0);
  } catch (...) {
    return -1;
  }
  if (hex_to_bin(hex, len, fd.src.lit.data(), 4 * len, kBitOrderBig) != 4 * len) return -1;
  fd.src.length = 4 * len;
  fd.reps = reps;
  return frame_add_field(f, fd);
}

std::int64_t frame_add_derived(sig_frame* f, const char* name, std::uint64_t bits) {
  if (!open_for_append(f) || bits == 0 || name_taken(f, name)) return -1;
  sig_field fd;
  set_name(fd.name, name);
  fd.derived_bits = bits;
  return frame_add_field(f, fd);
}

int frame_name_field(sig_frame* f, std::uint32_t index, const char* name) {
  if (f->built || index >= f->n_fields) return -1;
  char want[kFrameNameMax];
  set_name(want, name);
  if (want[0]) {
    const std::int64_t at = frame_field_index(f, want);
    if (at >= 0 && at != static_cast<std::int64_t>(index)) return -1;
  }
  std::memcpy(f->fields[index].name, want, kFrameNameMax);
  return 0;
}

std::int64_t frame_field_index(const sig_frame* f, const char* name) {
  if (!name || !name[0]) return -1;
  char want[kFrameNameMax];
  set_name(want, name);
  for (std::uint32_t i = 0; i < f->n_fields; ++i)
    if (std::memcmp(f->fields[i].name, want, kFrameNameMax) == 0) return i;
  return -1;
}

std::int64_t frame_add_stage(sig_frame* f, const sig_stage& s) {
  if (f->built || f->n_stages >= kFrameMaxStages) return -1;
  f->stages[f->n_stages] = s;
  return f->n_stages++;
}

std::int64_t frame_add_stage_over(sig_frame* f, std::uint32_t kind, const char* first, const char* last,
                                  std::uint32_t depth, std::uint32_t unit_bits) {
  if (f->built || f->n_stages >= kFrameMaxStages) return -1;
  const std::int64_t a = frame_field_index(f, first), b = frame_field_index(f, last);
  if (a < 0 || b < 0 || b < a) return -1;
  const std::int64_t idx = frame_add_stage(
      f, {kind, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b - a + 1), depth, unit_bits, 0, 0});
  sig_field& lf = f->fields[b];
  if (idx >= 0 && lf.derived_bits != 0 && lf.src.length == 0 && lf.derived_by == 0)
    lf.derived_by = static_cast<std::uint32_t>(idx + 1);
  return idx;
}

int frame_layout(const sig_frame* f, sig_layout* out) {
  sig_layout lay;
  if (f->n_fields > kFrameMaxFields || f->n_stages > kFrameMaxStages) return -1;
  lay.n_fields = f->n_fields;
  lay.n_stages = f->n_stages;
  for (std::uint32_t s = 0; s < f->n_stages; ++s) {
    const sig_stage& st = f->stages[s];
    if (st.n_fields != 0 &&
        (st.first_field >= f->n_fields || st.n_fields > f->n_fields - st.first_field))
      return -1;
  }
  // Caller-supplied fields first; derived ones need their covers' bits.
  for (std::uint32_t i = 0; i < f->n_fields; ++i) {
    const sig_field& fd = f->fields[i];
    if (fd.derived_by != 0) continue;
    if (fd.src.length == 0) {
      if (fd.derived_bits != 0) return -1;  // declared derived, nobody produces it
      continue;
    }
    const std::uint64_t reps = fd.reps ? fd.reps : 1;
    if (fd.src.length > UINT64_MAX / reps) return -1;
    lay.len[i] = fd.src.length * reps;
  }
  for (std::uint32_t i = 0; i < f->n_fields; ++i) {
    const sig_field& fd = f->fields[i];
    if (fd.derived_by == 0) continue;
    const std::uint32_t s = fd.derived_by - 1;
    if (s >= f->n_stages) return -1;
    const sig_stage& st = f->stages[s];
    if (st.n_fields == 0) continue;
    if (i != st.first_field + st.n_fields - 1) return -1;
    bool any = false;
    for (std::uint32_t k = st.first_field; k <= i; ++k)
      if (f->fields[k].derived_by == 0 && lay.len[k] != 0) any = true;
    lay.len[i] = any ? fd.derived_bits : 0;
  }
  std::uint64_t off = 0;
  for (std::uint32_t i = 0; i < f->n_fields; ++i) {
    lay.off[i] = off;
    if (!add_to(&off, lay.len[i])) return -1;
  }
  lay.total = off;
  lay.emitted = lay.total;
  int emitters = 0;
  for (std::uint32_t s = 0; s < f->n_stages; ++s) {
    const sig_stage& st = f->stages[s];
    if (st.n_fields == 0) continue;
    std::uint64_t bits = 0;
    for (std::uint32_t k = st.first_field; k < st.first_field + st.n_fields; ++k)
      if (!add_to(&bits, lay.len[k])) return -1;
    if (bits == 0) continue;
    lay.span_first[s] = lay.off[st.first_field];
    lay.span_bits[s] = bits;
    if (st.emit_num != 0 && st.emit_den != 0) {
      if (++emitters > 1 || bits != lay.total) return -1;
      if (lay.total > UINT64_MAX / st.emit_num) return -1;
      lay.emitted = lay.total * st.emit_num / st.emit_den;
    } else if (emitters) {
      return -1;  // a stage after the one that replaced the frame would act on nothing sent
    }
    if (emits(st.kind) && !(st.emit_num != 0 && st.emit_den != 0 && lay.emitted == 2 * lay.total)) return -1;
  }
  *out = lay;
  return 0;
}

int frame_build(sig_frame* f) {
  if (f->built) return -1;
  sig_layout lay;
  if (frame_layout(f, &lay) != 0 || lay.emitted == 0) return -1;
  std::vector<std::uint8_t> bits;
  if (!materialise(f, true, &bits) || bits.size() != lay.emitted) return -1;
  f->lay = lay;
  f->bits.swap(bits);
  f->nbits = lay.emitted;
  f->built = true;
  return 0;
}

int frame_check(const sig_frame* f, std::uint8_t* work, std::size_t n, frame_check_t* out) {
  frame_check_t rec;
  rec.stages = f->n_stages;
  sig_layout lay;
  if (frame_layout(f, &lay) != 0 || n < lay.total) {
    *out = frame_check_t{};
    return -1;
  }
  for (std::uint32_t k = f->n_stages; k-- > 0;) {
    if (!lay.span_bits[k] || !has_kernel(f->stages[k].kind, true)) continue;
    sig_stage_result r{};
    const int u = undo(f->stages[k], work + lay.span_first[k], lay.span_bits[k], &r);
    if (u < 0) {
      *out = frame_check_t{};
      return -1;
    }
    if (u == 0) continue;
    rec.res[k] = r;
    rec.reversed += 1;
  }
  if (rec.reversed == 0) {
    *out = frame_check_t{};
    return -1;
  }
  int status = 1;
  for (std::uint32_t k = 0; k < f->n_stages; ++k)
    if (rec.res[k].reversed && rec.res[k].ok != rec.res[k].units) status = 0;
  *out = rec;
  return status;
}

std::size_t frame_deframe(sig_frame* f, const std::uint8_t* rx, std::size_t n, std::uint8_t* out, std::size_t cap) {
  f->rx_checked = f->rx_units = f->rx_ok = f->rx_symbols = 0;
  sig_layout lay;
  if (frame_layout(f, &lay) != 0 || n < lay.total || cap < lay.total) return 0;
  std::memcpy(out, rx, lay.total);
  frame_check_t rec;
  if (frame_check(f, out, lay.total, &rec) >= 0) {
    f->rx_checked = rec.reversed;
    for (const sig_stage_result& r : rec.res) {
      if (!r.reversed) continue;
      f->rx_units += r.units;
      f->rx_ok += r.ok;
      f->rx_symbols += r.symbols;
    }
  }
  return lay.total;
}

int frame_crc_ok(const sig_frame* f, const std::uint8_t* rx, std::size_t n) {
  if (n < f->nbits) return -1;
  sig_layout lay;
  if (frame_layout(f, &lay) != 0) return -1;
  for (std::uint32_t s = 0; s < f->n_stages; ++s) {
    const sig_stage& st = f->stages[s];
    if (st.kind != STAGE_CRC16 || !lay.span_bits[s]) continue;
    const std::uint64_t span = lay.span_bits[s], l = lay.len[st.first_field + st.n_fields - 1];
    if (l == 0 || l > span || l > 64 || lay.span_first[s] + span > n) return -1;
    const std::uint8_t* p = rx + lay.span_first[s];
    std::uint64_t got = 0;
    for (std::uint64_t i = span - l; i < span; ++i) got = (got << 1) | (p[i] & 1u);
    return crc16_bits(p, span - l) == got ? 1 : 0;
  }
  return -1;
}

}  // namespace tb
