#include "binding/method.h"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#include <algorithm>
#include <array>
#include <new>
#include <string>

#include "binding/runtime.h"

namespace velmor::binding {
namespace {

constexpr int kMaxParams = 12;

// What a callable owns. Constructed in place right after the object is allocated
// and destroyed by its deallocator, so every reference is released by a destructor.
struct CallableFields {
  const MemberSpec* member = nullptr;
  py::object name;
  py::object qualname;
  py::object module;
  py::object doc;          // str or None
  py::object annotations;  // dict
  py::object defaults;     // tuple or None
  py::object kwdefaults;   // dict or None
  py::object signature;    // built on first request
  std::array<py::object, kMaxParams> param_names;
  std::array<py::object, kMaxParams> default_values;  // null where required
  int n_params = 0;
  int n_positional = 0;  // the leading positional-or-keyword parameters
  int varargs = -1;      // index of *args, or -1
  int varkw = -1;        // index of **kwargs, or -1
};

struct Callable {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  CallableFields f;
};

Callable* as_callable(PyObject* object) { return reinterpret_cast<Callable*>(object); }

PyObject* default_object(Default value) {
  switch (value) {
    case Default::None: return Py_None;
    case Default::True: return Py_True;
    case Default::False: return Py_False;
    case Default::StrType: return reinterpret_cast<PyObject*>(&PyUnicode_Type);
    case Default::Required: break;
  }
  return nullptr;
}

const char* exact_name(Exact exact) {
  switch (exact) {
    case Exact::Str: return "str";
    case Exact::Dict: return "dict";
    case Exact::List: return "list";
    case Exact::Any: break;
  }
  return "object";
}

bool has_exact_type(Exact exact, PyObject* value) {
  switch (exact) {
    case Exact::Str: return PyUnicode_CheckExact(value);
    case Exact::Dict: return PyDict_CheckExact(value);
    case Exact::List: return PyList_CheckExact(value);
    case Exact::Any: break;
  }
  return true;
}

// --- The interpreter's own argument errors, word for word -----------------------------

void format_missing(const CallableFields& f, const char* kind, const py::list& names) {
  const Py_ssize_t len = static_cast<Py_ssize_t>(names.size());
  py::object joined;
  if (len == 1) {
    joined = names[0];
  } else if (len == 2) {
    joined = steal_or_throw(PyUnicode_FromFormat("%U and %U", names[0].ptr(), names[1].ptr()));
  } else {
    py::object tail = steal_or_throw(PyUnicode_FromFormat(", %U, and %U", names[len - 2].ptr(), names[len - 1].ptr()));
    py::object head_list = steal_or_throw(PyList_GetSlice(names.ptr(), 0, len - 2));
    py::object head = steal_or_throw(PyUnicode_Join(py::str(", ").ptr(), head_list.ptr()));
    joined = steal_or_throw(PyUnicode_Concat(head.ptr(), tail.ptr()));
  }
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f.qualname.ptr(), len, kind,
               len == 1 ? "" : "s", joined.ptr());
}

void missing_arguments(const CallableFields& f, PyObject* const* slots, bool positional) {
  py::list names;
  const auto& params = f.member->params;
  for (int i = 0; i < f.n_params; ++i) {
    bool wanted = positional ? params[i].kind == ParamKind::Positional : params[i].kind == ParamKind::KeywordOnly;
    if (!wanted || slots[i] || f.default_values[i]) continue;
    names.append(steal_or_throw(PyObject_Repr(f.param_names[i].ptr())));
  }
  format_missing(f, positional ? "positional" : "keyword-only", names);
}

void too_many_positional(const CallableFields& f, Py_ssize_t given, PyObject* const* slots) {
  Py_ssize_t kwonly_given = 0;
  Py_ssize_t defcount = 0;
  const auto& params = f.member->params;
  for (int i = 0; i < f.n_params; ++i) {
    if (params[i].kind == ParamKind::KeywordOnly && slots[i]) ++kwonly_given;
    if (params[i].kind == ParamKind::Positional && f.default_values[i]) ++defcount;
  }
  const bool plural = defcount ? true : f.n_positional != 1;
  py::object sig = steal_or_throw(defcount ? PyUnicode_FromFormat("from %zd to %d", f.n_positional - defcount, f.n_positional)
                                           : PyUnicode_FromFormat("%d", f.n_positional));
  py::object kwonly_sig = steal_or_throw(
      kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                          given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "")
                   : PyUnicode_FromString(""));
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f.qualname.ptr(),
               sig.ptr(), plural ? "s" : "", given, kwonly_sig.ptr(), given == 1 && !kwonly_given ? "was" : "were");
}

