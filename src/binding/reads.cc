// Reads: query, count, _query and _paginate_items.
#include <vector>

#include "binding/members.h"
#include "binding/runtime.h"

namespace velmor::binding {
namespace {

// (class version, conditions of that version) pairs, in the mapping's order.
struct VersionPlan {
  py::object view;  // the items() view; its truth value decides the merge step
  std::vector<std::pair<py::object, py::object>> pairs;
};

VersionPlan plan_versions(const ModuleState& st, py::handle self, py::handle address, py::handle conditions) {
  VersionPlan plan;
  py::object versions = st.call_method(self, Name::_build_queries_by_version, address, conditions);
  plan.view = st.call_method(versions, Name::items);
  py::object iterator = steal_or_throw(PyObject_GetIter(plan.view.ptr()));
  while (py::object entry = next_item(iterator)) plan.pairs.push_back(unpack2(entry));
  return plan;
}

py::object table_for_version(const ModuleState& st, py::handle self, py::handle address, py::handle class_version) {
  py::object copy = st.call_method(address, Name::model_copy);
  st.set_attr(copy, Name::class_version, class_version);
  py::object service = st.attr(self, Name::table_schema_manager);
  return st.call_method(service, Name::resolve_table_name, copy);
}

py::object slice(py::handle items, py::handle start, py::handle stop) {
  py::object bounds = steal_or_throw(PySlice_New(start.ptr(), stop.ptr(), nullptr));
  return steal_or_throw(PyObject_GetItem(items.ptr(), bounds.ptr()));
}

// The column names of a cursor's description: the first item of each descriptor.
py::list column_names(const ModuleState& st, py::handle cursor) {
  py::list names;
  py::object iterator = steal_or_throw(PyObject_GetIter(st.attr(cursor, Name::description).ptr()));
  while (py::object descriptor = next_item(iterator)) names.append(steal_or_throw(PySequence_GetItem(descriptor.ptr(), 0)));
  return names;
}

// One row as a mapping of column name to value, paired position by position as
// zip(names, row, strict=True) pairs them: the row is read through its own iterator,
// so code run by a column name's __hash__ can shorten it but never make us read past
// its end.
py::dict row_mapping(py::handle names, py::handle row) {
  py::dict mapping;
  py::object values = steal_or_throw(PyObject_GetIter(row.ptr()));
  const Py_ssize_t width = PyList_GET_SIZE(names.ptr());  // our own list: nothing else changes it
  for (Py_ssize_t i = 0; i < width; ++i) {
    py::object value = next_item(values);
    if (!value) {
      PyErr_SetString(PyExc_ValueError, "zip() argument 2 is shorter than argument 1");
      throw_python_error();
    }
    py::object name = own(PyList_GET_ITEM(names.ptr(), i));
    if (PyDict_SetItem(mapping.ptr(), name.ptr(), value.ptr()) < 0) throw_python_error();
  }
  if (next_item(values)) {
    PyErr_SetString(PyExc_ValueError, "zip() argument 2 is longer than argument 1");
    throw_python_error();
  }
  return mapping;
}

}  // namespace

py::object query(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0], address = a[1], query_specifier = a[2], conditions = a[3], pagination = a[4],
             order_by = a[5];
  VersionPlan plan = plan_versions(st, self, address, conditions);

  // Several class versions are merged and sorted in memory, so each table must
  // give its first offset + limit rows and the page is cut from the merged list.
  // One class version is paged by its statement alone.
  py::handle per_table = pagination;
  py::object merged_paginator, page_start, page_stop;
  if (plan.pairs.size() > 1 && is_instance(pagination, st.global(Name::NumberPaginator))) {
    py::object limit = st.attr(pagination, Name::limit);
    if (!limit.is_none()) {
      page_start = st.attr(pagination, Name::offset);
      if (!truthy(page_start)) page_start = py::int_(0);
      page_stop = steal_or_throw(PyNumber_Add(page_start.ptr(), limit.ptr()));
      merged_paginator = call_kw(st.global(Name::NumberPaginator), st.kw(Kw::NumberPaginator), page_stop, py::int_(0));
      per_table = merged_paginator;
    }
  }

