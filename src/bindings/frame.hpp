// The binding frame shared by every tamberl extension module.
//
// A module file describes each exposed type as a small traits struct and
// each module function as a plain C function; these headers turn those into
// Python type objects, method tables, argument checks and array conversions,
// the same way in all six modules.  Core records never see Python.
//
//   frame/core.hpp       headers, element types, values, parsing, errors, NoGil
//   frame/arrays.hpp     input conversion, conventions V and S, lent buffers
//   frame/handle.hpp     the instance layout and the per-call guard
//   frame/methods.hpp    method rows: adapters, scalar rows, block calls, getters
//   frame/type.hpp       standard methods and type generation
//   frame/module.hpp     module initialisation, struct-sequence records
//   frame/telemetry.hpp  set_telemetry, shared by every probing object
#pragma once
#include "bindings/frame/core.hpp"
#include "bindings/frame/arrays.hpp"
#include "bindings/frame/handle.hpp"
#include "bindings/frame/methods.hpp"
#include "bindings/frame/type.hpp"
#include "bindings/frame/module.hpp"
#include "bindings/frame/telemetry.hpp"
