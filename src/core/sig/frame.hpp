// Frame descriptions: an ordered list of fields (where each field's bits
// come from) and of stages (transforms over declared spans of fields).  One
// layout rule serves the transmitter (materialisation) and the receiver
// (undoing and checking the stages), so the two cannot disagree about what
// covered what.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/sig/stages.hpp"

namespace tb {

inline constexpr std::size_t kFrameMaxFields = 16, kFrameMaxStages = 8, kFrameNameMax = 16;
enum sig_seq_kind : std::uint32_t { SEQ_LITERAL = 0, SEQ_PN = 1, SEQ_GOLD = 2, SEQ_DOTTED = 3 };

struct sig_seq {
  std::uint32_t kind = SEQ_LITERAL;
  std::uint64_t length = 0;         // bits per repetition; 0 = absent
  std::vector<std::uint8_t> lit;    // a literal's bits (bit 0 of each byte)
  std::uint64_t poly = 0, seed = 0;
  std::uint32_t reg_bits = 0, lfsr = 0;
  std::uint64_t taps_a = 0, seed_a = 0, taps_b = 0, seed_b = 0;
};

struct sig_field {
  char name[kFrameNameMax] = {};
  sig_seq src;
  std::uint64_t reps = 0;
  std::uint64_t derived_bits = 0;
  std::uint32_t derived_by = 0;  // producing stage + 1, or 0
};

struct sig_stage {
  std::uint32_t kind = 0, first_field = 0, n_fields = 0, depth = 0, unit_bits = 0, emit_num = 0, emit_den = 0;
};

struct sig_layout {
  std::uint64_t off[kFrameMaxFields] = {}, len[kFrameMaxFields] = {};
  std::uint32_t n_fields = 0;
  std::uint64_t span_first[kFrameMaxStages] = {}, span_bits[kFrameMaxStages] = {};
  std::uint32_t n_stages = 0;
  std::uint64_t total = 0, emitted = 0;
};

struct frame_check_t {
  std::uint32_t stages = 0, reversed = 0;
  sig_stage_result res[kFrameMaxStages] = {};
};

struct sig_frame {
  sig_field fields[kFrameMaxFields];
  std::uint32_t n_fields = 0;
  sig_stage stages[kFrameMaxStages];
  std::uint32_t n_stages = 0;
  sig_layout lay;                   // computed at build
  std::uint64_t named[9] = {};      // the four-field layout (a Frame only)
  std::vector<std::uint8_t> bits;   // materialised; non-empty once built
  bool built = false;
  std::uint64_t nbits = 0;
  std::uint32_t rx_checked = 0, rx_units = 0, rx_ok = 0, rx_symbols = 0;
};

// The classic [preamble | sync | payload | CRC] description; with build the
// frame is materialised with the built-in kernels only (nullptr on any
// failure), otherwise it stays open (empty when the four fields do not lay
// out to a non-zero total).
sig_frame* frame_create_four(const sig_seq& preamble, std::uint64_t preamble_reps, const sig_seq& sync,
                             const sig_seq& payload, int crc16, bool build);
void frame_destroy(sig_frame* f);

// Appends: the new index, or -1 (the description unchanged).
std::int64_t frame_add_field(sig_frame* f, const sig_field& field);
std::int64_t frame_add_value(sig_frame* f, const char* name, std::uint64_t value, std::uint32_t bits,
                             std::uint64_t reps);
std::int64_t frame_add_hex(sig_frame* f, const char* name, const char* hex, std::uint64_t reps);
std::int64_t frame_add_derived(sig_frame* f, const char* name, std::uint64_t bits);
int frame_name_field(sig_frame* f, std::uint32_t index, const char* name);
std::int64_t frame_field_index(const sig_frame* f, const char* name);
std::int64_t frame_add_stage(sig_frame* f, const sig_stage& s);
std::int64_t frame_add_stage_over(sig_frame* f, std::uint32_t kind, const char* first, const char* last,
                                  std::uint32_t depth, std::uint32_t unit_bits);

// Layout by the description's rules; -1 when a rule is violated.
int frame_layout(const sig_frame* f, sig_layout* lay);
// Lays out and materialises with the full kernel set; -1 (nothing built) on
// any failure.
int frame_build(sig_frame* f);

// The check core over a working copy of n received bits (undone in place
// when `work` is the copy the caller keeps): 1 passed, 0 failed, -1 nothing
// reversed.
int frame_check(const sig_frame* f, std::uint8_t* work, std::size_t n, frame_check_t* out);
// Copies the frame's bits from rx into out (at least total bits each) and
// undoes the stages there; sets the read-backs.  Returns the bits written.
std::size_t frame_deframe(sig_frame* f, const std::uint8_t* rx, std::size_t n, std::uint8_t* out, std::size_t cap);
int frame_crc_ok(const sig_frame* f, const std::uint8_t* rx, std::size_t n);

}  // namespace tb
