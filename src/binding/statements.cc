// Statement-building members: Python values in, sqltext out.
#include <algorithm>
#include <string>
#include <vector>

#include "binding/members.h"
#include "binding/runtime.h"
#include "sqltext/nested_fields.h"
#include "sqltext/quoting.h"
#include "sqltext/statements.h"

namespace velmor::binding {
namespace {

constexpr std::string_view kDoubleQuote = "\"";

// The names nested-field expressions are written with: module-level names of the host
// package, bound once at import and never rebound, so they are read once.
const sqltext::FieldNames& field_names() {
  static const sqltext::FieldNames names = [] {
    auto keep = [](Name n) { return utf8(global(n).release()); };  // held for the process
    return sqltext::FieldNames{keep(Name::MODEL_TABLE_ALIAS),    keep(Name::METADATA_TABLE_ALIAS),
                               keep(Name::ADDRESS_FIELD),        keep(Name::METADATA_FIELD),
                               keep(Name::PRIMARY_PARTITION_KEY), keep(Name::SECONDARY_PARTITION_KEY),
                               kDoubleQuote};
  }();
  return names;
}

// json.dumps(value) for a str, int or float with the default settings, written
// directly: the same text the standard encoder produces, without its Python layers.
py::object json_dumps_scalar(PyObject* value) {
  static PyObject* const kTrue = constant_str("true");
  static PyObject* const kFalse = constant_str("false");
  static PyObject* const kNaN = constant_str("NaN");
  static PyObject* const kInfinity = constant_str("Infinity");
  static PyObject* const kMinusInfinity = constant_str("-Infinity");
  auto borrowed = [](PyObject* text) { return py::reinterpret_borrow<py::object>(text); };
  if (PyBool_Check(value)) return borrowed(value == Py_True ? kTrue : kFalse);
  if (PyLong_Check(value)) return steal_or_throw(PyLong_Type.tp_repr(value));
  if (PyFloat_Check(value)) {
    double number = PyFloat_AS_DOUBLE(value);
    if (number != number) return borrowed(kNaN);
    if (number == Py_HUGE_VAL) return borrowed(kInfinity);
    if (number == -Py_HUGE_VAL) return borrowed(kMinusInfinity);
    return steal_or_throw(PyFloat_Type.tp_repr(value));
  }
  const int kind = PyUnicode_KIND(value);
  const void* data = PyUnicode_DATA(value);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
  std::string out;
  out.reserve(static_cast<size_t>(length) + 2);
  out.push_back('"');
  constexpr char kHex[] = "0123456789abcdef";
  auto escape = [&](Py_UCS4 unit) {
    out.append("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
  };
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    switch (ch) {
      case '"': out.append("\\\""); continue;
      case '\\': out.append("\\\\"); continue;
      case '\n': out.append("\\n"); continue;
      case '\r': out.append("\\r"); continue;
      case '\t': out.append("\\t"); continue;
      case '\b': out.append("\\b"); continue;
      case '\f': out.append("\\f"); continue;
      default: break;
    }
    if (ch >= 0x20 && ch < 0x7f) {
      out.push_back(static_cast<char>(ch));
    } else if (ch >= 0x10000) {
      Py_UCS4 offset = ch - 0x10000;
      escape(0xD800 | ((offset >> 10) & 0x3FF));
      escape(0xDC00 | (offset & 0x3FF));
    } else {
      escape(ch);
    }
  }
  out.push_back('"');
  return to_str(out);
}

sqltext::Cast cast_for(py::handle value_type) {
  PyObject* type = value_type.ptr();
  if (type == reinterpret_cast<PyObject*>(&PyBool_Type)) return sqltext::Cast::Boolean;
  if (type == reinterpret_cast<PyObject*>(&PyLong_Type)) return sqltext::Cast::Integer;
  if (type == reinterpret_cast<PyObject*>(&PyFloat_Type)) return sqltext::Cast::Real;
  return sqltext::Cast::Text;
}

py::object pair(py::handle first, py::handle second) {
  return py::reinterpret_borrow<py::object>(py::make_tuple(first, second));
}

// The text of a mapping key the way a format string with "{}" writes it.
py::object key_text(py::handle key) {
  if (PyUnicode_CheckExact(key.ptr())) return py::reinterpret_borrow<py::object>(key);
  static PyObject* empty = constant_str("");
  return steal_or_throw(PyObject_Format(key.ptr(), empty));
}

// Column names and converted values of a column mapping, in its order. The mapping
// is read completely before any Python code runs on its values.
struct Columns {
  std::vector<py::object> names;
  std::vector<std::string_view> views;
  py::tuple values;
};

Columns columns_of(py::handle self, py::handle data) {
  Columns columns;
  const Py_ssize_t size = PyDict_GET_SIZE(data.ptr());
  columns.names.reserve(static_cast<size_t>(size));
  columns.views.reserve(static_cast<size_t>(size));
  std::vector<py::object> raw_values;
  raw_values.reserve(static_cast<size_t>(size));
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(data.ptr(), &position, &key, &value)) {
    columns.names.push_back(key_text(key));
    raw_values.push_back(py::reinterpret_borrow<py::object>(value));
  }
  columns.values = py::tuple(raw_values.size());
  for (size_t i = 0; i < raw_values.size(); ++i) {
    columns.views.push_back(utf8(columns.names[i]));
    PyTuple_SET_ITEM(columns.values.ptr(), static_cast<Py_ssize_t>(i),
                     call_method(self, Name::_to_sql_value, raw_values[i]).release().ptr());
  }
  return columns;
}

// `text + other` for str operands, with the interpreter's TypeError otherwise.
std::string_view text_of(py::handle value) {
  if (!PyUnicode_Check(value.ptr())) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                 Py_TYPE(value.ptr())->tp_name);
    throw_python_error();
  }
  return utf8(value);
}

