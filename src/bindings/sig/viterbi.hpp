// sig.Viterbi: the streaming soft-decision decoder of the frame stages'
// convolutional code.
#pragma once
#include "bindings/frame.hpp"
#include "core/sig/viterbi.hpp"

namespace tb::py {

struct ViterbiT {
  using Rec = tb::viterbi;
  static constexpr const char* name = "sig.Viterbi";
  static constexpr const char* doc = R"(Viterbi(delay=96, start=0)
--

Soft-decision Viterbi decoder of the rate-1/2, K=7 convolutional code
(generators 0x79 and 0x5B, second output inverted) that the frame stages
encode with.  steps(soft) takes float32 symbols in the NRZ convention
(positive means bit 0; magnitude is confidence, 0 an erasure) and returns the
bits decided `delay` symbol pairs later, the same whatever the chunking;
flush() decides the rest at the end of a stream and starts over.  The
decisions are made in batches by a traceback from the best state, each bit
at least two thirds of `delay` pairs after it arrived; `start` is the
stream index of the first pair, so that decoders started at different
points of one stream batch (and decide) alike once their paths have merged.
The add-compare-select runs in SIMD registers (see tamberl.isa()), with the
same bits on every instruction set.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(viterbi)
  static constexpr const char* repr_attrs[] = {"delay", "start"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"delay", "start", nullptr};
    unsigned int delay = 96;
    unsigned long long start = 0;
    if (!parse(args, kw, "|IK", kwlist, &delay, &start)) return nullptr;
    return created_or_refused(tb::viterbi_create(delay, start), "Viterbi: delay must be between 1 and 1048576");
  }
  static PyObject* flush(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"out", nullptr};
    PyObject* outo = nullptr;
    if (!parse(args, kw, "|O", kwlist, &outo)) return nullptr;
    OutV<std::uint8_t> out;
    if (!out.prepare(outo, tb::viterbi_flush_max_out(r))) return nullptr;
    return out.finish(tb::viterbi_flush(r, out.data(), out.capacity()));
  }
  static std::uint64_t delay(const Rec* r) { return r->delay; }
  static std::uint64_t start(const Rec* r) { return r->start; }
  static std::vector<PyMethodDef> methods() {
    using V = ViterbiT;
    return rows(block_v<V, tb::viterbi_steps, tb::viterbi_steps_max_out>(
                    "steps", "The decided bits (uint8), one per symbol pair once `delay` pairs follow it."),
                method<V, &V::flush>("flush", "flush(out=None)\n--\n\nThe undecided bits at the end of a stream "
                                              "(uint8), then a reset."));
  }
  static std::vector<PyGetSetDef> getset() {
    return {computed<ViterbiT, &ViterbiT::delay>("delay", "Decision delay in symbol pairs."),
            computed<ViterbiT, &ViterbiT::start>("start", "Stream index of the first pair.")};
  }
};

}  // namespace tb::py
