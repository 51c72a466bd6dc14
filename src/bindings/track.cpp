// tamberl.track: tracking loops and receivers.
#include "bindings/track/carriers.hpp"
#include "bindings/track/costas.hpp"
#include "bindings/track/dll.hpp"
#include "bindings/track/loop_filter.hpp"
#include "bindings/track/receivers.hpp"
#include "bindings/track/timing.hpp"

using namespace tb::py;

TB_MODULE(track, "Tracking loops and receivers: loop filter, carrier, code and timing loops.", nullptr, {},
          LoopFilterT, CostasT, CarrierNdaT, CarrierMpskT, DllT, SymbolSyncT, RateSyncT, MpskReceiverT,
          MpskReceiverRT, BpskReceiverT)
