// A callable type that carries its own Python signature.
//
// Each member of the class is one C++ function behind one of these objects. To the
// runtime it looks like a Python function: it binds arguments with the interpreter's
// own rules and messages, checks exact argument types where the member demands them,
// binds to instances through the descriptor protocol, and answers inspect.signature,
// __annotations__ (from 3.14 __annotate__ too), __defaults__, __kwdefaults__, __name__,
// __qualname__ and __doc__.
// Its types are created per module, so a call reaches the state of the module that
// defined the member.
#pragma once

#include "binding/ref.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor::binding {


class ModuleState;

enum class ParamKind : std::uint8_t { PositionalOnly, Positional, VarPositional, KeywordOnly, VarKeyword };

// Exact built-in types some parameters must have (subclasses and None refused).
enum class Exact : std::uint8_t { Any, Str, Dict, List };

enum class Default : std::uint8_t { Required, None, True, False, StrType };

struct Param {
  const char* name;
  ParamKind kind = ParamKind::Positional;
  const char* annotation = nullptr;  // annotation text, or none (self)
  Default value = Default::Required;
  Exact exact = Exact::Any;
};

// How the member is placed in the class.
enum class MemberKind : std::uint8_t { Method, StaticMethod, Property, Function };

// What a member receives: its module's state and the bound argument slots, one per
// parameter in declaration order (*args a tuple, **kwargs a dict). The handles are
// borrowed from the caller for the duration of the call.
struct Args {
  ModuleState& st;
  PyObject* const* slots;
  PyObject* callable = nullptr;  // the callable called, when called as one
  Handle operator[](std::size_t i) const { return slots[i]; }
};

using Impl = Object (*)(const Args& args);

struct MemberSpec {
  const char* name;
  MemberKind kind;
  std::vector<Param> params;
  const char* returns;         // result annotation text
  const char* doc = nullptr;   // docstring, or none
  Impl impl = nullptr;
};

// A new callable for `member`; `member` must outlive it (the tables are static).
// `qualname_prefix` is the class name ("" for module-level functions).
Object make_callable(const ModuleState& st, const MemberSpec& member, Handle module_name,
                         const char* qualname_prefix);

// The object to bind in the class namespace: the callable, or it wrapped in
// staticmethod / property as its kind says.
Object make_class_member(const ModuleState& st, const MemberSpec& member, Handle module_name,
                             const char* class_name);

// Creates the module's callable types and keeps them in its state.
void create_callable_types(ModuleState& st);

}  // namespace velmor::binding
