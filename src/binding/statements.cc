// Statement-building members: Python values in, sqltext out.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/members.h"
#include "binding/runtime.h"
#include "sqltext/nested_fields.h"
#include "sqltext/quoting.h"
#include "sqltext/statements.h"

namespace velmor::binding {
namespace {

// The host package's names a statement writes (module globals, TABLE_SEPARATOR), read as
// Python code reads them, when the statement needs them. An exact str is written as its
// text; any other object is a hole in the text, which `join` fills by adding the pieces
// with Python's +, left to right, as `"... AS " + MODEL_TABLE_ALIAS + " JOIN (" ...` would.
class HostNames {
 public:
  explicit HostNames(const ModuleState& st) : st_(st), texts_(st.global_texts()) {}

  // A module global, for the statement builders in sqltext.
  sqltext::HostName global(Name name) const {
    if (texts_ && texts_->version() == st_.globals_version())
      if (const Utf8* text = texts_->find(name)) return text->view();
    return value(st_.global(name));
  }
  // Any value.
  sqltext::HostName value(Object value) const {
    const int index = static_cast<int>(held_.size());
    if (PyUnicode_CheckExact(value.ptr())) return held_.emplace_back(std::move(value), Utf8(value)).text->view();
    // A str of a class of its own lends its text to what is written around it.
    std::optional<Utf8> text;
    if (PyUnicode_Check(value.ptr())) text.emplace(value);
    const std::string_view view = text ? text->view() : std::string_view();
    held_.emplace_back(std::move(value), std::move(text));
    return sqltext::HostName::hole_for(index, view);
  }
  // The nested-field names, as sqltext asks for them; `field` is the field compared with them.
  sqltext::FieldNames field_names(Handle field) const {
    field_ = field;
    return {read_field_name, equals_field_name, this, kColumnQuote};
  }

  Object join(const sqltext::Parts& parts) const;

 private:
  struct Held {
    Held(Object v, std::optional<Utf8> t) : value(std::move(v)), text(std::move(t)) {}
    Object value;
    std::optional<Utf8> text;
  };

  static sqltext::HostName read_field_name(const void* context, sqltext::FieldNames::Name which) {
    return static_cast<const HostNames*>(context)->global(kFieldNameGlobals[static_cast<std::size_t>(which)]);
  }
  // `field == <name>` as Python compares them, for a name that is a hole (as it was read).
  static bool equals_field_name(const void* context, const sqltext::HostName& name, std::string_view) {
    const auto* self = static_cast<const HostNames*>(context);
    Handle value = self->held_[static_cast<std::size_t>(name.hole)].value;
    const int equal = PyObject_RichCompareBool(self->field_.ptr(), value.ptr(), Py_EQ);
    if (equal < 0) throw_python_error();
    return equal != 0;
  }