  py::object result = py::list();
  for (auto& [class_version, version_conditions] : plan.pairs) {
    py::object table = table_for_version(st, self, address, class_version);
    py::object items =
        st.call_method(self, Name::_query, table, query_specifier, version_conditions, per_table, order_by);
    st.call_method(result, Name::extend, items);
  }
  if (!truthy(plan.view)) return result;

  py::object sorted = call(st.global(Name::sort_items), result, order_by);
  if (plan.pairs.size() == 1) return sorted;
  if (page_stop) return slice(sorted, page_start, page_stop);
  return st.call_method(self, Name::_paginate_items, sorted, pagination);
}

py::object paginate_items(const Args& a) {
  const ModuleState& st = a.st;
  py::handle items = a[0], pagination = a[1];
  if (is_instance(pagination, st.global(Name::NumberPaginator))) {
    py::object limit = st.attr(pagination, Name::limit);
    py::object offset = st.attr(pagination, Name::offset);
    if (!limit.is_none() && !offset.is_none()) {
      py::object stop = steal_or_throw(PyNumber_Add(offset.ptr(), limit.ptr()));
      return slice(items, offset, stop);
    }
    return py::reinterpret_borrow<py::object>(items);
  }
  if (is_instance(pagination, st.global(Name::CursorPaginator)))
    st.call_method(st.global(Name::logger), Name::warning, st.text(Text::cursor_pagination_ignored));
  return py::reinterpret_borrow<py::object>(items);
}

py::object count(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0], address = a[1], conditions = a[2];
  VersionPlan plan = plan_versions(st, self, address, conditions);
  py::object total = py::int_(0);
  for (auto& [class_version, version_conditions] : plan.pairs) {
    py::object table = table_for_version(st, self, address, class_version);
    py::object built =
        st.call_method_kw(self, Name::_build_count_statement, Kw::MetaOnly, table, version_conditions, py::bool_(true));
    auto [statement, parameters] = unpack2(built);
    py::object cursor = st.call_method_spread(self, Name::execute, statement, parameters);
    py::object row = st.call_method(cursor, Name::fetchone);
    if (row.is_none()) continue;
    py::object first = steal_or_throw(PySequence_GetItem(row.ptr(), 0));
    total = steal_or_throw(PyNumber_Add(total.ptr(), first.ptr()));
    if (!PyLong_Check(total.ptr())) {
      PyErr_Format(PyExc_TypeError, "count must be an integer, got %.200s", Py_TYPE(total.ptr())->tp_name);
      throw_python_error();
    }
  }
  return total;
}

py::object query_table(const Args& a) {
  const ModuleState& st = a.st;
  py::handle self = a[0], table_name = a[1];
  py::object built = st.call_method_kw(self, Name::_build_select_statement, Kw::MetaOnly, table_name, a[2], a[3], a[4],
                                       a[5], py::bool_(true));
  auto [statement, parameters] = unpack2(built);
  py::object cursor = st.call_method_spread(self, Name::execute, statement, parameters);
  py::object description = st.call_method(self, Name::_describe_table, table_name);
  py::object rows = st.call_method(cursor, Name::fetchall);

  // The fetched rows are walked with their own iterator, as a for loop walks them:
  // code run by _process_result may change the list, and the walk ends where it ends.
  py::list items;
  py::object names;  // the column names, read once from the cursor's description
  py::object iterator = steal_or_throw(PyObject_GetIter(rows.ptr()));
  while (py::object row = next_item(iterator)) {
    if (!names) names = column_names(st, cursor);
    py::object item = st.call_method(self, Name::_process_result, row_mapping(names, row), description);
    if (PyList_Append(items.ptr(), item.ptr()) < 0) throw_python_error();
  }
  py::object result = std::move(items);
  return result;
}

}  // namespace velmor::binding
