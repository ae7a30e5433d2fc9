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
  Object name;
  Object qualname;
  Object module;
  Object doc;          // str or None
  Object annotations;  // dict
  Object defaults;     // tuple or None
  Object kwdefaults;   // dict or None
  Object signature;    // built on first request
  Object annotate;     // __annotate__, made on first request
  const MemberSpec* annotated = nullptr;  // of an __annotate__: the member whose annotations it gives
  std::array<Object, kMaxParams> param_names;
  std::array<Object, kMaxParams> default_values;  // null where required
  int n_params = 0;
  int n_positional = 0;  // the leading positional-or-keyword parameters
  int varargs = -1;      // index of *args, or -1
  int varkw = -1;        // index of **kwargs, or -1
  bool plain = true;      // no *args, keyword-only or **kwargs parameter
  int n_exact = 0;        // the parameters up to the last that demands an exact type
};

struct Callable {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* dict;  // attributes set on the callable, as on a function (owned)
  CallableFields f;
};

Callable* as_callable(PyObject* object) { return reinterpret_cast<Callable*>(object); }

bool by_position(ParamKind kind) { return kind == ParamKind::PositionalOnly || kind == ParamKind::Positional; }
bool by_name(ParamKind kind) { return kind == ParamKind::Positional || kind == ParamKind::KeywordOnly; }

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

void format_missing(const CallableFields& f, const char* kind, Handle names) {
  const Py_ssize_t len = PyList_GET_SIZE(names.ptr());  // our own list of str
  Object joined;
  if (len == 1) {
    joined = own(PyList_GET_ITEM(names.ptr(), 0));
  } else if (len == 2) {
    joined = steal_or_throw(
        PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.ptr(), 0), PyList_GET_ITEM(names.ptr(), 1)));
  } else {
    Object tail = steal_or_throw(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.ptr(), len - 2),
                                                      PyList_GET_ITEM(names.ptr(), len - 1)));
    Object head_list = steal_or_throw(PyList_GetSlice(names.ptr(), 0, len - 2));
    Object comma = to_str(", ");
    Object head = steal_or_throw(PyUnicode_Join(comma.ptr(), head_list.ptr()));
    joined = steal_or_throw(PyUnicode_Concat(head.ptr(), tail.ptr()));
  }
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f.qualname.ptr(), len, kind,
               len == 1 ? "" : "s", joined.ptr());
}

void missing_arguments(const CallableFields& f, PyObject* const* slots, bool positional) {
  Object names = new_list();
  const auto& params = f.member->params;
  for (int i = 0; i < f.n_params; ++i) {
    bool wanted = positional ? by_position(params[i].kind) : params[i].kind == ParamKind::KeywordOnly;
    if (!wanted || slots[i] || f.default_values[i]) continue;
    Object name = steal_or_throw(PyObject_Repr(f.param_names[i].ptr()));
    if (PyList_Append(names.ptr(), name.ptr()) < 0) throw_python_error();
  }
  format_missing(f, positional ? "positional" : "keyword-only", names);
}

void too_many_positional(const CallableFields& f, Py_ssize_t given, PyObject* const* slots) {
  Py_ssize_t kwonly_given = 0;
  Py_ssize_t defcount = 0;
  const auto& params = f.member->params;
  for (int i = 0; i < f.n_params; ++i) {
    if (params[i].kind == ParamKind::KeywordOnly && slots[i]) ++kwonly_given;
    if (by_position(params[i].kind) && f.default_values[i]) ++defcount;
  }
  const bool plural = defcount ? true : f.n_positional != 1;
  Object sig = steal_or_throw(defcount ? PyUnicode_FromFormat("from %zd to %d", f.n_positional - defcount, f.n_positional)
                                           : PyUnicode_FromFormat("%d", f.n_positional));
  Object kwonly_sig = steal_or_throw(
      kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                          given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "")
                   : PyUnicode_FromString(""));
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f.qualname.ptr(),
               sig.ptr(), plural ? "s" : "", given, kwonly_sig.ptr(), given == 1 && !kwonly_given ? "was" : "were");
}