  const ModuleState& st_;
  std::shared_ptr<const GlobalTexts> texts_;  // the globals' texts as the call began
  mutable std::vector<Held> held_;            // what was read, alive for the call; a hole's index
  mutable Handle field_;
};

Object HostNames::join(const sqltext::Parts& parts) const {
  const std::string_view text = parts.text();
  if (parts.holes().empty()) return to_str(text);
  Object joined;
  auto add = [&](Object piece) {
    joined = joined ? steal_or_throw(PyNumber_Add(joined.ptr(), piece.ptr())) : std::move(piece);
  };
  std::size_t at = 0;
  for (const sqltext::Parts::Hole& hole : parts.holes()) {
    if (hole.at > at) add(to_str(text.substr(at, hole.at - at)));
    Object name = held_[static_cast<std::size_t>(hole.name)].value;
    if (hole.quoted) {  // name.replace('"', '""').replace("%", "%%")
      Object quote = to_str(kColumnQuote);
      Object doubled = steal_or_throw(PyNumber_Add(quote.ptr(), quote.ptr()));
      name = steal_or_throw(PyObject_CallMethod(name.ptr(), "replace", "OO", quote.ptr(), doubled.ptr()));
      name = steal_or_throw(PyObject_CallMethod(name.ptr(), "replace", "ss", "%", "%%"));
    }
    add(std::move(name));
    at = hole.at;
  }
  if (at < text.size()) add(to_str(text.substr(at)));
  return joined;
}

// json.dumps(value) for a str, int or float with the default settings, written
// directly: the same text the standard encoder produces, without its Python layers.
Object json_dumps_scalar(const ModuleState& st, PyObject* value) {
  if (PyBool_Check(value)) return own(st.text(value == Py_True ? Text::json_true : Text::json_false));
  if (PyLong_Check(value)) return steal_or_throw(PyLong_Type.tp_repr(value));
  if (PyFloat_Check(value)) {
    double number = PyFloat_AS_DOUBLE(value);
    if (number != number) return own(st.text(Text::json_nan));
    if (number == Py_HUGE_VAL) return own(st.text(Text::json_infinity));
    if (number == -Py_HUGE_VAL) return own(st.text(Text::json_minus_infinity));
    return steal_or_throw(PyFloat_Type.tp_repr(value));
  }
  const int kind = PyUnicode_KIND(value);
  const void* data = PyUnicode_DATA(value);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
  if (PyUnicode_IS_COMPACT_ASCII(value)) {
    // Printable ASCII without quote or backslash is written as it stands, between quotes.
    const auto* chars = static_cast<const unsigned char*>(data);
    Py_ssize_t i = 0;
    while (i < length && chars[i] >= 0x20 && chars[i] < 0x7f && chars[i] != '"' && chars[i] != '\\') ++i;
    if (i == length) {
      Object text = steal_or_throw(PyUnicode_New(length + 2, 127));
      auto* out = static_cast<char*>(PyUnicode_DATA(text.ptr()));
      out[0] = '"';
      std::memcpy(out + 1, chars, static_cast<std::size_t>(length));
      out[length + 1] = '"';
      return text;
    }
  }
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

// The cast for a value type: boolean when it equals bool, integer when it equals int
// (in that order, so an object whose __eq__ says so counts), real only for float itself.
sqltext::Cast cast_for(const ModuleState& st, Handle value_type) {
  // A class whose metaclass is type itself compares by identity: no Python code to run.
  const bool plain_class = st.fast_paths() && Py_TYPE(value_type.ptr()) == &PyType_Type;
  auto is = [&](PyTypeObject* type) {
    PyObject* other = reinterpret_cast<PyObject*>(type);
    return plain_class ? value_type.ptr() == other : equals(value_type, other);
  };
  if (is(&PyBool_Type)) return sqltext::Cast::Boolean;
  if (is(&PyLong_Type)) return sqltext::Cast::Integer;
  if (value_type.ptr() == reinterpret_cast<PyObject*>(&PyFloat_Type)) return sqltext::Cast::Real;
  return sqltext::Cast::Text;
}

Object pair(Handle first, Handle second) { return make_tuple(first, second); }

// The text of a mapping key as the statement writes it: a str (a subclass too) as its
// own text, anything else as format(key) writes it.
Object key_text(const ModuleState& st, Object key) {
  if (PyUnicode_Check(key.ptr())) return key;
  return steal_or_throw(PyObject_Format(key.ptr(), st.text(Text::empty)));
}

// The column names of a column mapping, read as a Python loop reads it: formatting a key
// may run code that changes the mapping; the walk then fails as the dict's iterator would.
std::vector<Object> column_names(const ModuleState& st, Handle data) {
  std::vector<Object> names;  // strs
  names.reserve(static_cast<size_t>(PyDict_GET_SIZE(data.ptr())));
  Object key, value;
  for (DictWalk keys(data); keys.next(key, value);) names.push_back(key_text(st, key));
  return names;
}

// Then its values, each through _to_sql_value, one per name: the walk fails as soon as the
// mapping has changed size since the names were read, so it yields exactly one value per
// name, straight into the tuple (a tuple left unfilled by an error is freed unseen).
Object column_values(const ModuleState& st, Handle self, Handle data, std::size_t count) {
  Object values = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(count)));
  Py_ssize_t filled = 0;
  Object key, value;
  for (DictWalk walk(data); walk.next(key, value) && filled < static_cast<Py_ssize_t>(count);)
    PyTuple_SET_ITEM(values.ptr(), filled++, st.call_method(self, Name::_to_sql_value, value).release());
  return values;
}

// `text + other` for str operands, with the interpreter's TypeError otherwise.
Utf8 text_of(Handle value) {
  if (!PyUnicode_Check(value.ptr())) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(value.ptr())->tp_name);
    throw_python_error();
  }
  return Utf8(value);
}

