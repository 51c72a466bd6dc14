// Once-only initialisation of process-wide read-only tables: the first
// caller builds, concurrent callers wait, later callers only read.
#pragma once
#include <mutex>

namespace tb::platform {

template <class F>
inline void run_once(std::once_flag& flag, F&& build) {
  std::call_once(flag, static_cast<F&&>(build));
}

}  // namespace tb::platform
