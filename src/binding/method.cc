#include "binding/method.h"

#include <structmember.h>

#include <algorithm>
#include <string>

#include "binding/runtime.h"

namespace velmor::binding {
namespace {

constexpr int kMaxParams = 12;

struct Callable {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const MemberSpec* member;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;          // str or None
  PyObject* annotations;  // dict
  PyObject* defaults;     // tuple or None
  PyObject* kwdefaults;   // dict or None
  PyObject* signature;    // built on first request
  PyObject* param_names[kMaxParams];
  PyObject* default_values[kMaxParams];  // NULL where required
  int n_params;
  int n_positional;  // the leading positional-or-keyword parameters
  int varargs;       // index of *args, or -1
  int varkw;         // index of **kwargs, or -1
};

PyTypeObject* g_method_type = nullptr;    // binds to instances like a function
PyTypeObject* g_function_type = nullptr;  // never binds (static members, plain functions)

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

void format_missing(Callable* self, const char* kind, PyObject* names) {
  Py_ssize_t len = PyList_GET_SIZE(names);
  PyObject* joined = nullptr;
  if (len == 1) {
    joined = PyList_GET_ITEM(names, 0);
    Py_INCREF(joined);
  } else if (len == 2) {
    joined = PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0), PyList_GET_ITEM(names, 1));
  } else {
    PyObject* tail = PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names, len - 2),
                                          PyList_GET_ITEM(names, len - 1));
    PyObject* head_list = PyList_GetSlice(names, 0, len - 2);
    PyObject* comma = PyUnicode_FromString(", ");
    PyObject* head = (head_list && comma) ? PyUnicode_Join(comma, head_list) : nullptr;
    if (head && tail) joined = PyUnicode_Concat(head, tail);
    Py_XDECREF(tail);
    Py_XDECREF(head_list);
    Py_XDECREF(comma);
    Py_XDECREF(head);
  }
  if (!joined) return;
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", self->qualname, len,
               kind, len == 1 ? "" : "s", joined);
  Py_DECREF(joined);
}

void missing_arguments(Callable* self, PyObject* const* slots, bool positional) {
  PyObject* names = PyList_New(0);
  if (!names) return;
  const auto& params = self->member->params;
  for (int i = 0; i < self->n_params; ++i) {
    bool wanted = positional ? params[i].kind == ParamKind::Positional
                             : params[i].kind == ParamKind::KeywordOnly;
    if (!wanted || slots[i] || self->default_values[i]) continue;
    PyObject* repr = PyObject_Repr(self->param_names[i]);
    if (!repr || PyList_Append(names, repr) < 0) {
      Py_XDECREF(repr);
      Py_DECREF(names);
      return;
    }
    Py_DECREF(repr);
  }
  format_missing(self, positional ? "positional" : "keyword-only", names);
  Py_DECREF(names);
}

void too_many_positional(Callable* self, Py_ssize_t given, PyObject* const* slots) {
  Py_ssize_t kwonly_given = 0;
  Py_ssize_t defcount = 0;
  const auto& params = self->member->params;
  for (int i = 0; i < self->n_params; ++i) {
    if (params[i].kind == ParamKind::KeywordOnly && slots[i]) ++kwonly_given;
    if (params[i].kind == ParamKind::Positional && self->default_values[i]) ++defcount;
  }
  PyObject* sig;
  bool plural;
  if (defcount) {
    plural = true;
    sig = PyUnicode_FromFormat("from %zd to %d", self->n_positional - defcount, self->n_positional);
  } else {
    plural = self->n_positional != 1;
    sig = PyUnicode_FromFormat("%d", self->n_positional);
  }
  if (!sig) return;
  PyObject* kwonly_sig =
      kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                          given != 1 ? "s" : "", kwonly_given,
                                          kwonly_given != 1 ? "s" : "")
                   : PyUnicode_FromString("");
  if (kwonly_sig) {
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 self->qualname, sig, plural ? "s" : "", given, kwonly_sig,
                 given == 1 && !kwonly_given ? "was" : "were");
  }
  Py_DECREF(sig);
  Py_XDECREF(kwonly_sig);
}