// The sorted names of a query specifier's `only`, each with its distinct flag.
struct SortedColumns {
  std::vector<Utf8> names;
  std::vector<sqltext::ColumnTerm> terms;
};

SortedColumns sorted_columns(const ModuleState& st, Handle query_specifier, bool add_metadata) {
  Object only = st.attr(query_specifier, Name::only);
  Object unique = steal_or_throw(PySet_New(only.ptr()));
  if (add_metadata && PySet_Add(unique.ptr(), st.text(Text::metadata_column)) < 0) throw_python_error();
  Object names = steal_or_throw(PySequence_List(unique.ptr()));
  if (PyList_Sort(names.ptr()) < 0) throw_python_error();
  Object distinct = st.attr(query_specifier, Name::distinct);
  SortedColumns result;
  std::vector<bool> flags;
  Object iterator = steal_or_throw(PyObject_GetIter(names.ptr()));
  while (Object name = next_item(iterator)) {
    result.names.push_back(text_of(name));
    int member = PySequence_Contains(distinct.ptr(), name.ptr());
    if (member < 0) throw_python_error();
    flags.push_back(member != 0);
  }
  for (size_t i = 0; i < result.names.size(); ++i) result.terms.push_back({result.names[i], flags[i]});
  return result;
}

// The separators around a delete's table name: str(self.TABLE_SEPARATOR), read twice as
// the statement's two quotes are. None for an insert.
struct Separators {
  Object open, close;
  bool delete_statement() const noexcept { return bool(open); }
};

Separators table_separators(const ModuleState& st, Handle self) {
  Separators separators;
  separators.open = steal_or_throw(PyObject_Str(st.attr(self, Name::TABLE_SEPARATOR).ptr()));
  separators.close = steal_or_throw(PyObject_Str(st.attr(self, Name::TABLE_SEPARATOR).ptr()));
  return separators;
}

// The text of an insert or a delete of the table's columns, `name(i)` giving column i's
// name (a str): kept from a statement of the same shape built lately, or built and kept.
template <typename ColumnName>
Object statement_text(ModuleState& st, Handle table_name, const Separators& separators, std::size_t columns,
                      const ColumnName& name) {
  const bool is_delete = separators.delete_statement();
  const auto kind = is_delete ? TextCache::Kind::Delete : TextCache::Kind::Insert;
  const std::size_t head = is_delete ? 3 : 1;
  auto part = [&](std::size_t i) -> PyObject* {
    return i == 0 ? table_name.ptr() : i == 1 && is_delete ? separators.open.ptr()
                                     : i == 2 && is_delete ? separators.close.ptr()
                                                           : name(i - head);
  };
  // A table name that is not a str fails below, as it always does, and is never kept.
  const bool keep = st.fast_paths() && PyUnicode_Check(table_name.ptr());
  if (keep)
    if (Object known = st.statement_texts().find(kind, head + columns, part)) return known;
  std::vector<Utf8> names;
  names.reserve(columns);
  for (std::size_t i = 0; i < columns; ++i) names.emplace_back(Handle(name(i)));
  const std::vector<std::string_view> views(names.begin(), names.end());
  Utf8 table(table_name);
  Object text = to_str(is_delete ? sqltext::delete_statement(table, Utf8(separators.open), Utf8(separators.close), views)
                                 : sqltext::insert_statement(table, views));
  if (keep) st.statement_texts().store(kind, head + columns, part, text);
  return text;
}