// From 3.13 the interpreter also names the closest parameter, as it measures
// closeness for misspelt names; its own measure is asked, over the named parameters in
// order. Without it (the module is the interpreter's own, not a promise), no suggestion.
Object closest_parameter(const CallableFields& f, PyObject* key) {
  if (Py_Version < 0x030D0000) return {};
  try {
    Object suggestions = steal_or_throw(PyImport_ImportModule("_suggestions"));
    Object generate = steal_or_throw(PyObject_GetAttrString(suggestions.ptr(), "_generate_suggestions"));
    Object names = new_list();
    for (int i = 0; i < f.n_params; ++i) {
      if (!by_name(f.member->params[i].kind)) continue;
      if (PyList_Append(names.ptr(), f.param_names[i].ptr()) < 0) throw_python_error();
    }
    Object found = call(generate, names, Handle(key));
    return found.is_none() ? Object() : found;
  } catch (const PythonError&) {
    PyErr_Clear();  // no suggestion, as the interpreter gives none when it cannot make one
    return {};
  }
}

void unexpected_keyword(const CallableFields& f, PyObject* key) {
  if (Object suggestion = closest_parameter(f, key)) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 f.qualname.ptr(), key, suggestion.ptr());
    return;
  }
  PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f.qualname.ptr(), key);
}

// The parameter `key` names, among those of the given kinds, or -1. Keyword names are
// exact str: comparing them runs no Python code.
template <typename Kinds>
int find_parameter(const CallableFields& f, PyObject* key, Kinds wanted) {
  const auto& params = f.member->params;
  for (int i = 0; i < f.n_params; ++i)
    if (f.param_names[i].ptr() == key && wanted(params[i].kind)) return i;
  for (int i = 0; i < f.n_params; ++i)
    if (wanted(params[i].kind) && PyUnicode_Compare(f.param_names[i].ptr(), key) == 0) return i;
  return -1;
}

// Only named parameters can be given by keyword: the names of *args and **kwargs are
// ordinary keywords for the callee.
int find_keyword(const CallableFields& f, PyObject* key) { return find_parameter(f, key, by_name); }

// Before it reports an unknown keyword, the interpreter names every keyword of the call
// that is a positional-only parameter's name, if any is.
bool positional_only_by_keyword(const CallableFields& f, PyObject* kwnames) {
  Object names = new_list();
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (find_parameter(f, key, [](ParamKind kind) { return kind == ParamKind::PositionalOnly; }) < 0) continue;
    if (PyList_Append(names.ptr(), key) < 0) throw_python_error();
  }
  if (PyList_GET_SIZE(names.ptr()) == 0) return false;
  Object comma = to_str(", ");
  Object joined = steal_or_throw(PyUnicode_Join(comma.ptr(), names.ptr()));
  PyErr_Format(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%U'",
               f.qualname.ptr(), joined.ptr());
  return true;
}

// The parameters that demand an exact built-in type, checked in order.
bool exact_types(const CallableFields& f, PyObject* const* slots) {
  const MemberSpec& member = *f.member;
  for (int i = 0; i < f.n_exact; ++i) {
    const Param& param = member.params[i];
    if (param.exact == Exact::Any || has_exact_type(param.exact, slots[i])) continue;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 exact_name(param.exact), Py_TYPE(slots[i])->tp_name);
    return false;
  }
  return true;
}

// Binds the call's arguments to slots; false with a Python error set when the call
// does not fit the signature. `varargs`/`varkw` receive the collected extras.
bool bind_arguments(const CallableFields& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots, Object& varargs, Object& varkw) {
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
          if (!positional_only_by_keyword(f, kwnames)) unexpected_keyword(f, key);
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
  bool missing = false;
  for (int i = 0; i < f.n_params; ++i) {
    if (slots[i]) continue;
    slots[i] = f.default_values[i].ptr();
    missing = missing || !slots[i];
  }
  if (missing) {
    // As the interpreter reports it: the missing positional parameters if any, else the
    // missing keyword-only ones.
    bool positional = false;
    for (int i = 0; i < f.n_params; ++i)
      positional = positional || (!slots[i] && by_position(member.params[i].kind));
    missing_arguments(f, slots, positional);
    return false;
  }
  return exact_types(f, slots);
}

ModuleState* state_of(PyObject* callable) {
  auto* slot = static_cast<StateSlot*>(PyType_GetModuleState(Py_TYPE(callable)));
  ModuleState* st = slot ? slot->get() : nullptr;
  if (!st) PyErr_SetString(PyExc_RuntimeError, "the module of this member has been cleared");
  return st;
}

