// Reads: query, count, _query and _paginate_items.
#include <vector>

#include "binding/members.h"
#include "binding/runtime.h"

namespace velmor::binding {
namespace {

// (class version, conditions of that version) pairs, in the mapping's order.
struct VersionPlan {
  Object view;  // the items() view; its truth value decides the merge step
  std::vector<std::pair<Object, Object>> pairs;
};

VersionPlan plan_versions(const ModuleState& st, Handle self, Handle address, Handle conditions) {
  VersionPlan plan;
  Object versions = st.call_method(self, Name::_build_queries_by_version, address, conditions);
  plan.view = st.call_method(versions, Name::items);
  Object iterator = steal_or_throw(PyObject_GetIter(plan.view.ptr()));
  while (Object entry = next_item(iterator)) plan.pairs.push_back(unpack2(entry));
  return plan;
}

Object table_for_version(const ModuleState& st, Handle self, Handle address, Handle class_version) {
  Object copy = st.call_method(address, Name::model_copy);
  st.set_attr(copy, Name::class_version, class_version);
  Object service = st.attr(self, Name::table_schema_manager);
  return st.call_method(service, Name::resolve_table_name, copy);
}

Object slice(Handle items, Handle start, Handle stop) {
  Object bounds = steal_or_throw(PySlice_New(start.ptr(), stop.ptr(), nullptr));
  return steal_or_throw(PyObject_GetItem(items.ptr(), bounds.ptr()));
}

// The column names of a cursor's description: the first item of each descriptor.
Object column_names(const ModuleState& st, Handle cursor) {
  Object names = new_list();
  Object iterator = steal_or_throw(PyObject_GetIter(st.attr(cursor, Name::description).ptr()));
  while (Object descriptor = next_item(iterator)) {
    Object name = steal_or_throw(PySequence_GetItem(descriptor.ptr(), 0));
    if (PyList_Append(names.ptr(), name.ptr()) < 0) throw_python_error();
  }
  return names;
}

// One row as a mapping of column name to value, paired position by position as
// zip(names, row, strict=True) pairs them: the row is read through its own iterator,
// so code run by a column name's __hash__ can shorten it but never make us read past
// its end.
Object row_mapping(Handle names, Handle row) {
  Object mapping = new_dict();
  Object values = steal_or_throw(PyObject_GetIter(row.ptr()));
  const Py_ssize_t width = PyList_GET_SIZE(names.ptr());  // our own list: nothing else changes it
  for (Py_ssize_t i = 0; i < width; ++i) {
    Object value = next_item(values);
    if (!value) {
      PyErr_SetString(PyExc_ValueError, "zip() argument 2 is shorter than argument 1");
      throw_python_error();
    }
    Object name = own(PyList_GET_ITEM(names.ptr(), i));
    if (PyDict_SetItem(mapping.ptr(), name.ptr(), value.ptr()) < 0) throw_python_error();
  }
  if (next_item(values)) {
    PyErr_SetString(PyExc_ValueError, "zip() argument 2 is longer than argument 1");
    throw_python_error();
  }
  return mapping;
}

}  // namespace

// A negative bound would count from the end of the merged list in memory but is
// refused by the server in a statement, so neither reading is a page.
void refuse_negative(Handle bound, const char* message) {
  if (bound.is_none() || !compares_with_zero(bound, Py_LT)) return;
  PyErr_SetString(PyExc_ValueError, message);
  throw_python_error();
}

Object query(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], address = a[1], query_specifier = a[2], conditions = a[3], pagination = a[4],
             order_by = a[5];
  const bool numbered = is_instance(pagination, st.global(Name::NumberPaginator));
  Object limit, offset;
  if (numbered) {
    offset = st.attr(pagination, Name::offset);
    refuse_negative(offset, "offset must not be negative");
    limit = st.attr(pagination, Name::limit);
    refuse_negative(limit, "limit must not be negative");
  }
  VersionPlan plan = plan_versions(st, self, address, conditions);