// (text, parameters) of the insert, or of the delete with separators, of (name, value)
// pairs whose names are exact strs: nothing runs while the names are read, so the
// separators are read next and the values last, as the builders read a mapping.
std::pair<Object, Object> statement_of_pairs(ModuleState& st, Handle self, Handle table_name,
                                             const Separators& separators,
                                             const std::vector<std::pair<Object, Object>>& pairs) {
  Object values = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(pairs.size())));
  Py_ssize_t filled = 0;
  for (const auto& [name, value] : pairs)
    PyTuple_SET_ITEM(values.ptr(), filled++, st.call_method(self, Name::_to_sql_value, value).release());
  Object text = statement_text(st, table_name, separators, pairs.size(),
                               [&](std::size_t i) { return pairs[i].first.ptr(); });
  return {std::move(text), std::move(values)};
}

// A builder member: the names, the separators (a delete's), then the values.
Object statement_of_mapping(ModuleState& st, Handle self, Handle table_name, Handle data, bool is_delete) {
  std::vector<Object> names = column_names(st, data);
  Separators separators = is_delete ? table_separators(st, self) : Separators{};
  Object values = column_values(st, self, data, names.size());
  Object text = statement_text(st, table_name, separators, names.size(),
                               [&](std::size_t i) { return names[i].ptr(); });
  return pair(text, values);
}

}  // namespace

Object build_insert_statement(const Args& a) { return statement_of_mapping(a.st, a[0], a[1], a[2], false); }

Object build_delete_statement(const Args& a) { return statement_of_mapping(a.st, a[0], a[1], a[2], true); }

std::pair<Object, Object> insert_statement_of(ModuleState& st, Handle self, Handle table_name,
                                              const std::vector<std::pair<Object, Object>>& pairs) {
  return statement_of_pairs(st, self, table_name, Separators{}, pairs);
}

std::pair<Object, Object> delete_statement_of(ModuleState& st, Handle self, Handle table_name,
                                              const std::vector<std::pair<Object, Object>>& pairs) {
  return statement_of_pairs(st, self, table_name, table_separators(st, self), pairs);
}

Object adapt_value(const ModuleState& st, Handle value, Handle data_type, bool& ran_python) {
  PyObject* v = value.ptr();
  // A float travels as numeric otherwise, which a json column refuses.
  if (holds_ascii(data_type, "json") && (PyUnicode_Check(v) || PyLong_Check(v) || PyFloat_Check(v))) {
    // json.dumps(value), `json` being the global as it is now.
    Object json = st.global(Name::json);
    if (st.is_standard_json(json)) return json_dumps_scalar(st, v);
    ran_python = true;
    return call(st.attr(json, Name::dumps), value);
  }
  return own(value);
}

Object process_value_before_insert(const Args& a) {
  bool ran_python = false;
  return adapt_value(a.st, a[1], a[2], ran_python);
}

Object resolve_nested_field_name(const Args& a) {
  const ModuleState& st = a.st;
  Handle value_type = a[2];
  sqltext::ResolveFlags flags{truthy(a[3]), truthy(a[4])};
  // The cast of a class whose metaclass is type is decided without running Python code,
  // and nothing else below runs any once the names are texts (converting one may raise,
  // and with it run a collection's callbacks): one snapshot of the globals, taken after
  // that and held for the call, answers every name the expression reads.
  if (st.fast_paths() && Py_TYPE(value_type.ptr()) == &PyType_Type) {
    const Utf8 field = Utf8::lent(a[0]), nested = Utf8::lent(a[1]);
    if (std::shared_ptr<const GlobalTexts> texts = st.global_texts())
      if (const sqltext::FieldNames* names = texts->field_names())
        return to_str(
            sqltext::resolve_nested_field_name(field, nested, cast_for(st, value_type), flags, *names).take_text());
  }
  HostNames host(st);
  struct CastContext {
    const ModuleState& st;
    Handle type;
  } asked{st, value_type};
  const sqltext::CastSource cast_of{
      [](const void* context) {
        const auto* c = static_cast<const CastContext*>(context);
        return cast_for(c->st, c->type);
      },
      &asked};
  return host.join(
      sqltext::resolve_nested_field_name(Utf8(a[0]), Utf8(a[1]), cast_of, flags, host.field_names(a[0])));
}