// From 3.13 the interpreter names the closest parameter too, as it measures closeness
// for misspelt names; its own measure is asked, over the named parameters in order.
PyObject* closest_parameter(Callable* self, PyObject* key) {
  if (Py_Version < 0x030D0000) return nullptr;
  PyObject* suggestions = PyImport_ImportModule("_suggestions");
  PyObject* names = suggestions ? PyList_New(0) : nullptr;
  PyObject* found = nullptr;
  if (names) {
    const auto& params = self->member->params;
    bool listed = true;
    for (int i = 0; i < self->n_params && listed; ++i)
      if (params[i].kind == ParamKind::Positional || params[i].kind == ParamKind::KeywordOnly)
        listed = PyList_Append(names, self->param_names[i]) == 0;
    if (listed) found = PyObject_CallMethod(suggestions, "_generate_suggestions", "OO", names, key);
  }
  Py_XDECREF(names);
  Py_XDECREF(suggestions);
  PyErr_Clear();  // no suggestion then, as in the interpreter
  if (found == Py_None) Py_CLEAR(found);
  return found;
}

void unexpected_keyword(Callable* self, PyObject* key) {
  if (PyObject* suggestion = closest_parameter(self, key)) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 self->qualname, key, suggestion);
    Py_DECREF(suggestion);
    return;
  }
  PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", self->qualname,
               key);
}

int find_keyword(Callable* self, PyObject* key) {
  // Only named parameters can be given by keyword: the names of *args and **kwargs
  // are ordinary keywords for the callee.
  const auto& params = self->member->params;
  auto named = [&](int i) {
    return params[i].kind == ParamKind::Positional || params[i].kind == ParamKind::KeywordOnly;
  };
  for (int i = 0; i < self->n_params; ++i)
    if (self->param_names[i] == key && named(i)) return i;
  for (int i = 0; i < self->n_params; ++i)
    if (named(i) && PyUnicode_Compare(self->param_names[i], key) == 0) return i;
  return -1;
}

py::object invoke(const MemberSpec& member, PyObject* const* slots) {
  py::handle handles[kMaxParams];
  for (size_t i = 0; i < member.params.size(); ++i) handles[i] = slots[i];
  return member.impl(handles);
}