  // Several class versions are merged and sorted in memory, so each table must
  // give its first offset + limit rows (all of them when there is no limit) and
  // the page is cut from the merged list. One class version is paged by its
  // statement alone.
  Handle per_table = pagination;
  Object merged_paginator, page_start, page_stop;
  if (plan.pairs.size() > 1 && numbered) {
    if (!limit.is_none()) {
      page_start = truthy(offset) ? offset : int_(0);
      page_stop = steal_or_throw(PyNumber_Add(page_start.ptr(), limit.ptr()));
      merged_paginator = call_kw(st.global(Name::NumberPaginator), st.kw(Kw::NumberPaginator), page_stop, int_(0));
    } else if (!offset.is_none() && compares_with_zero(offset, Py_GT)) {
      page_start = offset;
      merged_paginator = call_kw(st.global(Name::NumberPaginator), st.kw(Kw::NumberPaginator), none(), int_(0));
    }
    if (merged_paginator) per_table = merged_paginator;
  }

  Object result = new_list();
  for (auto& [class_version, version_conditions] : plan.pairs) {
    Object table = table_for_version(st, self, address, class_version);
    Object items =
        st.call_method(self, Name::_query, table, query_specifier, version_conditions, per_table, order_by);
    st.call_method(result, Name::extend, items);
  }
  if (!truthy(plan.view)) return result;

  Object sorted = call(st.global(Name::sort_items), result, order_by);
  if (plan.pairs.size() == 1) return sorted;
  if (page_start) return slice(sorted, page_start, page_stop);  // no stop: to the end
  return st.call_method(self, Name::_paginate_items, sorted, pagination);
}

Object paginate_items(const Args& a) {
  const ModuleState& st = a.st;
  Handle items = a[0], pagination = a[1];
  if (is_instance(pagination, st.global(Name::NumberPaginator))) {
    Object limit = st.attr(pagination, Name::limit);
    Object offset = st.attr(pagination, Name::offset);
    if (!limit.is_none() && !offset.is_none()) {
      Object stop = steal_or_throw(PyNumber_Add(offset.ptr(), limit.ptr()));
      return slice(items, offset, stop);
    }
    return own(items);
  }
  if (is_instance(pagination, st.global(Name::CursorPaginator)))
    st.call_method(st.global(Name::logger), Name::warning, st.text(Text::cursor_pagination_ignored));
  return own(items);
}

Object count(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], address = a[1], conditions = a[2];
  VersionPlan plan = plan_versions(st, self, address, conditions);
  Object total = int_(0);
  const Object zero = int_(0);
  for (auto& [class_version, version_conditions] : plan.pairs) {
    Object table = table_for_version(st, self, address, class_version);
    Object built =
        st.call_method_kw(self, Name::_build_count_statement, Kw::MetaOnly, table, version_conditions, bool_(true));
    auto [statement, parameters] = unpack2(built);
    Object cursor = execute_spread(a.st, self, statement, parameters);
    Object row = st.call_method(cursor, Name::fetchone);
    if (row.is_none()) continue;
    Object first = steal_or_throw(PyObject_GetItem(row.ptr(), zero.ptr()));  // row[0]
    total = steal_or_throw(PyNumber_Add(total.ptr(), first.ptr()));
    if (!PyLong_Check(total.ptr())) {
      PyErr_Format(PyExc_TypeError, "count must be an integer, got %.200s", Py_TYPE(total.ptr())->tp_name);
      throw_python_error();
    }
  }
  return total;
}

Object query_table(const Args& a) {
  const ModuleState& st = a.st;
  Handle self = a[0], table_name = a[1];
  Object built = st.call_method_kw(self, Name::_build_select_statement, Kw::MetaOnly, table_name, a[2], a[3], a[4],
                                       a[5], bool_(true));
  auto [statement, parameters] = unpack2(built);
  Object cursor = execute_spread(a.st, self, statement, parameters);
  Object description = st.call_method(self, Name::_describe_table, table_name);
  Object rows = st.call_method(cursor, Name::fetchall);

  // The fetched rows are walked with their own iterator, as a for loop walks them:
  // code run by _process_result may change the list, and the walk ends where it ends.
  Object items = new_list();
  Object names;  // the column names, read once from the cursor's description
  Object iterator = steal_or_throw(PyObject_GetIter(rows.ptr()));
  while (Object row = next_item(iterator)) {
    if (!names) names = column_names(st, cursor);
    Object item = st.call_method(self, Name::_process_result, row_mapping(names, row), description);
    if (PyList_Append(items.ptr(), item.ptr()) < 0) throw_python_error();
  }
  return items;
}

}  // namespace velmor::binding