PyObject* callable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const CallableFields& f = as_callable(callable)->f;
  // Members call back into Python, which may call members again: the interpreter's
  // own depth limit bounds that, as it bounds a Python function calling itself.
  if (Py_EnterRecursiveCall("")) return nullptr;
  struct Leave {
    ~Leave() {
      if (may_touch_python()) Py_LeaveRecursiveCall();
    }
  } leave;
  // The boundary: nothing thrown below gets past this function, but a thread's forced
  // unwind, which must.
  try {
    ModuleState* st = state_of(callable);
    if (!st) return nullptr;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Every parameter given by position, none collected: the caller's array is the slots.
    if (!kwnames && f.plain && nargs == f.n_params) {
      if (f.n_exact && !exact_types(f, args)) return nullptr;
      return f.member->impl(Args{*st, args, callable}).release();
    }
    PyObject* slots[kMaxParams] = {};
    Object varargs, varkw;
    if (!bind_arguments(f, args, nargs, kwnames, slots, varargs, varkw)) return nullptr;
    return f.member->impl(Args{*st, slots, callable}).release();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    VELMOR_PASS_THREAD_EXIT
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
  return nullptr;
}

// --- What the runtime reads of a function ----------------------------------------------

// A docstring as the running interpreter's compiler leaves it. From 3.13 the compiler
// strips the first line's leading spaces and the common indentation of the later lines
// that hold text (tabs expanded first), and keeps blank lines.
Object compiled_docstring(const char* text) {
  Object doc = to_str(text);
  if (Py_Version < 0x030D0000) return doc;
  Object expanded = steal_or_throw(PyObject_CallMethod(doc.ptr(), "expandtabs", nullptr));
  const std::string raw(Utf8(std::move(expanded)).view());
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
  return to_str(clean);
}

// inspect.Parameter(name, kind, default=..., annotation=...) for each parameter, then
// inspect.Signature(parameters, return_annotation=...).
Object build_signature(const CallableFields& f) {
  Object inspect = steal_or_throw(PyImport_ImportModule("inspect"));
  Object parameter = steal_or_throw(PyObject_GetAttrString(inspect.ptr(), "Parameter"));
  Object empty = steal_or_throw(PyObject_GetAttrString(parameter.ptr(), "empty"));
  Object parameters = new_list();
  for (int i = 0; i < f.n_params; ++i) {
    const Param& param = f.member->params[i];
    const char* kind = "POSITIONAL_OR_KEYWORD";
    if (param.kind == ParamKind::PositionalOnly) kind = "POSITIONAL_ONLY";
    if (param.kind == ParamKind::VarPositional) kind = "VAR_POSITIONAL";
    if (param.kind == ParamKind::KeywordOnly) kind = "KEYWORD_ONLY";
    if (param.kind == ParamKind::VarKeyword) kind = "VAR_KEYWORD";
    Object kind_value = steal_or_throw(PyObject_GetAttrString(parameter.ptr(), kind));
    Object keywords = new_dict();
    const Object& dflt = f.default_values[i] ? f.default_values[i] : empty;
    Object annotation = param.annotation ? to_str(param.annotation) : empty;
    if (PyDict_SetItemString(keywords.ptr(), "default", dflt.ptr()) < 0 ||
        PyDict_SetItemString(keywords.ptr(), "annotation", annotation.ptr()) < 0)
      throw_python_error();
    Object positional = make_tuple(f.param_names[i], kind_value);
    Object made = steal_or_throw(PyObject_Call(parameter.ptr(), positional.ptr(), keywords.ptr()));
    if (PyList_Append(parameters.ptr(), made.ptr()) < 0) throw_python_error();
  }
  Object result = f.member->returns ? to_str(f.member->returns) : empty;
  Object signature = steal_or_throw(PyObject_GetAttrString(inspect.ptr(), "Signature"));
  Object keywords = new_dict();
  if (PyDict_SetItemString(keywords.ptr(), "return_annotation", result.ptr()) < 0) throw_python_error();
  Object positional = make_tuple(parameters);
  return steal_or_throw(PyObject_Call(signature.ptr(), positional.ptr(), keywords.ptr()));
}

