// Status codes of core operations.  Operations return 0 or a count on
// success and one of these negative values on refusal; the bindings turn
// them into exceptions (bindings/frame/core.hpp, raise_for).
#pragma once

namespace tb {

enum status : int {
  kStatusOk = 0,
  kStatusFrameRefused = -1,  // a frame description refused the request
  kStatusNoMemory = -2,      // working memory could not be obtained
  kStatusTooLarge = -3,      // a requested size cannot fit in memory
  kStatusRefused = -4,       // a refused blob or parameter
};

}  // namespace tb