// The sorted names of a query specifier's `only`, each with its distinct flag.
struct SortedColumns {
  py::list names;
  std::vector<sqltext::ColumnTerm> terms;
};

SortedColumns sorted_columns(py::handle query_specifier, bool add_metadata) {
  SortedColumns result;
  py::object only = get_attr(query_specifier, Name::only);
  py::object unique = steal_or_throw(PySet_New(only.ptr()));
  if (add_metadata) {
    static PyObject* metadata = constant_str("_metadata");
    if (PySet_Add(unique.ptr(), metadata) < 0) throw_python_error();
  }
  result.names = py::reinterpret_borrow<py::list>(steal_or_throw(PySequence_List(unique.ptr())));
  if (PyList_Sort(result.names.ptr()) < 0) throw_python_error();
  py::object distinct = get_attr(query_specifier, Name::distinct);
  for (py::handle name : result.names) {
    int member = PySequence_Contains(distinct.ptr(), name.ptr());
    if (member < 0) throw_python_error();
    result.terms.push_back({text_of(name), member != 0});
  }
  return result;
}

}  // namespace

py::object build_insert_statement(Args a) {
  Columns columns = columns_of(a[0], a[2]);
  std::string text = sqltext::insert_statement(utf8(a[1]), columns.views);
  return pair(to_str(text), columns.values);
}

py::object build_delete_statement(Args a) {
  py::handle self = a[0];
  py::object separator = steal_or_throw(PyObject_Str(get_attr(self, Name::TABLE_SEPARATOR).ptr()));
  Columns columns = columns_of(self, a[2]);
  std::string text = sqltext::delete_statement(utf8(a[1]), utf8(separator), columns.views);
  return pair(to_str(text), columns.values);
}

py::object process_value_before_insert(Args a) {
  py::handle value = a[1], data_type = a[2];
  PyObject* v = value.ptr();
  // A float travels as numeric otherwise, which a json column refuses.
  if (utf8(data_type) == "json" && (PyUnicode_Check(v) || PyLong_Check(v) || PyFloat_Check(v))) {
    py::object dumps = get_attr(global(Name::json), Name::dumps);
    if (dumps.ptr() == standard_json_dumps()) return json_dumps_scalar(v);
    return call(dumps, value);
  }
  return py::reinterpret_borrow<py::object>(value);
}

py::object resolve_nested_field_name(Args a) {
  sqltext::ResolveFlags flags{truthy(a[3]), truthy(a[4])};
  return to_str(sqltext::resolve_nested_field_name(utf8(a[0]), utf8(a[1]), cast_for(a[2]), flags,
                                                   field_names()));
}

