#include "binding/runtime.h"

#include <memory>

namespace velmor::binding {
namespace {

constexpr const char* kSpelled[] = {
#define VELMOR_SPELL(n) #n,
    VELMOR_NAMES(VELMOR_SPELL)
#undef VELMOR_SPELL
};

PyObject* g_names[static_cast<int>(Name::kCount)];
PyObject* g_globals = nullptr;  // the module's __dict__, kept for the process

struct KwTuples {
  PyObject* flags;
  PyObject* meta_only;
  PyObject* resolve;
  PyObject* plain_select;
  PyObject* joined_select;
  PyObject* k;
  PyObject* number_paginator;
} g_kw;

PyObject* names_tuple(std::initializer_list<Name> names) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
  if (!tuple) throw_python_error();
  Py_ssize_t i = 0;
  for (Name n : names) {
    PyObject* item = name(n);
    Py_INCREF(item);
    PyTuple_SET_ITEM(tuple, i++, item);
  }
  return tuple;
}

}  // namespace

PyObject* name(Name n) noexcept { return g_names[static_cast<int>(n)]; }

void init_runtime(py::module_ module) {
  for (int i = 0; i < static_cast<int>(Name::kCount); ++i) {
    if (g_names[i]) continue;
    g_names[i] = PyUnicode_InternFromString(kSpelled[i]);
    if (!g_names[i]) throw_python_error();
  }
  PyObject* dict = PyModule_GetDict(module.ptr());
  Py_XINCREF(dict);
  Py_XSETREF(g_globals, dict);
  if (!g_kw.flags) {
    g_kw.flags = names_tuple({Name::is_internal_table, Name::use_internal_meta_tables});
    g_kw.meta_only = names_tuple({Name::use_internal_meta_tables});
    g_kw.resolve = names_tuple(
        {Name::value_type, Name::is_internal_table, Name::use_internal_meta_tables});
    g_kw.plain_select = names_tuple({Name::select_only, Name::conditions, Name::pagination,
                                     Name::order_by, Name::is_internal_table});
    g_kw.joined_select =
        names_tuple({Name::select_only, Name::conditions, Name::pagination, Name::order_by});
    g_kw.k = names_tuple({Name::k});
    g_kw.number_paginator = names_tuple({Name::limit, Name::offset});
  }
}

py::object global(Name n) {
  PyObject* key = name(n);
  PyObject* value = PyDict_GetItemWithError(g_globals, key);
  if (!value) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    throw_python_error();
  }
  return py::reinterpret_borrow<py::object>(value);
}

py::object get_attr(py::handle object, Name attribute) {
  return steal_or_throw(PyObject_GetAttr(object.ptr(), name(attribute)));
}

void set_attr(py::handle object, Name attribute, py::handle value) {
  if (PyObject_SetAttr(object.ptr(), name(attribute), value.ptr()) < 0) throw_python_error();
}

py::handle kw_flags() { return g_kw.flags; }
py::handle kw_meta_only() { return g_kw.meta_only; }
py::handle kw_resolve() { return g_kw.resolve; }
py::handle kw_plain_select() { return g_kw.plain_select; }
py::handle kw_joined_select() { return g_kw.joined_select; }
py::handle kw_k() { return g_kw.k; }
py::handle kw_number_paginator() { return g_kw.number_paginator; }

std::string_view utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw_python_error();
  return {data, static_cast<size_t>(size)};
}

py::str to_str(std::string_view text) {
  PyObject* result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (!result) throw_python_error();
  return py::reinterpret_steal<py::str>(result);
}

void raise_connection_error(std::string_view message) {
  py::object error_type = global(Name::VelmorConnectionError);
  py::object error = call(error_type, to_str(message));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw_python_error();
}

std::pair<py::object, py::object> unpack2(py::handle value) {
  PyObject* object = value.ptr();
  if (PyTuple_CheckExact(object) && PyTuple_GET_SIZE(object) == 2) {
    return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(object, 0)),
            py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(object, 1))};
  }
  PyObject* iterator = PyObject_GetIter(object);
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(object)->tp_name);
    }
    throw_python_error();
  }
  auto it = py::reinterpret_steal<py::object>(iterator);
  py::object items[2];
  for (int i = 0; i < 2; ++i) {
    PyObject* item = PyIter_Next(iterator);
    if (!item) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      throw_python_error();
    }
    items[i] = py::reinterpret_steal<py::object>(item);
  }
  PyObject* extra = PyIter_Next(iterator);
  if (extra) {
    Py_DECREF(extra);
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw_python_error();
  }
  if (PyErr_Occurred()) throw_python_error();
  return {std::move(items[0]), std::move(items[1])};
}

