#include "core/sig/nrz.hpp"

#include <new>

#include "core/common/blob.hpp"

namespace tb {
namespace {

constexpr char kMagic[4] = {'N', 'R', 'Z', 'C'};
constexpr std::uint16_t kVersion = 1;
constexpr std::uint64_t kMaxWindow = std::uint64_t{1} << 24;

void place(nrz_cond* c) {
  c->pos_n = c->seen % c->n;
  c->pos_k = c->seen % c->k;
}

}  // namespace

nrz_cond* nrz_cond_create(std::uint64_t k, std::uint64_t n) {
  if (k < 1 || n < k || n > kMaxWindow) return nullptr;
  try {
    auto* c = new nrz_cond;
    c->k = k;
    c->n = n;
    nrz_cond_reset(c);
    return c;
  } catch (...) {
    return nullptr;
  }
}

void nrz_cond_destroy(nrz_cond* c) { delete c; }

void nrz_cond_reset(nrz_cond* c) {
  c->seen = 0;
  c->run_dc = c->run_mf = c->run_pow = 0.0;
  c->dc.assign(c->n, 0.0);
  c->mf.assign(c->k, 0.0);
  c->pw.assign(c->n, 0.0);
  place(c);
}

void nrz_cond_steps(nrz_cond* c, const double* x, float* out, std::size_t len) {
  const std::uint64_t n = c->n, k = c->k;
  double* dc = c->dc.data();
  double* mf = c->mf.data();
  double* pw = c->pw.data();
  double run_dc = c->run_dc, run_mf = c->run_mf, run_pow = c->run_pow;
  std::uint64_t t = c->seen, pn = c->pos_n, pk = c->pos_k;
  for (std::size_t i = 0; i < len; ++i, ++t) {
    const bool whole_n = t >= n;
    const double count = whole_n ? static_cast<double>(n) : static_cast<double>(t + 1);
    const double z = x[i];
    run_dc += z;
    const double total = run_dc - (whole_n ? dc[pn] : 0.0);
    dc[pn] = run_dc;
    const double d = z - total / count;
    run_mf += d;
    const double o = run_mf - (t >= k ? mf[pk] : 0.0);
    mf[pk] = run_mf;
    run_pow += o * o;
    const double p = run_pow - (whole_n ? pw[pn] : 0.0);
    pw[pn] = run_pow;
    const double level = __builtin_sqrt(p / count);
    const double floor = level != level ? level : (level > 1e-12 ? level : 1e-12);  // NaN stays NaN
    out[i] = static_cast<float>(o / floor);
    pn = pn + 1 == n ? 0 : pn + 1;
    pk = pk + 1 == k ? 0 : pk + 1;
  }
  c->run_dc = run_dc;
  c->run_mf = run_mf;
  c->run_pow = run_pow;
  c->seen = t;
  c->pos_n = pn;
  c->pos_k = pk;
}

std::size_t nrz_cond_state_bytes(const nrz_cond* c) { return kBlobHeader + 8 * (6 + 2 * c->n + c->k); }

int nrz_cond_get_state(const nrz_cond* c, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, nrz_cond_state_bytes(c));
  w.put<std::uint64_t>(c->k);
  w.put<std::uint64_t>(c->n);
  w.put<std::uint64_t>(c->seen);
  w.put<double>(c->run_dc);
  w.put<double>(c->run_mf);
  w.put<double>(c->run_pow);
  for (const std::vector<double>* v : {&c->dc, &c->mf, &c->pw})
    for (double e : *v) w.put<double>(e);
  return w.status();
}

int nrz_cond_set_state(nrz_cond* c, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, kVersion, nrz_cond_state_bytes(c));
  if (r.get<std::uint64_t>() != c->k || r.get<std::uint64_t>() != c->n || !r.ok()) return kStatusRefused;
  c->seen = r.get<std::uint64_t>();
  c->run_dc = r.get<double>();
  c->run_mf = r.get<double>();
  c->run_pow = r.get<double>();
  for (std::vector<double>* v : {&c->dc, &c->mf, &c->pw})
    for (double& e : *v) e = r.get<double>();
  place(c);
  return 0;
}

}  // namespace tb