PyObject* get_signature(PyObject* object, void*) {
  CallableFields& f = as_callable(object)->f;
  try {
    if (!f.signature) f.signature = build_signature(f);
    return f.signature.new_ref();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

// A field cleared by the collector reads as None.
template <Object CallableFields::*Field>
PyObject* get_field(PyObject* object, void*) {
  const Object& value = as_callable(object)->f.*Field;
  return value ? value.new_ref() : Py_NewRef(Py_None);
}

// A function's __doc__ can be replaced by any object, or deleted (it reads None then).
int set_doc(PyObject* object, PyObject* value, void*) {
  as_callable(object)->f.doc = value ? own(value) : none();
  return 0;
}

// The annotation texts of `member` in a new dict: the parameters' in order, then the result's.
Object annotation_texts(const MemberSpec& member) {
  Object annotations = new_dict();
  for (const Param& param : member.params) {
    if (!param.annotation) continue;
    Object text = to_str(param.annotation);
    if (PyDict_SetItemString(annotations.ptr(), param.name, text.ptr()) < 0) throw_python_error();
  }
  if (member.returns) {
    Object text = to_str(member.returns);
    if (PyDict_SetItemString(annotations.ptr(), "return", text.ptr()) < 0) throw_python_error();
  }
  return annotations;
}

#if PY_VERSION_HEX >= 0x030E0000
// What the compiler makes a function's __annotate__ when its annotations are texts: for
// VALUE a new dict of them. For FORWARDREF and STRING the compiler's leaves annotationlib
// to run its code in a namespace of annotationlib's own, which gives the same texts; this
// one has no code to run, so it gives them itself, and it refuses VALUE_WITH_FAKE_GLOBALS
// (and any other format), as annotationlib expects of an __annotate__ written in C.
Object annotate_texts(const Args& args) {
  PyObject* format = args[0].ptr();
  int overflow = 0;
  const long value = PyLong_Check(format) ? PyLong_AsLongAndOverflow(format, &overflow) : 0;
  if (value == -1 && PyErr_Occurred()) throw_python_error();
  if (value != 1 && value != 3 && value != 4) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw_python_error();
  }
  return annotation_texts(*as_callable(args.callable)->f.annotated);
}

const MemberSpec kAnnotate{
    "__annotate__", MemberKind::Function, {{"format", ParamKind::PositionalOnly}}, nullptr, nullptr, annotate_texts};

// From 3.14 the runtime reaches a function's annotations through __annotate__ (copying a
// function's with functools.wraps, say): None for a function without annotations, else
// one function, kept with it.
PyObject* get_annotate(PyObject* object, void*) {
  CallableFields& f = as_callable(object)->f;
  const MemberSpec& member = *f.member;
  const bool annotated =
      member.returns || std::any_of(member.params.begin(), member.params.end(), [](const Param& param) {
        return param.annotation != nullptr;
      });
  if (!annotated) return Py_NewRef(Py_None);
  try {
    if (!f.annotate) {
      ModuleState* st = state_of(object);
      const char* owner = st ? PyUnicode_AsUTF8(f.qualname.ptr()) : nullptr;
      if (!owner) return nullptr;
      Object made = make_callable(*st, kAnnotate, f.module, owner);
      as_callable(made.ptr())->f.annotated = &member;
      f.annotate = std::move(made);
    }
    return f.annotate.new_ref();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}
#endif

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 a function holds the type parameters of its definition: none here.
PyObject* get_type_params(PyObject*, void*) { return PyTuple_New(0); }
#endif

PyGetSetDef kGetSet[] = {
    {"__name__", get_field<&CallableFields::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&CallableFields::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&CallableFields::module>, nullptr, nullptr, nullptr},
    {"__doc__", get_field<&CallableFields::doc>, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__annotations__", get_field<&CallableFields::annotations>, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
#endif
#if PY_VERSION_HEX >= 0x030C0000
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
#endif
    {"__defaults__", get_field<&CallableFields::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_field<&CallableFields::kwdefaults>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Callable, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Callable, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The callables reach their module through their type, and the module reaches them
// through the class: a cycle the collector must see.
int callable_traverse(PyObject* object, visitproc visit, void* arg) {
  const Callable* self = as_callable(object);
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(self->dict);
  Py_VISIT(self->f.doc.ptr());
  Py_VISIT(self->f.annotations.ptr());
  Py_VISIT(self->f.defaults.ptr());
  Py_VISIT(self->f.kwdefaults.ptr());
  Py_VISIT(self->f.signature.ptr());
  Py_VISIT(self->f.annotate.ptr());
  return 0;
}

// What code may have tied into a cycle: the attribute dict and the mutable fields.
int callable_clear(PyObject* object) {
  Callable* self = as_callable(object);
  Py_CLEAR(self->dict);
  CallableFields& f = self->f;
  Object released[] = {std::move(f.doc),        std::move(f.annotations), std::move(f.defaults),
                       std::move(f.kwdefaults), std::move(f.signature),   std::move(f.annotate)};
  return 0;
}

void callable_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  PyTypeObject* type = Py_TYPE(object);
  Py_CLEAR(as_callable(object)->dict);
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

// Functions are atomic to copy and deepcopy.
PyObject* copy_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Pickled by reference, as a function is: pickle looks the qualified name up in the
// module and insists that it finds this very object.
PyObject* reduce_by_name(PyObject* self, PyObject*) { return Py_NewRef(as_callable(self)->f.qualname.ptr()); }

PyMethodDef kMethods[] = {
    {"__copy__", copy_self, METH_NOARGS, nullptr},
    {"__deepcopy__", copy_self, METH_O, nullptr},
    {"__reduce__", reduce_by_name, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

Object make_type(ModuleState& st, const char* type_name, bool binds) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(callable_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(callable_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(callable_clear)},
      {Py_tp_methods, kMethods},
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

Object make_callable(const ModuleState& st, const MemberSpec& member, Handle module_name,
                     const char* qualname_prefix) {
  auto fail = [](const char* why) {
    PyErr_SetString(PyExc_SystemError, why);
    throw_python_error();
  };
  if (member.params.size() > static_cast<size_t>(kMaxParams)) fail("too many parameters for a compiled member");
  const bool binds = member.kind == MemberKind::Method || member.kind == MemberKind::Property;
  PyTypeObject* type = binds ? st.method_type() : st.function_type();
  Object object = steal_or_throw(PyType_GenericAlloc(type, 0));
  Callable* self = as_callable(object.ptr());
  // Nothing runs between the allocation and the fields' construction, so the
  // collector never sees them unconstructed.
  new (&self->f) CallableFields();
  self->vectorcall = callable_vectorcall;
  self->dict = nullptr;
  CallableFields& f = self->f;
  f.member = &member;
  f.n_params = static_cast<int>(member.params.size());

  std::string qualname =
      qualname_prefix[0] ? std::string(qualname_prefix) + "." + member.name : std::string(member.name);
  f.name = steal_or_throw(PyUnicode_InternFromString(member.name));
  f.qualname = to_str(qualname);
  f.module = own(module_name);
  f.doc = member.doc ? compiled_docstring(member.doc) : none();
  Object positional_defaults = new_list();
  Object keyword_defaults = new_dict();
  for (int i = 0; i < f.n_params; ++i) {
    const Param& param = member.params[i];
    f.param_names[i] = steal_or_throw(PyUnicode_InternFromString(param.name));
    f.default_values[i] = own(default_object(param.value));
    switch (param.kind) {
      case ParamKind::PositionalOnly:
      case ParamKind::Positional:
        if (f.n_positional != i) fail("positional parameters must come first");
        ++f.n_positional;
        if (f.default_values[i] && PyList_Append(positional_defaults.ptr(), f.default_values[i].ptr()) < 0)
          throw_python_error();
        break;
      case ParamKind::VarPositional: f.varargs = i; break;
      case ParamKind::VarKeyword: f.varkw = i; break;
      case ParamKind::KeywordOnly:
        if (f.default_values[i] &&
            PyDict_SetItem(keyword_defaults.ptr(), f.param_names[i].ptr(), f.default_values[i].ptr()) < 0)
          throw_python_error();
        break;
    }
    if (!by_position(param.kind)) f.plain = false;
    if (param.exact != Exact::Any) f.n_exact = i + 1;
  }
  f.annotations = annotation_texts(member);
  f.defaults = PyList_GET_SIZE(positional_defaults.ptr()) == 0
                   ? none()
                   : steal_or_throw(PyList_AsTuple(positional_defaults.ptr()));
  f.kwdefaults = PyDict_GET_SIZE(keyword_defaults.ptr()) == 0 ? none() : std::move(keyword_defaults);
  return object;
}

Object make_class_member(const ModuleState& st, const MemberSpec& member, Handle module_name,
                             const char* class_name) {
  Object callable = make_callable(st, member, module_name, class_name);
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
