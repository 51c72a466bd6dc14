// sig.HdlcRx and sig.HdlcTx: the HDLC framing of AX.25 links (NRZI, bit
// stuffing, flags, CRC-16/X.25, optionally the G3RUH scrambler).
#pragma once
#include "bindings/frame.hpp"
#include "core/sig/hdlc.hpp"

namespace tb::py {

struct HdlcRxT {
  using Rec = tb::hdlc_rx;
  static constexpr const char* name = "sig.HdlcRx";
  static constexpr const char* doc = R"(HdlcRx(g3ruh=False, max_bytes=10002)
--

HDLC frames of an AX.25 link from hard channel bits: the G3RUH descrambler
(1 + x^12 + x^17) when g3ruh, NRZI decoding (no change of level is a 1, so
the polarity does not matter), flag search, stuffed-zero removal and the
CRC-16/X.25 frame check.  steps(bits) takes bit 0 of each uint8 and returns
the frames that passed and ended in this block as uint8 records: u32 length
(little-endian), u64 stream index of the bit that ended the closing flag,
then the frame without its FCS.  Frames longer than max_bytes (FCS
included) are dropped; any chunking gives the same records.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(hdlc_rx)
  static constexpr const char* repr_attrs[] = {"g3ruh", "good", "bad"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"g3ruh", "max_bytes", nullptr};
    int g3ruh = 0;
    unsigned int max_bytes = 10002;
    if (!parse(args, kw, "|pI", kwlist, &g3ruh, &max_bytes)) return nullptr;
    return created_or_refused(tb::hdlc_rx_create(g3ruh != 0, max_bytes),
                              "HdlcRx: max_bytes must be between 3 and 1048576");
  }
  static bool g3ruh(const Rec* r) { return r->g3ruh != 0; }
  static std::uint64_t good(const Rec* r) { return r->good; }
  static std::uint64_t bad(const Rec* r) { return r->bad; }
  static std::uint64_t bits(const Rec* r) { return r->pos; }
  static std::vector<PyMethodDef> methods() {
    using H = HdlcRxT;
    return rows(block_v<H, tb::hdlc_rx_steps, tb::hdlc_rx_steps_max_out>(
        "steps", "Records of the frames that passed their check and ended in this block (uint8)."));
  }
  static std::vector<PyGetSetDef> getset() {
    using H = HdlcRxT;
    return {computed<H, &H::g3ruh>("g3ruh", "The G3RUH descrambler runs first."),
            computed<H, &H::good>("good", "Frames that passed the frame check."),
            computed<H, &H::bad>("bad", "Frames of whole bytes, 3 or more, that failed it."),
            computed<H, &H::bits>("bits", "Channel bits taken.")};
  }
};

struct HdlcTxT {
  using Rec = tb::hdlc_tx;
  static constexpr const char* name = "sig.HdlcTx";
  static constexpr const char* doc = R"(HdlcTx(g3ruh=False)
--

The transmit side of HdlcRx: frame(data, flags=4) (data: bytes or uint8
values) returns the channel bits
(uint8 0/1) of `flags` opening flags, the frame with its CRC-16/X.25 (low
byte first), bits least significant first with a zero stuffed after five
ones, and a closing flag, NRZI-encoded and, when g3ruh, scrambled; idle(n)
the bits of n flags.  The line level and scrambler carry over between
calls.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(hdlc_tx)
  static constexpr const char* repr_attrs[] = {"g3ruh"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"g3ruh", nullptr};
    int g3ruh = 0;
    if (!parse(args, kw, "|p", kwlist, &g3ruh)) return nullptr;
    return created_or_refused(tb::hdlc_tx_create(g3ruh != 0), "HdlcTx: out of memory");
  }
  static PyObject* frame(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"data", "flags", nullptr};
    PyObject* datao;
    unsigned int flags = 4;
    if (!parse(args, kw, "O|I", kwlist, &datao, &flags)) return nullptr;
    // bytes and bytearray are frames as they are, not strings to parse.
    PyObject* view = PyBytes_Check(datao) || PyByteArray_Check(datao) ? PyMemoryView_FromObject(datao) : nullptr;
    if ((PyBytes_Check(datao) || PyByteArray_Check(datao)) && !view) return nullptr;
    In<std::uint8_t> data;
    const bool ok = data.convert(view ? view : datao);
    Py_XDECREF(view);
    if (!ok) return nullptr;
    if (flags > 1u << 20) {
      PyErr_SetString(PyExc_ValueError, "HdlcTx.frame: flags must be at most 1048576");
      return nullptr;
    }
    OutV<std::uint8_t> out;
    if (!out.prepare(nullptr, tb::hdlc_tx_frame_max_out(data.size(), flags))) return nullptr;
    return out.finish(tb::hdlc_tx_frame(r, data.data(), data.size(), flags, out.data(), out.capacity()));
  }
  static PyObject* idle(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"n", nullptr};
    unsigned int n;
    if (!parse(args, kw, "I", kwlist, &n)) return nullptr;
    if (n > 1u << 24) {
      PyErr_SetString(PyExc_ValueError, "HdlcTx.idle: n must be at most 16777216");
      return nullptr;
    }
    OutV<std::uint8_t> out;
    if (!out.prepare(nullptr, 8u * n)) return nullptr;
    return out.finish(tb::hdlc_tx_idle(r, n, out.data(), out.capacity()));
  }
  static bool g3ruh(const Rec* r) { return r->g3ruh != 0; }
  static std::vector<PyMethodDef> methods() {
    using H = HdlcTxT;
    return rows(method<H, &H::frame>("frame", "frame(data, flags=4)\n--\n\nThe channel bits of one frame (uint8)."),
                method<H, &H::idle>("idle", "idle(n)\n--\n\nThe channel bits of n idle flags (uint8)."));
  }
  static std::vector<PyGetSetDef> getset() {
    return {computed<HdlcTxT, &HdlcTxT::g3ruh>("g3ruh", "The G3RUH scrambler runs last.")};
  }
};

}  // namespace tb::py