namespace {

// self._resolve_nested_field_name(field, nested, [value_type,] is_internal_table=...,
// use_internal_meta_tables=...), run in place while the look-up finds the class's own
// and the call is one it takes as it is (exact str names). A null value_type is the
// parameter's default.
Object resolve_field(ModuleState& st, Handle self, Handle field, Handle nested, Handle value_type,
                     Handle is_internal, Handle use_meta) {
  if (PyUnicode_CheckExact(field.ptr()) && PyUnicode_CheckExact(nested.ptr()) &&
      st.own_member(self, Name::_resolve_nested_field_name)) {
    PyObject* default_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* slots[] = {field.ptr(), nested.ptr(), value_type ? value_type.ptr() : default_type, is_internal.ptr(),
                         use_meta.ptr()};
    return resolve_nested_field_name(Args{st, slots});
  }
  if (!value_type)
    return st.call_method_kw(self, Name::_resolve_nested_field_name, Kw::Flags, field, nested, is_internal, use_meta);
  return st.call_method_kw(self, Name::_resolve_nested_field_name, Kw::Resolve, field, nested, value_type,
                           is_internal, use_meta);
}

}  // namespace

Object nested_filter_statement(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], field_name = a[1], nested_fields = a[2], operator_template = a[3], value = a[4],
             value_type = a[5], is_internal = a[6], use_meta = a[7];
  Object versions = st.global(Name::Versions);
  Object all = st.attr(versions, Name::ALL);
  Object latest = st.attr(versions, Name::LATEST);
  auto same = [](Handle left, Handle right) {
    int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
    if (result < 0) throw_python_error();
    return result != 0;
  };
  bool marker = value_type.ptr() == versions.ptr() ||
                (PyUnicode_Check(value.ptr()) && (same(value, all) || same(value, latest)));
  if (marker) {
    if (same(value, all)) return pair(st.text(Text::empty), none());
    if (same(field_name, st.global(Name::ADDRESS_FIELD)) && Utf8(nested_fields) == "object_version" &&
        same(value, latest)) {
      HostNames host(st);
      const bool joined = truthy(use_meta);
      Object test = host.join(sqltext::latest_version_test(
          joined, joined ? host.global(Name::METADATA_TABLE_ALIAS) : sqltext::HostName(""), kColumnQuote));
      return pair(test, st.global(Name::NoValue));
    }
  }

  // The parameter decides the cast: a test without parameter (ISNULL) compares no
  // value, so the field is read as text; a tuple (IN) casts by its elements' type.
  Object parameter = st.call_method(operator_template, Name::build_value, value);
  Object no_value = st.global(Name::NoValue);
  Object cast_type = own(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
  if (parameter.ptr() == no_value.ptr()) {
    cast_type = own(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  } else if (PyTuple_Check(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) > 0) {
    // Only type reads below: no Python code runs while the tuple's items are borrowed.
    PyTypeObject* first = Py_TYPE(PyTuple_GET_ITEM(value.ptr(), 0));
    bool uniform = true;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(value.ptr()); ++i)
      uniform = uniform && Py_TYPE(PyTuple_GET_ITEM(value.ptr(), i)) == first;
    if (uniform) cast_type = own(reinterpret_cast<PyObject*>(first));
  }

  Object expression = resolve_field(a.st, self, field_name, nested_fields, cast_type, is_internal, use_meta);
  if (!truthy(expression)) return pair(st.text(Text::empty), none());
  // template.build_statement(expression, value, "", self.COLUMN_SEPARATOR): the method is
  // looked up before the separator is read.
  Method build = Method::found(st.attr(operator_template, Name::build_statement));
  Object separator = st.attr(self, Name::COLUMN_SEPARATOR);
  Object text = build(expression, value, st.text(Text::empty), separator);
  return pair(text, parameter);
}