// From 3.13 the interpreter also names the closest parameter, as it measures
// closeness for misspelt names; its own measure is asked, over the named parameters in
// order. Without it (the module is the interpreter's own, not a promise), no suggestion.
py::object closest_parameter(const CallableFields& f, PyObject* key) {
  if (Py_Version < 0x030D0000) return {};
  try {
    py::module_ suggestions = py::module_::import("_suggestions");
    py::list names;
    for (int i = 0; i < f.n_params; ++i) {
      const ParamKind kind = f.member->params[i].kind;
      if (kind == ParamKind::Positional || kind == ParamKind::KeywordOnly) names.append(f.param_names[i]);
    }
    py::object found = suggestions.attr("_generate_suggestions")(names, py::handle(key));
    return found.is_none() ? py::object() : found;
  } catch (py::error_already_set&) {
    return {};
  }
}

void unexpected_keyword(const CallableFields& f, PyObject* key) {
  if (py::object suggestion = closest_parameter(f, key)) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 f.qualname.ptr(), key, suggestion.ptr());
    return;
  }
  PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f.qualname.ptr(), key);
}

int find_keyword(const CallableFields& f, PyObject* key) {
  // Only named parameters can be given by keyword: the names of *args and **kwargs
  // are ordinary keywords for the callee. Keyword names are exact str: comparing
  // them runs no Python code.
  const auto& params = f.member->params;
  auto named = [&](int i) {
    return params[i].kind == ParamKind::Positional || params[i].kind == ParamKind::KeywordOnly;
  };
  for (int i = 0; i < f.n_params; ++i)
    if (f.param_names[i].ptr() == key && named(i)) return i;
  for (int i = 0; i < f.n_params; ++i)
    if (named(i) && PyUnicode_Compare(f.param_names[i].ptr(), key) == 0) return i;
  return -1;
}

// Binds the call's arguments to slots; false with a Python error set when the call
// does not fit the signature. `varargs`/`varkw` receive the collected extras.
bool bind_arguments(const CallableFields& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots, py::object& varargs, py::object& varkw) {
  const MemberSpec& member = *f.member;
  const Py_ssize_t ncopy = nargs < f.n_positional ? nargs : f.n_positional;
  for (Py_ssize_t i = 0; i < ncopy; ++i) slots[i] = args[i];

  if (f.varargs >= 0) {
    const Py_ssize_t extra = nargs > f.n_positional ? nargs - f.n_positional : 0;
    varargs = steal_or_throw(PyTuple_New(extra));
    for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(varargs.ptr(), i, Py_NewRef(args[f.n_positional + i]));
    slots[f.varargs] = varargs.ptr();
  }
  if (f.varkw >= 0) {
    varkw = steal_or_throw(PyDict_New());
    slots[f.varkw] = varkw.ptr();
  }

  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      PyObject* value = args[nargs + j];
      int index = find_keyword(f, key);
      if (index < 0) {
        if (PyErr_Occurred()) return false;
        if (!varkw) {
          unexpected_keyword(f, key);
          return false;
        }
        if (PyDict_SetItem(varkw.ptr(), key, value) < 0) return false;
        continue;
      }
      if (slots[index]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f.qualname.ptr(), key);
        return false;
      }
      slots[index] = value;
    }
  }

  if (nargs > f.n_positional && f.varargs < 0) {
    too_many_positional(f, nargs, slots);
    return false;
  }
  for (int i = 0; i < f.n_positional; ++i) {
    if (slots[i] || f.default_values[i]) continue;
    missing_arguments(f, slots, true);
    return false;
  }
  for (int i = 0; i < f.n_params; ++i) {
    if (member.params[i].kind != ParamKind::KeywordOnly || slots[i] || f.default_values[i]) continue;
    missing_arguments(f, slots, false);
    return false;
  }
  for (int i = 0; i < f.n_params; ++i)
    if (!slots[i]) slots[i] = f.default_values[i].ptr();

  for (int i = 0; i < f.n_params; ++i) {
    const Param& param = member.params[i];
    if (param.exact == Exact::Any || has_exact_type(param.exact, slots[i])) continue;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 exact_name(param.exact), Py_TYPE(slots[i])->tp_name);
    return false;
  }
  return true;
}