py::object nested_filter_statement(Args a) {
  py::handle self = a[0], field_name = a[1], nested_fields = a[2], operator_template = a[3],
             value = a[4], value_type = a[5], is_internal = a[6], use_meta = a[7];
  py::object versions = global(Name::Versions);
  py::object all = get_attr(versions, Name::ALL);
  py::object latest = get_attr(versions, Name::LATEST);
  auto equals = [](py::handle left, py::handle right) {
    int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
    if (result < 0) throw_python_error();
    return result != 0;
  };
  bool marker = value_type.ptr() == versions.ptr() ||
                (PyUnicode_Check(value.ptr()) && (equals(value, all) || equals(value, latest)));
  if (marker) {
    static PyObject* const kNoCondition = constant_str("");
    if (equals(value, all)) return pair(kNoCondition, py::none());
    if (equals(field_name, global(Name::ADDRESS_FIELD)) && utf8(nested_fields) == "object_version" &&
        equals(value, latest)) {
      py::object metadata_alias = global(Name::METADATA_TABLE_ALIAS);
      std::string test =
          sqltext::latest_version_test(truthy(use_meta), utf8(metadata_alias), kDoubleQuote);
      return pair(to_str(test), global(Name::NoValue));
    }
  }

  // The parameter decides the cast: a test without parameter (ISNULL) compares no
  // value, so the field is read as text; a tuple (IN) casts by its elements' type.
  py::object parameter = call_method(operator_template, Name::build_value, value);
  py::object no_value = global(Name::NoValue);
  py::handle cast_type = reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()));
  if (parameter.ptr() == no_value.ptr()) {
    cast_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  } else if (PyTuple_Check(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) > 0) {
    PyTypeObject* first = Py_TYPE(PyTuple_GET_ITEM(value.ptr(), 0));
    bool uniform = true;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(value.ptr()); ++i)
      uniform = uniform && Py_TYPE(PyTuple_GET_ITEM(value.ptr(), i)) == first;
    if (uniform) cast_type = reinterpret_cast<PyObject*>(first);
  }

  py::object expression = call_method_kw(self, Name::_resolve_nested_field_name, kw_resolve(),
                                         field_name, nested_fields, cast_type, is_internal, use_meta);
  static PyObject* empty = constant_str("");
  if (!truthy(expression)) return pair(empty, py::none());
  py::object separator = get_attr(self, Name::COLUMN_SEPARATOR);
  py::object text =
      call_method(operator_template, Name::build_statement, expression, value, empty, separator);
  return pair(text, parameter);
}

py::object select_with_internal_meta_statement(Args a) {
  py::handle self = a[0], table_name = a[1], select_only = a[2], conditions = a[3],
             pagination = a[4], order_by = a[5];
  py::object parameters = py::list();
  py::object where;
  if (truthy(conditions)) {
    py::object built = call_method_kw(self, Name::_get_conditions_statement, kw_flags(), conditions,
                                      py::bool_(false), py::bool_(true));
    auto [text, values] = unpack2(built);
    parameters = values;
    if (truthy(text)) where = text;
  }
  py::object group_by;
  if (!sqltext::is_counting_select_list(utf8(select_only)))
    group_by = call_method_kw(self, Name::_build_group_by_statement, kw_flags(), order_by,
                              py::bool_(false), py::bool_(true));
  py::object ordering;
  if (truthy(order_by))
    ordering = call_method_kw(self, Name::_build_order_by_statement, kw_flags(), order_by,
                              py::bool_(false), py::bool_(true));
  bool limit = false;
  if (is_instance(pagination, global(Name::NumberPaginator))) {
    py::object limit_value = get_attr(pagination, Name::limit);
    if (!limit_value.is_none()) {
      py::object offset = get_attr(pagination, Name::offset);
      if (!truthy(offset)) offset = py::int_(0);
      call_method(parameters, Name::append, limit_value);
      call_method(parameters, Name::append, offset);
      limit = true;
    }
  }
  py::object separator = steal_or_throw(PyObject_Str(get_attr(self, Name::TABLE_SEPARATOR).ptr()));
  py::object model_alias = global(Name::MODEL_TABLE_ALIAS);
  py::object metadata_alias = global(Name::METADATA_TABLE_ALIAS);
  py::object source = global(Name::METADATA_SELECT_STATEMENT);
  sqltext::JoinedSelect parts;
  parts.select_list = utf8(select_only);
  parts.table = utf8(table_name);
  parts.table_separator = utf8(separator);
  parts.model_alias = utf8(model_alias);
  parts.metadata_alias = utf8(metadata_alias);
  parts.metadata_source = utf8(source);
  if (where) parts.where = text_of(where);
  if (group_by) parts.group_by = text_of(group_by);
  if (ordering) parts.order_by = text_of(ordering);
  parts.limit = limit;
  return pair(to_str(sqltext::joined_select(parts)), parameters);
}

