// A callable type that carries its own Python signature.
//
// Each member of the class is one C++ function behind one of these objects. To the
// runtime it looks like a Python function: it binds arguments with the interpreter's
// own rules and messages, checks exact argument types where the member demands them,
// binds to instances through the descriptor protocol, and answers inspect.signature,
// __annotations__, __defaults__, __kwdefaults__, __name__, __qualname__ and __doc__.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace velmor::binding {

namespace py = pybind11;

enum class ParamKind : std::uint8_t { Positional, VarPositional, KeywordOnly, VarKeyword };

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

// Bound argument slots, one per parameter in declaration order; *args is a tuple and
// **kwargs a dict. Handles are borrowed for the duration of the call.
using Args = const py::handle*;
using Impl = py::object (*)(Args args);

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
py::object make_callable(const MemberSpec& member, const char* module_name,
                         const char* qualname_prefix);

// The object to bind in the class namespace: the callable, or it wrapped in
// staticmethod / property as its kind says.
py::object make_class_member(const MemberSpec& member, const char* module_name,
                             const char* class_name);

// Registers the callable types; called once at module init.
void init_method_types();

}  // namespace velmor::binding