ModuleState* state_of(PyObject* callable) {
  auto* slot = static_cast<StateSlot*>(PyType_GetModuleState(Py_TYPE(callable)));
  ModuleState* st = slot ? slot->get() : nullptr;
  if (!st) PyErr_SetString(PyExc_RuntimeError, "the module of this member has been cleared");
  return st;
}

PyObject* callable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const CallableFields& f = as_callable(callable)->f;
  try {
    ModuleState* st = state_of(callable);
    if (!st) return nullptr;
    PyObject* slots[kMaxParams] = {};
    py::object varargs, varkw;
    if (!bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots, varargs, varkw)) return nullptr;
    std::array<py::handle, kMaxParams> handles;
    for (int i = 0; i < f.n_params; ++i) handles[static_cast<std::size_t>(i)] = slots[i];
    return f.member->impl(Args{*st, handles.data()}).release().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  }
  return nullptr;
}

// --- What the runtime reads of a function ----------------------------------------------

// A docstring as the running interpreter's compiler leaves it. From 3.13 the compiler
// strips the first line's leading spaces and the common indentation of the later lines
// that hold text (tabs expanded first), and keeps blank lines.
py::object compiled_docstring(const char* text) {
  py::object doc = py::str(text);
  if (Py_Version < 0x030D0000) return doc;
  const std::string raw = py::str(doc.attr("expandtabs")());
  constexpr size_t npos = std::string::npos;
  size_t margin = npos;
  for (size_t start = raw.find('\n'); start != npos;) {
    ++start;
    const size_t text_at = raw.find_first_not_of(' ', start);
    const size_t end = raw.find('\n', start);
    if (text_at != npos && text_at != end) margin = std::min(margin, text_at - start);
    start = end;
  }
  if (margin == npos) margin = 0;
  std::string clean;
  clean.reserve(raw.size());
  size_t pos = std::min(raw.find_first_not_of(' '), raw.size());
  for (bool first = true; pos < raw.size(); first = false) {
    for (size_t skipped = 0; !first && skipped < margin && pos < raw.size() && raw[pos] == ' '; ++skipped) ++pos;
    const size_t end = raw.find('\n', pos);
    const size_t next = end == npos ? raw.size() : end + 1;
    clean.append(raw, pos, next - pos);
    pos = next;
  }
  return py::str(clean);
}

py::object build_signature(const CallableFields& f) {
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::object empty = parameter.attr("empty");
  py::list parameters;
  for (int i = 0; i < f.n_params; ++i) {
    const Param& param = f.member->params[i];
    const char* kind = "POSITIONAL_OR_KEYWORD";
    if (param.kind == ParamKind::VarPositional) kind = "VAR_POSITIONAL";
    if (param.kind == ParamKind::KeywordOnly) kind = "KEYWORD_ONLY";
    if (param.kind == ParamKind::VarKeyword) kind = "VAR_KEYWORD";
    py::object dflt = f.default_values[i] ? f.default_values[i] : empty;
    py::object annotation = param.annotation ? py::object(py::str(param.annotation)) : empty;
    parameters.append(parameter(f.param_names[i], parameter.attr(kind), py::arg("default") = dflt,
                                py::arg("annotation") = annotation));
  }
  py::object result = f.member->returns ? py::object(py::str(f.member->returns)) : empty;
  return inspect.attr("Signature")(parameters, py::arg("return_annotation") = result);
}

PyObject* get_signature(PyObject* object, void*) {
  CallableFields& f = as_callable(object)->f;
  try {
    if (!f.signature) f.signature = build_signature(f);
    return f.signature.inc_ref().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
    return nullptr;
  }
}

template <py::object CallableFields::*Field>
PyObject* get_field(PyObject* object, void*) {
  return (as_callable(object)->f.*Field).inc_ref().ptr();
}

