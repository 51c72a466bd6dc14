// tamberl.sig: code generators, the synthesiser, pulse-shaping and
// link-budget helpers.
#include "bindings/sig/bitline.hpp"
#include "bindings/sig/codes.hpp"
#include "bindings/sig/frames.hpp"
#include "bindings/sig/functions.hpp"
#include "bindings/sig/hdlc.hpp"
#include "bindings/sig/synth.hpp"
#include "bindings/sig/viterbi.hpp"

using namespace tb::py;

namespace {

PyMethodDef kFunctions[] = {
    function("rrc_taps", py_rrc_taps,
             "rrc_taps(beta, sps, span)\n--\n\nRoot-raised-cosine taps (float32): 2 sps span + 1 of them over span "
             "symbols each side, unit energy."),
    function("rrc_h", py_pulse<tb::rrc_h>,
             "rrc_h(t, beta)\n--\n\nThe root-raised-cosine pulse at times t (symbol periods), unnormalised "
             "(float64); zeros for beta outside [0, 1]."),
    function("rc_h", py_pulse<tb::rc_h>,
             "rc_h(t, beta)\n--\n\nThe raised-cosine (Nyquist) pulse at times t (symbol periods), float64; zeros "
             "for beta outside [0, 1]."),
    function("sig_awgn_amplitude", py_awgn_amplitude,
             "sig_awgn_amplitude(snr_db, signal_power)\n--\n\nPer-component noise standard deviation for an SNR over "
             "the full sample rate (float)."),
    function("sig_ebno_to_snr_db", py_ebno_to_snr,
             "sig_ebno_to_snr_db(ebno_db, bits_per_symbol, samples_per_symbol)\n--\n\nThe SNR over the full sample "
             "rate for an Eb/N0 (float)."),
    function("bpsk_map", py_map<tb::bpsk_map, "bits">,
             "bpsk_map(bits)\n--\n\nBit 0 of each byte to +1 (0) or -1 (1), complex64."),
    function("qpsk_map", py_map<tb::qpsk_map, "syms">,
             "qpsk_map(syms)\n--\n\nGray QPSK, complex64: bit 0 negates I, bit 1 negates Q, both at 1/sqrt(2)."),
    function("crc16", py_crc16,
             "crc16(bits)\n--\n\nCRC-16-CCITT (0x1021, register 0xFFFF, no reflection or final XOR) over bit 0 of "
             "each byte, most significant first (int)."),
    function("dsss_spread", py_dsss_spread,
             "dsss_spread(syms, code, sf)\n--\n\nEach symbol spread over sf chips of code (complex64, len(syms) x sf; "
             "a code chip of 1 negates); zeros when the code is shorter than sf."),
    function("rs_encode", py_rs_encode,
             "rs_encode(data, basis=\"dual\")\n--\n\nThe 32 Reed-Solomon (255,223) check octets of each row of 223 "
             "data octets (uint8), in the dual or the conventional basis: the frame stages' outer code."),
    function("rs_decode", py_rs_decode,
             "rs_decode(word, basis=\"dual\", erasures=None)\n--\n\nOne Reed-Solomon (255,223) codeword of 33 to "
             "255 octets (fewer: shortened) corrected, with erasures (indices of octets known to be unreliable): "
             "(word, changed), the octets changed or -1 and the word as received when 2 errors + erasures exceed "
             "32."),
    function("golay24_encode", py_golay24_encode,
             "golay24_encode(data)\n--\n\nThe (24,12) Golay codewords of 12-bit values (uint32): 12 parity bits "
             "above the data."),
    function("golay24_decode", py_golay24_decode,
             "golay24_decode(words)\n--\n\nThe 12 data bits of 24-bit Golay codewords with up to 3 bit errors "
             "repaired (int32), -1 where more are certain."),
    function("mls_poly", py_mls_poly,
             "mls_poly(n)\n--\n\nThe maximal-length Galois polynomial for n stages (2..64), else 0."),
    kSentinel,
};

const std::initializer_list<StructSeq> kSeqs = {{&kFrameLayoutDesc, &g_frame_layout_type},
                                                {&kFrameCheckDesc, &g_frame_check_type},
                                                {&kFrameChecksDesc, &g_frame_checks_type}};

}  // namespace

TB_MODULE(sig, "Waveform generation: PN and Gold codes, the synthesiser, pulse-shaping and link-budget helpers.",
          kFunctions, kSeqs, PnT,
          GoldT, SynthT, FrameT, FrameDescT, ViterbiT, HdlcRxT, HdlcTxT, BitLineT, SyncSearchT, NrzConditionerT)
