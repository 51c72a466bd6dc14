// tamberl.lox: down-converters over the oscillator, the decimators, the
// polyphase resampler and the rate-converting cascade.
#include "bindings/lox/down.hpp"

using namespace tb::py;

TB_MODULE(lox, "Down-conversion: LO mixing, CIC and halfband decimation, polyphase resampling, matched filtering.",
          nullptr, {}, LoxT, LoxrT, MatchedLoxT, MatchedLoxrT)