PyGetSetDef kGetSet[] = {
    {"__name__", get_field<&CallableFields::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&CallableFields::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&CallableFields::module>, nullptr, nullptr, nullptr},
    {"__doc__", get_field<&CallableFields::doc>, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<&CallableFields::annotations>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&CallableFields::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_field<&CallableFields::kwdefaults>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Callable, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The callables reach their module through their type, and the module reaches them
// through the class: a cycle the collector must see.
int callable_traverse(PyObject* object, visitproc visit, void* arg) {
  const CallableFields& f = as_callable(object)->f;
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(f.annotations.ptr());
  Py_VISIT(f.defaults.ptr());
  Py_VISIT(f.kwdefaults.ptr());
  Py_VISIT(f.signature.ptr());
  return 0;
}

void callable_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  PyTypeObject* type = Py_TYPE(object);
  as_callable(object)->f.~CallableFields();
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* callable_repr(PyObject* object) {
  return PyUnicode_FromFormat("<function %U at %p>", as_callable(object)->f.qualname.ptr(), object);
}

// Bound like a Python function: through an instance it becomes a bound method.
PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject*) {
  if (!instance || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

// Static members and the operator map's functions never bind, but are descriptors
// all the same, as a function is to the tools that look for one.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

py::object make_type(ModuleState& st, const char* type_name, bool binds) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(callable_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(callable_traverse)},
      {Py_tp_repr, reinterpret_cast<void*>(callable_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_getset, kGetSet},
      {Py_tp_members, kMembers},
      {Py_tp_descr_get, reinterpret_cast<void*>(binds ? method_descr_get : function_descr_get)},
      {0, nullptr},
  };
  unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  if (binds) flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
  PyType_Spec type_spec = {type_name, sizeof(Callable), 0, static_cast<unsigned int>(flags), slots};
  return steal_or_throw(PyType_FromModuleAndSpec(st.module(), &type_spec, nullptr));
}

}  // namespace

void create_callable_types(ModuleState& st) {
  st.set_callable_types(
      make_type(st, "velmor_data.connections.implementations.postgresql_history.compiled_method", true),
      make_type(st, "velmor_data.connections.implementations.postgresql_history.compiled_function", false));
}

py::object make_callable(const ModuleState& st, const MemberSpec& member, py::handle module_name,
                         const char* qualname_prefix) {
  if (member.params.size() > static_cast<size_t>(kMaxParams))
    throw std::logic_error("too many parameters for a compiled member");
  const bool binds = member.kind == MemberKind::Method || member.kind == MemberKind::Property;
  PyTypeObject* type = binds ? st.method_type() : st.function_type();
  py::object object = steal_or_throw(PyType_GenericAlloc(type, 0));
  Callable* self = as_callable(object.ptr());
  // Nothing runs between the allocation and the fields' construction, so the
  // collector never sees them unconstructed.
  new (&self->f) CallableFields();
  self->vectorcall = callable_vectorcall;
  CallableFields& f = self->f;
  f.member = &member;
  f.n_params = static_cast<int>(member.params.size());

  std::string qualname =
      qualname_prefix[0] ? std::string(qualname_prefix) + "." + member.name : std::string(member.name);
  f.name = steal_or_throw(PyUnicode_InternFromString(member.name));
  f.qualname = py::str(qualname);
  f.module = py::reinterpret_borrow<py::object>(module_name);
  f.doc = member.doc ? compiled_docstring(member.doc) : py::none();
  py::dict annotations;
  py::list positional_defaults;
  py::dict keyword_defaults;
  for (int i = 0; i < f.n_params; ++i) {
    const Param& param = member.params[i];
    f.param_names[i] = steal_or_throw(PyUnicode_InternFromString(param.name));
    f.default_values[i] = own(default_object(param.value));
    switch (param.kind) {
      case ParamKind::Positional:
        if (f.n_positional != i) throw std::logic_error("positional parameters must come first");
        ++f.n_positional;
        if (f.default_values[i]) positional_defaults.append(f.default_values[i]);
        break;
      case ParamKind::VarPositional: f.varargs = i; break;
      case ParamKind::VarKeyword: f.varkw = i; break;
      case ParamKind::KeywordOnly:
        if (f.default_values[i]) keyword_defaults[f.param_names[i]] = f.default_values[i];
        break;
    }
    if (param.annotation) annotations[f.param_names[i]] = py::str(param.annotation);
  }
  if (member.returns) annotations["return"] = py::str(member.returns);
  f.annotations = std::move(annotations);
  f.defaults = positional_defaults.empty() ? py::none() : py::object(py::tuple(positional_defaults));
  f.kwdefaults = keyword_defaults.empty() ? py::none() : py::object(std::move(keyword_defaults));
  return object;
}

py::object make_class_member(const ModuleState& st, const MemberSpec& member, py::handle module_name,
                             const char* class_name) {
  py::object callable = make_callable(st, member, module_name, class_name);
  switch (member.kind) {
    case MemberKind::StaticMethod:
      return steal_or_throw(PyStaticMethod_New(callable.ptr()));
    case MemberKind::Property:
      return call(reinterpret_cast<PyObject*>(&PyProperty_Type), callable);
    case MemberKind::Method:
    case MemberKind::Function:
      break;
  }
  return callable;
}

}  // namespace velmor::binding