Object select_with_internal_meta_statement(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], table_name = a[1], select_only = a[2], conditions = a[3], pagination = a[4],
             order_by = a[5];
  // The statement up to the join's end is concatenated first, as `"FROM " +
  // self.TABLE_SEPARATOR + table_name + self.TABLE_SEPARATOR + " AS " + MODEL_TABLE_ALIAS ...`
  // is, before any builder is called: a part that is not a str fails there, as that
  // concatenation fails; the clauses are added to it afterwards.
  HostNames host(st);
  Utf8 select_list(select_only), table(table_name);
  sqltext::JoinedSelect parts;
  parts.select_list = select_list;
  parts.table = table;
  parts.table_open = host.value(st.attr(self, Name::TABLE_SEPARATOR));
  parts.table_close = host.value(st.attr(self, Name::TABLE_SEPARATOR));
  parts.model_alias = host.global(Name::MODEL_TABLE_ALIAS);
  parts.metadata_source = host.global(Name::METADATA_SELECT_STATEMENT);
  parts.metadata_alias = host.global(Name::METADATA_TABLE_ALIAS);
  Object head;  // where a part is a hole: the text so far, joined as Python joins it
  if (parts.table_open.is_hole() || parts.table_close.is_hole() || parts.model_alias.is_hole() ||
      parts.metadata_source.is_hole() || parts.metadata_alias.is_hole())
    head = host.join(sqltext::joined_select(parts));

  Object parameters = new_list();
  std::optional<Utf8> where_text, group_by_text, ordering_text;
  if (truthy(conditions)) {
    Object built = st.call_method_kw(self, Name::_get_conditions_statement, Kw::Flags, conditions,
                                         bool_(false), bool_(true));
    auto [text, values] = unpack2(built);
    // The page limit is appended to this very list: nothing but a list (or no list
    // at all, which fails when a limit applies) may stand in for it.
    if (!PyList_CheckExact(values.ptr()) && !values.is_none()) {
      PyErr_Format(PyExc_TypeError, "Expected list, got %U", type_name(values).ptr());
      throw_python_error();
    }
    parameters = values;
    if (truthy(text)) parts.where = where_text.emplace(text_of(text));
  }
  if (!sqltext::is_counting_select_list(select_list))
    parts.group_by = group_by_text.emplace(text_of(st.call_method_kw(
        self, Name::_build_group_by_statement, Kw::Flags, order_by, bool_(false), bool_(true))));
  if (truthy(order_by))
    parts.order_by = ordering_text.emplace(text_of(st.call_method_kw(
        self, Name::_build_order_by_statement, Kw::Flags, order_by, bool_(false), bool_(true))));
  if (is_instance(pagination, st.global(Name::NumberPaginator))) {
    Object limit_value = st.attr(pagination, Name::limit);
    Object offset = st.attr(pagination, Name::offset);
    if (!limit_value.is_none()) {
      if (!truthy(offset)) offset = int_(0);
      st.call_method(parameters, Name::append, limit_value);
      st.call_method(parameters, Name::append, offset);
      parts.limit = true;
    } else if (!offset.is_none() && compares_with_zero(offset, Py_GT)) {
      // A page with no end still starts at its offset.
      st.call_method(parameters, Name::append, offset);
      parts.offset_alone = true;
    }
  }
  if (!head) return pair(to_str(sqltext::joined_select(parts).take_text()), parameters);
  Object tail = to_str(sqltext::joined_select_clauses(parts));
  return pair(steal_or_throw(PyNumber_Add(head.ptr(), tail.ptr())), parameters);
}