py::object build_group_by_statement(Args a) {
  py::handle self = a[0], order_by = a[1], is_internal = a[2], use_meta = a[3];
  std::vector<std::string> terms;
  if (truthy(order_by)) {
    static PyObject* separator = constant_str("__");
    for (py::handle item : order_by) {
      py::object field_name = get_attr(item, Name::field_name);
      int nested = PySequence_Contains(field_name.ptr(), separator);
      if (nested < 0) throw_python_error();
      std::string_view text = utf8(field_name);
      if (!nested) {
        terms.emplace_back(text);
        continue;
      }
      size_t split = text.find("__");
      py::object field = to_str(text.substr(0, split));
      py::object rest = to_str(text.substr(split + 2));
      py::object term = call_method_kw(self, Name::_resolve_nested_field_name, kw_flags(), field,
                                       rest, is_internal, use_meta);
      terms.emplace_back(text_of(term));
    }
  }
  return to_str(sqltext::group_by_clause(terms));
}

py::object build_select_statement(Args a) {
  py::handle self = a[0], table_name = a[1], query_specifier = a[2], conditions = a[3],
             pagination = a[4], order_by = a[5], use_meta = a[6];
  if (is_instance(pagination, global(Name::CursorPaginator)))
    raise_connection_error("Cursor pagination is not supported");
  const bool internal = sqltext::is_internal_table(utf8(table_name));

  if (!truthy(use_meta) || internal) {
    std::string columns = "*";
    if (truthy(query_specifier) && truthy(get_attr(query_specifier, Name::only))) {
      SortedColumns sorted = sorted_columns(query_specifier, !internal);
      columns = sqltext::plain_column_list(sorted.terms);
    }
    return call_method_kw(self, Name::_select_statement, kw_plain_select(), table_name,
                          to_str(columns), conditions, pagination, order_by, py::bool_(internal));
  }

  py::object model_alias = global(Name::MODEL_TABLE_ALIAS);
  py::object metadata_field = global(Name::METADATA_SELECT_FIELD);
  std::vector<sqltext::ColumnTerm> terms;
  SortedColumns sorted;
  if (truthy(query_specifier)) {
    sorted = sorted_columns(query_specifier, false);
    terms = sorted.terms;
  }
  std::string columns =
      sqltext::joined_column_list(terms, utf8(model_alias), utf8(metadata_field));
  return call_method_kw(self, Name::_select_with_internal_meta_statement, kw_joined_select(),
                        table_name, to_str(columns), conditions, pagination, order_by);
}

// --- The condition operator map's functions ----------------------------------------------

py::object eq_template(Args a) {
  static PyObject* is = constant_str("{field_name} IS %s");
  static PyObject* equals = constant_str("{field_name} = %s");
  return py::reinterpret_borrow<py::object>(PyBool_Check(a[0].ptr()) ? is : equals);
}

py::object neq_template(Args a) {
  static PyObject* is_not = constant_str("{field_name} IS NOT %s");
  static PyObject* differs = constant_str("{field_name} != %s");
  return py::reinterpret_borrow<py::object>(PyBool_Check(a[0].ptr()) ? is_not : differs);
}

py::object isnull_template(Args a) {
  static PyObject* is_null = constant_str("{field_name} IS NULL");
  static PyObject* is_not_null = constant_str("{field_name} IS NOT NULL");
  return py::reinterpret_borrow<py::object>(truthy(a[0]) ? is_null : is_not_null);
}

py::object upper_text(Args a) {
  py::object text = steal_or_throw(PyObject_Str(a[0].ptr()));
  return call_method(text, Name::upper);
}

py::object no_value(Args) { return global(Name::NoValue); }

}  // namespace velmor::binding