PyObject* callable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  auto* self = reinterpret_cast<Callable*>(callable);
  const MemberSpec& member = *self->member;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* slots[kMaxParams] = {};

  const Py_ssize_t ncopy = nargs < self->n_positional ? nargs : self->n_positional;
  for (Py_ssize_t i = 0; i < ncopy; ++i) slots[i] = args[i];

  py::object varargs, varkw;
  if (self->varargs >= 0) {
    const Py_ssize_t extra = nargs > self->n_positional ? nargs - self->n_positional : 0;
    varargs = py::reinterpret_steal<py::object>(PyTuple_New(extra));
    if (!varargs) return nullptr;
    for (Py_ssize_t i = 0; i < extra; ++i)
      PyTuple_SET_ITEM(varargs.ptr(), i, Py_NewRef(args[self->n_positional + i]));
    slots[self->varargs] = varargs.ptr();
  }
  if (self->varkw >= 0) {
    varkw = py::reinterpret_steal<py::object>(PyDict_New());
    if (!varkw) return nullptr;
    slots[self->varkw] = varkw.ptr();
  }

  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, j);
      PyObject* value = args[nargs + j];
      int index = find_keyword(self, key);
      if (index < 0) {
        if (PyErr_Occurred()) return nullptr;
        if (!varkw) {
          unexpected_keyword(self, key);
          return nullptr;
        }
        if (PyDict_SetItem(varkw.ptr(), key, value) < 0) return nullptr;
        continue;
      }
      if (slots[index]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", self->qualname,
                     key);
        return nullptr;
      }
      slots[index] = value;
    }
  }

  if (nargs > self->n_positional && self->varargs < 0) {
    too_many_positional(self, nargs, slots);
    return nullptr;
  }

  bool missing = false;
  for (int i = 0; i < self->n_positional; ++i)
    if (!slots[i] && !self->default_values[i]) missing = true;
  if (missing) {
    missing_arguments(self, slots, true);
    return nullptr;
  }
  for (int i = 0; i < self->n_params; ++i) {
    if (member.params[i].kind != ParamKind::KeywordOnly || slots[i] || self->default_values[i])
      continue;
    missing_arguments(self, slots, false);
    return nullptr;
  }
  for (int i = 0; i < self->n_params; ++i)
    if (!slots[i]) slots[i] = self->default_values[i];

  for (int i = 0; i < self->n_params; ++i) {
    const Param& param = member.params[i];
    if (param.exact == Exact::Any || has_exact_type(param.exact, slots[i])) continue;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param.name, exact_name(param.exact), Py_TYPE(slots[i])->tp_name);
    return nullptr;
  }

  try {
    return invoke(member, slots).release().ptr();
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

// A member's docstring as the running interpreter's compiler leaves it. From 3.13 the
// compiler strips the first line's leading spaces and the common indentation of the
// later lines that hold text (after expanding tabs), and keeps blank lines.
PyObject* compiled_docstring(const char* text) {
  PyObject* doc = PyUnicode_FromString(text);
  if (!doc || Py_Version < 0x030D0000) return doc;
  PyObject* expanded = PyObject_CallMethod(doc, "expandtabs", nullptr);
  Py_DECREF(doc);
  if (!expanded) return nullptr;
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(expanded, &size);
  if (!utf8) {
    Py_DECREF(expanded);
    return nullptr;
  }
  const std::string raw(utf8, static_cast<size_t>(size));
  Py_DECREF(expanded);
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
  bool first = true;
  while (pos < raw.size()) {
    for (size_t skipped = 0; !first && skipped < margin && pos < raw.size() && raw[pos] == ' ';
         ++skipped)
      ++pos;
    first = false;
    const size_t end = raw.find('\n', pos);
    const size_t next = end == npos ? raw.size() : end + 1;
    clean.append(raw, pos, next - pos);
    pos = next;
  }
  return PyUnicode_FromStringAndSize(clean.data(), static_cast<Py_ssize_t>(clean.size()));
}

PyObject* build_signature(Callable* self) {
  try {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object empty = parameter.attr("empty");
    py::list parameters;
    for (int i = 0; i < self->n_params; ++i) {
      const Param& param = self->member->params[i];
      const char* kind = "POSITIONAL_OR_KEYWORD";
      if (param.kind == ParamKind::VarPositional) kind = "VAR_POSITIONAL";
      if (param.kind == ParamKind::KeywordOnly) kind = "KEYWORD_ONLY";
      if (param.kind == ParamKind::VarKeyword) kind = "VAR_KEYWORD";
      py::object dflt = self->default_values[i]
                            ? py::reinterpret_borrow<py::object>(self->default_values[i])
                            : empty;
      py::object annotation = param.annotation ? py::object(py::str(param.annotation)) : empty;
      parameters.append(parameter(py::reinterpret_borrow<py::str>(self->param_names[i]),
                                  parameter.attr(kind), py::arg("default") = dflt,
                                  py::arg("annotation") = annotation));
    }
    py::object result = self->member->returns ? py::object(py::str(self->member->returns)) : empty;
    return inspect.attr("Signature")(parameters, py::arg("return_annotation") = result)
        .release()
        .ptr();
  } catch (py::error_already_set& error) {
    error.restore();
    return nullptr;
  }
}

PyObject* get_signature(PyObject* object, void*) {
  auto* self = reinterpret_cast<Callable*>(object);
  if (!self->signature) self->signature = build_signature(self);
  Py_XINCREF(self->signature);
  return self->signature;
}

template <PyObject* Callable::*Field>
PyObject* get_field(PyObject* object, void*) {
  PyObject* value = reinterpret_cast<Callable*>(object)->*Field;
  Py_INCREF(value);
  return value;
}

PyGetSetDef kGetSet[] = {
    {"__name__", get_field<&Callable::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&Callable::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&Callable::module>, nullptr, nullptr, nullptr},
    {"__doc__", get_field<&Callable::doc>, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<&Callable::annotations>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&Callable::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_field<&Callable::kwdefaults>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Callable, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

void callable_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<Callable*>(object);
  Py_XDECREF(self->name);
  Py_XDECREF(self->qualname);
  Py_XDECREF(self->module);
  Py_XDECREF(self->doc);
  Py_XDECREF(self->annotations);
  Py_XDECREF(self->defaults);
  Py_XDECREF(self->kwdefaults);
  Py_XDECREF(self->signature);
  for (int i = 0; i < kMaxParams; ++i) {
    Py_XDECREF(self->param_names[i]);
    Py_XDECREF(self->default_values[i]);
  }
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* callable_repr(PyObject* object) {
  return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Callable*>(object)->qualname,
                              object);
}

// Bound like a Python function: through an instance it becomes a bound method.
PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject*) {
  if (!instance || instance == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, instance);
}

PyTypeObject* make_type(const char* type_name, bool binds) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(callable_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(callable_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_getset, kGetSet},
      {Py_tp_members, kMembers},
      {binds ? Py_tp_descr_get : 0, binds ? reinterpret_cast<void*>(method_descr_get) : nullptr},
      {0, nullptr},
  };
  unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
                        Py_TPFLAGS_DISALLOW_INSTANTIATION;
  if (binds) flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
  PyType_Spec type_spec = {type_name, sizeof(Callable), 0, static_cast<unsigned int>(flags), slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) throw_python_error();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

void init_method_types() {
  if (g_method_type) return;
  g_method_type = make_type("velmor_data.connections.implementations.postgresql_history.compiled_method", true);
  g_function_type = make_type("velmor_data.connections.implementations.postgresql_history.compiled_function", false);
}

py::object make_callable(const MemberSpec& member, const char* module_name,
                         const char* qualname_prefix) {
  if (member.params.size() > static_cast<size_t>(kMaxParams))
    throw std::logic_error("too many parameters for a compiled member");
  const bool binds = member.kind == MemberKind::Method || member.kind == MemberKind::Property;
  PyTypeObject* type = binds ? g_method_type : g_function_type;
  auto object = py::reinterpret_steal<py::object>(PyType_GenericAlloc(type, 0));
  if (!object) throw_python_error();
  auto* self = reinterpret_cast<Callable*>(object.ptr());
  self->vectorcall = callable_vectorcall;
  self->member = &member;
  self->varargs = -1;
  self->varkw = -1;
  self->n_params = static_cast<int>(member.params.size());

  std::string qualname = qualname_prefix[0] ? std::string(qualname_prefix) + "." + member.name
                                            : std::string(member.name);
  self->name = PyUnicode_InternFromString(member.name);
  self->qualname = PyUnicode_FromString(qualname.c_str());
  self->module = PyUnicode_FromString(module_name);
  self->doc = member.doc ? compiled_docstring(member.doc) : Py_NewRef(Py_None);
  self->annotations = PyDict_New();
  if (!self->name || !self->qualname || !self->module || !self->doc || !self->annotations)
    throw_python_error();

  py::list positional_defaults;
  py::dict keyword_defaults;
  for (int i = 0; i < self->n_params; ++i) {
    const Param& param = member.params[i];
    self->param_names[i] = PyUnicode_InternFromString(param.name);
    if (!self->param_names[i]) throw_python_error();
    if (PyObject* value = default_object(param.value)) self->default_values[i] = Py_NewRef(value);
    switch (param.kind) {
      case ParamKind::Positional:
        if (self->n_positional != i)
          throw std::logic_error("positional parameters must come first");
        ++self->n_positional;
        if (self->default_values[i]) positional_defaults.append(self->default_values[i]);
        break;
      case ParamKind::VarPositional: self->varargs = i; break;
      case ParamKind::VarKeyword: self->varkw = i; break;
      case ParamKind::KeywordOnly:
        if (self->default_values[i])
          keyword_defaults[py::handle(self->param_names[i])] = self->default_values[i];
        break;
    }
    if (param.annotation &&
        PyDict_SetItem(self->annotations, self->param_names[i], py::str(param.annotation).ptr()) < 0)
      throw_python_error();
  }
  if (member.returns &&
      PyDict_SetItemString(self->annotations, "return", py::str(member.returns).ptr()) < 0)
    throw_python_error();
  self->defaults = positional_defaults.empty()
                       ? Py_NewRef(Py_None)
                       : py::tuple(positional_defaults).release().ptr();
  self->kwdefaults = keyword_defaults.empty() ? Py_NewRef(Py_None) : keyword_defaults.release().ptr();
  return object;
}

py::object make_class_member(const MemberSpec& member, const char* module_name,
                             const char* class_name) {
  py::object callable = make_callable(member, module_name, class_name);
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