py::object call_method_spread(py::handle self, Name method, py::handle first, py::handle rest) {
  // A tuple is used as it is; anything else is copied into one first, so that the
  // call cannot change the sequence being spread under our feet.
  py::object arguments;
  if (PyTuple_CheckExact(rest.ptr())) {
    arguments = py::reinterpret_borrow<py::object>(rest);
  } else {
    PyObject* tuple = PySequence_Tuple(rest.ptr());
    if (!tuple) {
      if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyObject_HasAttrString(rest.ptr(), "__iter__")) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument after * must be an iterable, not %.200s",
                     Py_TYPE(rest.ptr())->tp_name);
      }
      throw_python_error();
    }
    arguments = py::reinterpret_steal<py::object>(tuple);
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(arguments.ptr());
  constexpr Py_ssize_t kInline = 16;
  PyObject* inline_argv[kInline + 2];
  std::unique_ptr<PyObject*[]> heap;
  PyObject** argv = inline_argv;
  if (n > kInline) {
    heap.reset(new PyObject*[static_cast<size_t>(n) + 2]);
    argv = heap.get();
  }
  argv[0] = self.ptr();
  argv[1] = first.ptr();
  for (Py_ssize_t i = 0; i < n; ++i) argv[2 + i] = PyTuple_GET_ITEM(arguments.ptr(), i);
  return steal_or_throw(
      PyObject_VectorcallMethod(name(method), argv, static_cast<size_t>(n) + 2, nullptr));
}

py::object import_name(PyObject* module_name, PyObject* attribute_str) {
  PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name);
  if (loaded && PyModule_CheckExact(loaded)) {
    if (PyObject* value = PyObject_GetAttr(loaded, attribute_str)) return py::reinterpret_steal<py::object>(value);
  }
  // Not loaded yet, or still initialising in another thread: the full import waits
  // for it and reports what is missing.
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
  PyErr_Clear();
  py::tuple fromlist = py::make_tuple(py::handle(attribute_str));
  py::object imported = steal_or_throw(
      PyImport_ImportModuleLevelObject(module_name, g_globals, nullptr, fromlist.ptr(), 0));
  PyObject* value = PyObject_GetAttr(imported.ptr(), attribute_str);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", attribute_str, module_name);
    throw_python_error();
  }
  return py::reinterpret_steal<py::object>(value);
}

bool truthy(py::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw_python_error();
  return result != 0;
}

bool is_instance(py::handle value, py::handle cls) {
  int result = PyObject_IsInstance(value.ptr(), cls.ptr());
  if (result < 0) throw_python_error();
  return result != 0;
}

PyObject* constant_str(std::string_view text) {
  PyObject* result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (!result) throw_python_error();
  PyUnicode_InternInPlace(&result);
  return result;
}

namespace {
PyObject* g_standard_deepcopy = nullptr;
PyObject* g_standard_json_dumps = nullptr;
}  // namespace

PyObject* standard_json_dumps() noexcept { return g_standard_json_dumps; }

void set_standard_json_dumps(py::handle function) {
  Py_XINCREF(function.ptr());
  Py_XSETREF(g_standard_json_dumps, function.ptr());
}

PyObject* standard_deepcopy() noexcept { return g_standard_deepcopy; }

void set_standard_deepcopy(py::handle function) {
  Py_XINCREF(function.ptr());
  Py_XSETREF(g_standard_deepcopy, function.ptr());
}

py::object last_item(py::handle sequence) {
  return steal_or_throw(PySequence_GetItem(sequence.ptr(), -1));
}

py::object pop_last(py::handle list) {
  return steal_or_throw(PyObject_CallMethodNoArgs(list.ptr(), name(Name::pop)));
}

}  // namespace velmor::binding
