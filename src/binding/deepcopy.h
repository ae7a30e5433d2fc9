// A deep copy for the plain data a write carries.
//
// Identical in result to copy.deepcopy: dictionaries and lists are copied (keys
// included), shared and cyclic containers stay shared and cyclic in the copy, and
// immutable atoms are returned as they are. Anything else, and whatever lies deeper
// than a fixed depth, is handed to copy.deepcopy with the same memo, so objects with
// their own copy rules keep them and no nesting can exhaust the C stack.
#pragma once

#include "binding/ref.h"

namespace velmor::binding {

// `fallback` is copy.deepcopy.
Object deep_copy(Handle value, Handle fallback);

}  // namespace velmor::binding
