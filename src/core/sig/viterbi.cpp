#include "core/sig/viterbi.hpp"

#include <cmath>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/status.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'V', 'I', 'T', 'B'};
constexpr std::uint16_t kVersion = 1;
constexpr std::uint32_t kMaxDelay = 1u << 20;

// The encoder: register r = (e << 6) | state (state bit 5 the newest input);
// outputs parity(r & 0x79) and the inverse of parity(r & 0x5B); next state
// r >> 1.  out[r] packs the expected (o1, o2) as +-1 levels.
struct branch_table {
  float a[128], b[128];
  branch_table() {
    for (unsigned r = 0; r < 128; ++r) {
      const unsigned o1 = static_cast<unsigned>(__builtin_parity(r & 0x79u));
      const unsigned o2 = static_cast<unsigned>(__builtin_parity(r & 0x5Bu)) ^ 1u;
      a[r] = o1 ? -1.0f : 1.0f;
      b[r] = o2 ? -1.0f : 1.0f;
    }
  }
};
const branch_table kBranch;

void seed(viterbi* v) {
  // The encoder starts at the zero state.
  for (std::uint32_t s = 0; s < kViterbiStates; ++s) v->metric[s] = s == 0 ? 0.0f : -1e30f;
  std::fill(v->surv.begin(), v->surv.end(), 0);
  v->steps = 0;
  v->pending = 0;
  v->held = 0.0f;
}

// One pair of soft symbols.
void step(viterbi* v, float s1, float s2) {
  if (!std::isfinite(s1)) s1 = 0.0f;  // an erasure
  if (!std::isfinite(s2)) s2 = 0.0f;
  float next[kViterbiStates];
  std::uint64_t word = 0;
  float best = -INFINITY;
  for (std::uint32_t ns = 0; ns < kViterbiStates; ++ns) {
    const std::uint32_t e = ns >> 5;
    const std::uint32_t p0 = (ns << 1) & 63u, p1 = p0 | 1u;  // predecessors, dropped bit 0 or 1
    const std::uint32_t r0 = (e << 6) | p0, r1 = (e << 6) | p1;
    const float m0 = v->metric[p0] + (s1 * kBranch.a[r0] + s2 * kBranch.b[r0]);
    const float m1 = v->metric[p1] + (s1 * kBranch.a[r1] + s2 * kBranch.b[r1]);
    const bool take1 = m1 > m0;
    next[ns] = take1 ? m1 : m0;
    word |= static_cast<std::uint64_t>(take1) << ns;
    if (next[ns] > best) best = next[ns];
  }
  for (std::uint32_t s = 0; s < kViterbiStates; ++s) v->metric[s] = next[s] - best;  // keep the metrics bounded
  v->surv[v->steps % v->surv.size()] = word;
  v->steps += 1;
}

std::uint32_t best_state(const viterbi* v) {
  std::uint32_t b = 0;
  for (std::uint32_t s = 1; s < kViterbiStates; ++s)
    if (v->metric[s] > v->metric[b]) b = s;
  return b;
}

// The input bit of step t (t < steps, steps - t <= ring size), traced back
// from state `from` at the newest step.
std::uint8_t decide(const viterbi* v, std::uint32_t from, std::uint64_t t) {
  std::uint32_t s = from;
  const std::uint64_t ring = v->surv.size();
  for (std::uint64_t k = v->steps; k-- > t + 1;) {
    const std::uint64_t w = v->surv[k % ring];
    s = ((s << 1) & 63u) | static_cast<std::uint32_t>((w >> s) & 1u);
  }
  return static_cast<std::uint8_t>(s >> 5);
}

}  // namespace

viterbi* viterbi_create(std::uint32_t delay) {
  if (delay == 0 || delay > kMaxDelay) return nullptr;
  viterbi* v = new (std::nothrow) viterbi;
  if (!v) return nullptr;
  try {
    v->surv.assign(delay + 1, 0);
  } catch (...) {
    delete v;
    return nullptr;
  }
  v->delay = delay;
  seed(v);
  return v;
}

void viterbi_destroy(viterbi* v) { delete v; }
void viterbi_reset(viterbi* v) { seed(v); }

std::size_t viterbi_steps_max_out(const viterbi* v, std::size_t n) { return (n + v->pending) / 2; }

std::size_t viterbi_steps(viterbi* v, const float* soft, std::size_t n, std::uint8_t* out, std::size_t cap) {
  std::size_t k = 0, i = 0;
  while (i < n) {
    if (!v->pending) {
      v->held = soft[i++];
      v->pending = 1;
      continue;
    }
    // A pair completes: it yields a bit once delay pairs follow the one decided.
    if (v->steps >= v->delay && k >= cap) break;
    v->pending = 0;
    step(v, v->held, soft[i++]);
    if (v->steps > v->delay) out[k++] = decide(v, best_state(v), v->steps - 1 - v->delay);
  }
  return k;
}

std::size_t viterbi_flush_max_out(const viterbi* v) {
  return static_cast<std::size_t>(v->steps < v->delay ? v->steps : v->delay);
}

std::size_t viterbi_flush(viterbi* v, std::uint8_t* out, std::size_t cap) {
  const std::size_t left = viterbi_flush_max_out(v);
  if (cap < left) return 0;
  const std::uint32_t b = best_state(v);
  for (std::size_t j = 0; j < left; ++j) out[j] = decide(v, b, v->steps - left + j);
  seed(v);
  return left;
}

std::size_t viterbi_state_bytes(const viterbi* v) {
  return kBlobHeader + 4 * kViterbiStates + 8 * v->surv.size() + 8 + 4 + 4;
}

int viterbi_get_state(const viterbi* v, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, viterbi_state_bytes(v));
  for (float m : v->metric) w.put<float>(m);
  for (std::uint64_t s : v->surv) w.put<std::uint64_t>(s);
  w.put<std::uint64_t>(v->steps);
  w.put<std::uint32_t>(v->pending);
  w.put<float>(v->pending ? v->held : 0.0f);
  return w.status();
}

int viterbi_set_state(viterbi* v, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, kVersion, viterbi_state_bytes(v));
  float metric[kViterbiStates];
  for (float& m : metric) m = r.get<float>();
  std::vector<std::uint64_t> surv(v->surv.size());
  for (std::uint64_t& s : surv) s = r.get<std::uint64_t>();
  const std::uint64_t steps = r.get<std::uint64_t>();
  const std::uint32_t pending = r.get<std::uint32_t>();
  const float held = r.get<float>();
  if (!r.ok() || pending > 1) return kStatusRefused;
  for (float m : metric)
    if (std::isnan(m)) return kStatusRefused;
  std::copy(metric, metric + kViterbiStates, v->metric);
  v->surv.swap(surv);
  v->steps = steps;
  v->pending = pending;
  v->held = held;
  return 0;
}

}  // namespace tb