Object build_group_by_statement(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], order_by = a[1], is_internal = a[2], use_meta = a[3];
  std::vector<Object> terms;  // a name, or the resolver's expression for it
  if (truthy(order_by)) {
    Object iterator = steal_or_throw(PyObject_GetIter(order_by.ptr()));
    while (Object item = next_item(iterator)) {
      Object field_name = st.attr(item, Name::field_name);
      int nested = PySequence_Contains(field_name.ptr(), st.text(Text::double_underscore));
      if (nested < 0) throw_python_error();
      if (!nested) {
        terms.push_back(std::move(field_name));
        continue;
      }
      Utf8 text(field_name);
      size_t split = text.view().find("__");
      Object field = to_str(text.view().substr(0, split));
      Object rest = to_str(text.view().substr(split + 2));
      terms.push_back(resolve_field(a.st, self, field, rest, Handle(), is_internal, use_meta));
    }
  }
  // ", ".join(["t1.partition_key", "t1.range_key", *terms]), with join's own error.
  std::vector<Utf8> texts;
  texts.reserve(terms.size());
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (!PyUnicode_Check(terms[i].ptr())) {
      PyErr_Format(PyExc_TypeError, "sequence item %zu: expected str instance, %.80s found", i + 2,
                   Py_TYPE(terms[i].ptr())->tp_name);
      throw_python_error();
    }
    texts.emplace_back(terms[i]);
  }
  return to_str(sqltext::group_by_clause(std::vector<std::string_view>(texts.begin(), texts.end())));
}

Object build_select_statement(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], table_name = a[1], query_specifier = a[2], conditions = a[3], pagination = a[4],
             order_by = a[5], use_meta = a[6];
  if (is_instance(pagination, st.global(Name::CursorPaginator)))
    st.raise_connection_error("Cursor pagination is not supported");
  const bool internal = sqltext::is_internal_table(Utf8(table_name));

  if (!truthy(use_meta) || internal) {
    std::string columns = "*";
    if (truthy(query_specifier) && truthy(st.attr(query_specifier, Name::only))) {
      SortedColumns sorted = sorted_columns(st, query_specifier, !internal);
      columns = sqltext::plain_column_list(sorted.terms);
    }
    return st.call_method_kw(self, Name::_select_statement, Kw::PlainSelect, table_name, to_str(columns), conditions,
                             pagination, order_by, bool_(internal));
  }

  std::vector<sqltext::ColumnTerm> terms;
  SortedColumns sorted;
  if (truthy(query_specifier)) {
    sorted = sorted_columns(st, query_specifier, false);
    terms = sorted.terms;
  }
  HostNames host(st);
  Object columns = host.join(sqltext::joined_column_list(terms, host.global(Name::MODEL_TABLE_ALIAS),
                                                         host.global(Name::METADATA_SELECT_FIELD)));
  return st.call_method_kw(self, Name::_select_with_internal_meta_statement, Kw::JoinedSelect, table_name,
                           columns, conditions, pagination, order_by);
}

// --- The condition operator map's functions ----------------------------------------------

Object eq_template(const Args& a) {
  return own(a.st.text(PyBool_Check(a[0].ptr()) ? Text::eq_is : Text::eq_equals));
}

Object neq_template(const Args& a) {
  return own(a.st.text(PyBool_Check(a[0].ptr()) ? Text::neq_is_not : Text::neq_differs));
}

Object isnull_template(const Args& a) { return own(a.st.text(truthy(a[0]) ? Text::is_null : Text::is_not_null)); }

Object upper_text(const Args& a) {
  Object text = steal_or_throw(PyObject_Str(a[0].ptr()));
  return a.st.call_method(text, Name::upper);
}

Object no_value(const Args& a) { return a.st.global(Name::NoValue); }

}  // namespace velmor::binding
