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

VersionPlan plan_versions(py::handle self, py::handle address, py::handle conditions) {
  VersionPlan plan;
  py::object versions = call_method(self, Name::_build_queries_by_version, address, conditions);
  plan.view = call_method(versions, Name::items);
  for (py::handle entry : plan.view) plan.pairs.push_back(unpack2(entry));
  return plan;
}

py::object table_for_version(py::handle self, py::handle address, py::handle class_version) {
  py::object copy = call_method(address, Name::model_copy);
  set_attr(copy, Name::class_version, class_version);
  py::object service = get_attr(self, Name::table_schema_manager);
  return call_method(service, Name::resolve_table_name, copy);
}

py::object slice(py::handle items, py::handle start, py::handle stop) {
  py::object bounds = steal_or_throw(PySlice_New(start.ptr(), stop.ptr(), nullptr));
  return steal_or_throw(PyObject_GetItem(items.ptr(), bounds.ptr()));
}

}  // namespace

py::object query(Args a) {
  py::handle self = a[0], address = a[1], query_specifier = a[2], conditions = a[3],
             pagination = a[4], order_by = a[5];
  VersionPlan plan = plan_versions(self, address, conditions);

  // Several class versions are merged and sorted in memory, so each table must
  // give its first offset + limit rows and the page is cut from the merged list.
  // One class version is paged by its statement alone.
  py::handle per_table = pagination;
  py::object merged_paginator, page_start, page_stop;
  if (plan.pairs.size() > 1 && is_instance(pagination, global(Name::NumberPaginator))) {
    py::object limit = get_attr(pagination, Name::limit);
    if (!limit.is_none()) {
      page_start = get_attr(pagination, Name::offset);
      if (!truthy(page_start)) page_start = py::int_(0);
      page_stop = steal_or_throw(PyNumber_Add(page_start.ptr(), limit.ptr()));
      merged_paginator = call_kw(global(Name::NumberPaginator), kw_number_paginator(), page_stop,
                                 py::int_(0));
      per_table = merged_paginator;
    }
  }

  py::list result;
  for (auto& [class_version, version_conditions] : plan.pairs) {
    py::object table = table_for_version(self, address, class_version);
    py::object items = call_method(self, Name::_query, table, query_specifier, version_conditions,
                                   per_table, order_by);
    call_method(result, Name::extend, items);
  }
  if (!truthy(plan.view)) return py::object(std::move(result));

  py::object sorted = call(global(Name::sort_items), result, order_by);
  if (plan.pairs.size() == 1) return sorted;
  if (page_stop) return slice(sorted, page_start, page_stop);
  return call_method(self, Name::_paginate_items, sorted, pagination);
}

py::object paginate_items(Args a) {
  py::handle items = a[0], pagination = a[1];
  if (is_instance(pagination, global(Name::NumberPaginator))) {
    py::object limit = get_attr(pagination, Name::limit);
    py::object offset = get_attr(pagination, Name::offset);
    if (!limit.is_none() && !offset.is_none()) {
      py::object stop = steal_or_throw(PyNumber_Add(offset.ptr(), limit.ptr()));
      return slice(items, offset, stop);
    }
    return py::reinterpret_borrow<py::object>(items);
  }
  if (is_instance(pagination, global(Name::CursorPaginator))) {
    static PyObject* message =
        constant_str("Cursor pagination is not supported; the cursor paginator is ignored");
    call_method(global(Name::logger), Name::warning, message);
  }
  return py::reinterpret_borrow<py::object>(items);
}

py::object count(Args a) {
  py::handle self = a[0], address = a[1], conditions = a[2];
  VersionPlan plan = plan_versions(self, address, conditions);
  py::object total = py::int_(0);
  for (auto& [class_version, version_conditions] : plan.pairs) {
    py::object table = table_for_version(self, address, class_version);
    py::object built = call_method_kw(self, Name::_build_count_statement, kw_meta_only(), table,
                                      version_conditions, py::bool_(true));
    auto [statement, parameters] = unpack2(built);
    py::object cursor = call_method_spread(self, Name::execute, statement, parameters);
    py::object row = call_method(cursor, Name::fetchone);
    if (row.is_none()) continue;
    py::object first = steal_or_throw(PySequence_GetItem(row.ptr(), 0));
    total = steal_or_throw(PyNumber_Add(total.ptr(), first.ptr()));
    if (!PyLong_Check(total.ptr())) {
      PyErr_Format(PyExc_TypeError, "count must be an integer, got %.200s",
                   Py_TYPE(total.ptr())->tp_name);
      throw_python_error();
    }
  }
  return total;
}

py::object query_table(Args a) {
  py::handle self = a[0], table_name = a[1];
  py::object built = call_method_kw(self, Name::_build_select_statement, kw_meta_only(), table_name,
                                    a[2], a[3], a[4], a[5], py::bool_(true));
  auto [statement, parameters] = unpack2(built);
  py::object cursor = call_method_spread(self, Name::execute, statement, parameters);
  py::object description = call_method(self, Name::_describe_table, table_name);
  py::object rows = call_method(cursor, Name::fetchall);

  py::list items;
  py::object columns;  // the column names, read once from the cursor's description
  Py_ssize_t width = 0;
  py::object rows_fast = steal_or_throw(PySequence_Fast(rows.ptr(), "fetchall() must return rows"));
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows_fast.ptr());
  for (Py_ssize_t r = 0; r < count; ++r) {
    PyObject* row = PySequence_Fast_GET_ITEM(rows_fast.ptr(), r);
    if (!columns) {
      py::object descriptors = get_attr(cursor, Name::description);
      py::list names;
      for (py::handle descriptor : descriptors)
        names.append(steal_or_throw(PySequence_GetItem(descriptor.ptr(), 0)));
      width = PyList_GET_SIZE(names.ptr());
      columns = std::move(names);
    }
    py::object values = steal_or_throw(PySequence_Fast(row, "a row must be a sequence"));
    if (PySequence_Fast_GET_SIZE(values.ptr()) != width) {
      PyErr_Format(PyExc_ValueError, "row has %zd values but the cursor describes %zd columns",
                   PySequence_Fast_GET_SIZE(values.ptr()), width);
      throw_python_error();
    }
    py::dict mapping;
    for (Py_ssize_t i = 0; i < width; ++i) {
      if (PyDict_SetItem(mapping.ptr(), PyList_GET_ITEM(columns.ptr(), i),
                         PySequence_Fast_GET_ITEM(values.ptr(), i)) < 0)
        throw_python_error();
    }
    py::object item = call_method(self, Name::_process_result, mapping, description);
    if (PyList_Append(items.ptr(), item.ptr()) < 0) throw_python_error();
  }
  return py::object(std::move(items));
}

}  // namespace velmor::binding
