// The module frame: what importing the module binds, in order.
#include <initializer_list>
#include <new>
#include <string>

#include "binding/members.h"
#include "binding/runtime.h"
#include "sqltext/constants.h"

namespace velmor::binding {
namespace {

constexpr const char* kClassName = "PostgresHistoricalConnection";

constexpr auto P = ParamKind::Positional;
constexpr auto KW = ParamKind::KeywordOnly;
constexpr auto VARARGS = ParamKind::VarPositional;
constexpr auto VARKW = ParamKind::VarKeyword;
constexpr auto M = MemberKind::Method;

const Param kSelf{"self"};
const char* const kQualifier = "QuerySpecifier | None";
const char* const kConditions = "Q | None";
const char* const kPaginator = "NumberPaginator | CursorPaginator | None";
const char* const kOrdering = "list[OrderBy] | None";
const char* const kRecords = "list[dict[str, Any]]";
const char* const kRow = "dict[str, Any]";

const Param kInternalFlag{"is_internal_table", KW, "bool", Default::False};
const Param kMetaFlag{"use_internal_meta_tables", KW, "bool", Default::False};

const char* const kConnectDoc =
    "\n"
    "        Connects to the PostgreSQL database. Raises an VelmorConnectionError if the "
    "connection is already established.\n"
    "        :param dsn: the path to the database\n"
    "        :type dsn: str | None\n"
    "        :param kwargs: the connection parameters\n"
    "        :type kwargs: Any\n"
    "\n"
    "        :return: None\n"
    "        ";

// Every member of the class, once, in the order of the class body.
const MemberSpec kMembers[] = {
    {"_savepoint_name", M, {kSelf}, "str", nullptr, savepoint_name},
    {"__init__", M, {kSelf, {"is_revert_supported", KW, "bool", Default::True}}, "None", nullptr,
     init_instance},
    {"table_schema_manager", MemberKind::Property, {kSelf}, "TableSchemaServiceBase", nullptr,
     table_schema_manager},
    {"_default_envs", M, {kSelf}, "dict[str, Any]", nullptr, default_envs},
    {"connect", M,
     {kSelf, {"dsn", P, "str | None", Default::None}, {"kwargs", VARKW, "Any"}}, "None",
     kConnectDoc, connect},
    {"disconnect", M, {kSelf}, "None", nullptr, disconnect},
    {"_describe_table", M, {kSelf, {"table_name", P, "str", Default::Required, Exact::Str}},
     "dict[str, str]", nullptr, describe_table},
    {"_build_insert_statement", M,
     {kSelf, {"table_name", P, "str", Default::Required, Exact::Str},
      {"data", P, kRow, Default::Required, Exact::Dict}},
     "tuple[str, tuple[Any, ...]]", nullptr, build_insert_statement},
    {"_build_delete_statement", M,
     {kSelf, {"table_name", P, "str", Default::Required, Exact::Str},
      {"data", P, kRow, Default::Required, Exact::Dict}},
     "tuple[str, tuple[Any, ...]]", nullptr, build_delete_statement},
    {"process_value_before_insert", M,
     {kSelf, {"value", P, "Any"}, {"data_type", P, "str", Default::Required, Exact::Str}}, "Any",
     nullptr, process_value_before_insert},
    {"put", M,
     {kSelf, {"address", P, "Address"}, {"data", P, kRow, Default::Required, Exact::Dict}},
     "None", nullptr, put},
    {"begin", M, {kSelf}, "None", nullptr, begin},
    {"commit", M, {kSelf}, "None", nullptr, commit},
    {"revert", M, {kSelf}, "None", nullptr, revert},
    {"rollback", M, {kSelf}, "None", nullptr, rollback},
    {"on_transaction_complete", M, {kSelf}, "None",
     "Transaction is completed successfully. Clear the revert data.", on_transaction_complete},
    {"query", M,
     {kSelf, {"address", P, "Address"}, {"query_specifier", P, kQualifier, Default::None},
      {"conditions", P, kConditions, Default::None}, {"pagination", P, kPaginator, Default::None},
      {"order_by", P, kOrdering, Default::None}},
     kRecords, nullptr, query},
    {"_paginate_items", MemberKind::StaticMethod,
     {{"items", P, kRecords, Default::Required, Exact::List}, {"pagination", P, kPaginator}},
     kRecords, nullptr, paginate_items},
    {"execute", M,
     {kSelf, {"query", P, "str", Default::Required, Exact::Str}, {"args", VARARGS, "Any"}},
     "psycopg2._psycopg.cursor", nullptr, execute},
    {"count", M,
     {kSelf, {"address", P, "Address"}, {"conditions", P, kConditions, Default::None}}, "int",
     nullptr, count},
    {"prepare_connection", M, {kSelf}, "None", nullptr, prepare_connection},
    {"_add_revert_data", M,
     {kSelf, {"address", P, "Address"}, {"data", P, kRow, Default::Required, Exact::Dict}},
     "None", nullptr, add_revert_data},
    {"_delete", M, {kSelf, {"address", P, "Address"}}, "None", nullptr, delete_record},
    {"_query", M,
     {kSelf, {"table_name", P, "str", Default::Required, Exact::Str},
      {"query_specifier", P, kQualifier}, {"conditions", P, kConditions},
      {"pagination", P, kPaginator}, {"order_by", P, kOrdering}},
     kRecords, nullptr, query_table},
    {"_nested_filter_statement", M,
     {kSelf, {"field_name", P, "str", Default::Required, Exact::Str},
      {"nested_fields", P, "str", Default::Required, Exact::Str},
      {"sql_operator_template", P, "SqlOperatorTemplate"}, {"value", P, "Any"},
      {"value_type", P, "Any"}, kInternalFlag, kMetaFlag},
     "tuple[str, Any]", nullptr, nested_filter_statement},
    {"_resolve_nested_field_name", MemberKind::StaticMethod,
     {{"field_name", P, "str", Default::Required, Exact::Str},
      {"nested_fields", P, "str", Default::Required, Exact::Str},
      {"value_type", KW, "Any", Default::StrType}, kInternalFlag, kMetaFlag},
     "str", nullptr, resolve_nested_field_name},
    {"_select_with_internal_meta_statement", M,
     {kSelf, {"table_name", P, "str", Default::Required, Exact::Str},
      {"select_only", P, "str", Default::Required, Exact::Str},
      {"conditions", P, kConditions, Default::None}, {"pagination", P, kPaginator, Default::None},
      {"order_by", P, kOrdering, Default::None}},
     "tuple[str, list[Any]]", nullptr, select_with_internal_meta_statement},
    {"_build_group_by_statement", M,
     {kSelf, {"order_by", P, kOrdering}, kInternalFlag, kMetaFlag}, "str", nullptr,
     build_group_by_statement},
    {"_build_select_statement", M,
     {kSelf, {"table_name", P, "str", Default::Required, Exact::Str},
      {"query_specifier", P, kQualifier, Default::None},
      {"conditions", P, kConditions, Default::None}, {"pagination", P, kPaginator, Default::None},
      {"order_by", P, kOrdering, Default::None}, kMetaFlag},
     "tuple[str, list[Any]]", nullptr, build_select_statement},
};

// The operator map's small functions: lambdas of one argument, as far as callers see.
const Param kValue{"_value", P};
const MemberSpec kEqTemplate{"<lambda>", MemberKind::Function, {kValue}, nullptr, nullptr, eq_template};
const MemberSpec kNeqTemplate{"<lambda>", MemberKind::Function, {kValue}, nullptr, nullptr, neq_template};
const MemberSpec kUpperContains{"<lambda>", MemberKind::Function, {kValue}, nullptr, nullptr, upper_text};
const MemberSpec kUpperStarts{"<lambda>", MemberKind::Function, {kValue}, nullptr, nullptr, upper_text};
const MemberSpec kUpperEnds{"<lambda>", MemberKind::Function, {kValue}, nullptr, nullptr, upper_text};
const MemberSpec kIsNullTemplate{"<lambda>", MemberKind::Function, {kValue}, nullptr, nullptr, isnull_template};
const MemberSpec kNoValue{"<lambda>", MemberKind::Function, {{"_", P}}, nullptr, nullptr, no_value};

// `from <module> import <name>`, one name at a time, with the interpreter's own error.
void from_import(const ModuleState& st, const char* module, const char* name) {
  Object attribute = to_str(name);
  st.set_global(name, st.import_name(to_str(module), attribute));
}

Object import_module(const ModuleState& st, const char* module) {
  Object name = to_str(module);
  return steal_or_throw(PyImport_ImportModuleLevelObject(name.ptr(), PyModule_GetDict(st.module()), nullptr, nullptr, 0));
}

Object get_attr(Handle object, const char* name) { return steal_or_throw(PyObject_GetAttrString(object.ptr(), name)); }

// Until an interpreter exits, its threads hold the GIL whenever they run our code; from
// its atexit hooks on, a daemon thread may be unwound without it (ref.h). The hook is a
// function of this module, registered by each interpreter that imports it.
PyObject* exit_begins(PyObject*, PyObject*) {
  note_thread_exit();
  Py_RETURN_NONE;
}

PyMethodDef kExitBegins = {"_exit_begins", exit_begins, METH_NOARGS, nullptr};

void note_exit_at_exit() {
  Object hook = steal_or_throw(PyCFunction_New(&kExitBegins, nullptr));
  Object atexit = steal_or_throw(PyImport_ImportModule("atexit"));
  call(get_attr(atexit, "register"), hook);
}


void set_item(Handle mapping, const char* key, Handle value) {
  Object name = to_str(key);
  if (PyObject_SetItem(mapping.ptr(), name.ptr(), value.ptr()) < 0) throw_python_error();
}

// One operator-map field: a template text, or one of the map's own functions.
struct Field {
  const char* name;
  const char* text = nullptr;
  const MemberSpec* function = nullptr;
};

Object build_operator_map(const ModuleState& st, Handle module_name) {
  Object lookup = st.global(Name::Lookup);
  Object record = st.global(Name::SqlOperatorTemplate);
  Object map = new_dict();
  Object no_arguments = steal_or_throw(PyTuple_New(0));
  // map[Lookup.<member>] = SqlOperatorTemplate(**fields)
  auto entry = [&](const char* member, std::initializer_list<Field> fields) {
    Object key = get_attr(lookup, member);
    Object keywords = new_dict();
    for (const Field& field : fields) {
      Object value = field.function ? make_callable(st, *field.function, module_name, "") : to_str(field.text);
      if (PyDict_SetItemString(keywords.ptr(), field.name, value.ptr()) < 0) throw_python_error();
    }
    Object made = steal_or_throw(PyObject_Call(record.ptr(), no_arguments.ptr(), keywords.ptr()));
    if (PyObject_SetItem(map.ptr(), key.ptr(), made.ptr()) < 0) throw_python_error();
  };
  const char* const kLike = "{field_name} LIKE %s";
  const char* const kUpperLike = "UPPER({field_name}) LIKE %s";
  entry("EQ", {{"template", nullptr, &kEqTemplate}});
  entry("NEQ", {{"template", nullptr, &kNeqTemplate}});
  entry("GT", {{"template", "{field_name} > %s"}});
  entry("GTE", {{"template", "{field_name} >= %s"}});
  entry("LT", {{"template", "{field_name} < %s"}});
  entry("LTE", {{"template", "{field_name} <= %s"}});
  entry("IN", {{"template", "{field_name} IN %s"}});
  entry("CONTAINS", {{"template", kLike}, {"value_template", "%{value}%"}});
  entry("ICONTAINS",
        {{"template", kUpperLike}, {"value_template", "%{value}%"}, {"value_modifier", nullptr, &kUpperContains}});
  entry("STARTSWITH", {{"template", kLike}, {"value_template", "{value}%"}});
  entry("ISTARTSWITH",
        {{"template", kUpperLike}, {"value_template", "{value}%"}, {"value_modifier", nullptr, &kUpperStarts}});
  entry("ENDSWITH", {{"template", kLike}, {"value_template", "%{value}"}});
  entry("IENDSWITH",
        {{"template", kUpperLike}, {"value_template", "%{value}"}, {"value_modifier", nullptr, &kUpperEnds}});
  entry("ISNULL", {{"template", nullptr, &kIsNullTemplate}, {"value_modifier", nullptr, &kNoValue}});
  return map;
}

// Creates the class the way a class statement does: the metaclass from the bases and
// its __prepare__ namespace (types.prepare_class), then attributes and members in
// body order.
Object build_class(ModuleState& st, Handle module_name) {
  Object bases = make_tuple(st.global(Name::SqlHistoryConnectionMixin), st.global(Name::HistoricalConnectionBase));
  Object class_name = to_str(kClassName);
  Object types = steal_or_throw(PyImport_ImportModule("types"));
  Object prepared = call(get_attr(types, "prepare_class"), class_name, bases);
  // (metaclass, namespace, keywords): the class statement has no keywords.
  Object meta = steal_or_throw(PySequence_GetItem(prepared.ptr(), 0));
  Object ns = steal_or_throw(PySequence_GetItem(prepared.ptr(), 1));
  // From 3.13 a class statement also records where it starts and, last, the attributes
  // its methods assign on self. There is no source to point into: the first line.
  const bool records_source = Py_Version >= 0x030D0000;
  set_item(ns, "__module__", module_name);
  set_item(ns, "__qualname__", class_name);
  if (records_source) set_item(ns, "__firstlineno__", int_(1));
  Object quote = to_str("\"");
  set_item(ns, "TABLE_SEPARATOR", quote);
  set_item(ns, "COLUMN_SEPARATOR", quote);
  set_item(ns, "SQL_OPERATOR_MAP", st.global(Name::sql_operator_map));
  for (const MemberSpec& member : kMembers) {
    Object made = make_class_member(st, member, module_name, kClassName);
    if (member.kind == MemberKind::Method) st.set_own_member(member.name, made, made);
    // A call through an instance reaches a static method's function.
    if (member.kind == MemberKind::StaticMethod)
      st.set_own_member(member.name, made, steal_or_throw(PyObject_GetAttrString(made.ptr(), "__func__")));
    set_item(ns, member.name, made);
  }
  if (records_source) {
    Object assigned = make_tuple(to_str("_connection"), to_str("_is_revert_enabled"), to_str("_revert_data"),
                                 to_str("_savepoints"));
    set_item(ns, "__static_attributes__", assigned);
  }
  return call(meta, class_name, bases, ns);
}

// The module frame: what importing the module binds, in order.
void run_frame(ModuleState& st) {
  Object module_name = st.global(Name::__name__);
  st.set_global("json", import_module(st, "json"));
  st.set_global("logging", import_module(st, "logging"));
  st.set_global("os", import_module(st, "os"));
  st.set_global("random", import_module(st, "random"));
  st.set_global("string", import_module(st, "string"));
  from_import(st, "copy", "deepcopy");
  from_import(st, "functools", "cache");
  from_import(st, "typing", "Any");
  st.set_global("psycopg2", import_module(st, "psycopg2"));
  import_module(st, "psycopg2._psycopg");
  st.set_global("psycopg2", import_module(st, "psycopg2"));
  from_import(st, "velmor_utils.models.data_models.address", "Address");
  from_import(st, "velmor_utils.models.enums", "Versions");
  from_import(st, "velmor_utils.query.data_models.order_by", "OrderBy");
  from_import(st, "velmor_utils.query.data_models.paginator", "CursorPaginator");
  from_import(st, "velmor_utils.query.data_models.paginator", "NumberPaginator");
  from_import(st, "velmor_utils.query.data_models.query_specifier", "QuerySpecifier");
  from_import(st, "velmor_utils.query.enums", "Lookup");
  from_import(st, "velmor_utils.query.utils", "Q");
  from_import(st, "velmor_data.connections.errors", "VelmorConnectionError");
  from_import(st, "velmor_data.connections.historical_base", "HistoricalConnectionBase");
  from_import(st, "velmor_data.connections.implementations.mixins.sql_history_conection_mixin",
              "SqlHistoryConnectionMixin");
  for (const char* name : {"ADDRESS_FIELD", "METADATA_FIELD", "METADATA_TABLE_ALIAS", "MODEL_TABLE_ALIAS", "NoValue",
                           "SqlOperatorTemplate"})
    from_import(st, "velmor_data.connections.implementations.mixins.sqlite_statements_mixin", name);
  from_import(st, "velmor_data.connections.utils", "sort_items");
  from_import(st, "velmor_data.table_schemas.base", "TableSchemaServiceBase");
  from_import(st, "velmor_data.table_schemas.constants", "PRIMARY_PARTITION_KEY");
  from_import(st, "velmor_data.table_schemas.constants", "SECONDARY_PARTITION_KEY");
  // What json.dumps and the import statement use as the interpreter started them: the
  // fast paths stand in for them only while they are still these very objects.
  Object builtins = steal_or_throw(PyImport_ImportModule("builtins"));
  Object import_function = st.attr(builtins, Name::__import__);
  if (!PyCFunction_Check(import_function.ptr()) || PyCFunction_GET_SELF(import_function.ptr()) != builtins.ptr())
    import_function = Object();  // already replaced: every import goes through the hook
  st.set_standard_functions(st.global(Name::deepcopy), st.global(Name::json), import_function);
  note_exit_at_exit();

  st.set_global("logger", call(get_attr(st.global(Name::logging), "getLogger"), module_name));
  st.set_global("METADATA_SELECT_STATEMENT", to_str(sqltext::kMetadataSelectStatement));
  st.set_global("METADATA_SELECT_FIELD",
                to_str(sqltext::metadata_select_field(Utf8(st.global(Name::METADATA_TABLE_ALIAS)))));
  st.set_global("sql_operator_map", build_operator_map(st, module_name));
  st.set_global(kClassName, build_class(st, module_name));
}

StateSlot* slot_of(PyObject* module) { return static_cast<StateSlot*>(PyModule_GetState(module)); }

int exec_module(PyObject* module) {
  StateSlot* slot = slot_of(module);
  try {
    new (slot->storage) ModuleState(module);
    slot->ready = true;
    ModuleState& st = *slot->get();
    st.init();
    create_callable_types(st);
    run_frame(st);
    return 0;
  } catch (const PythonError&) {
    // The importer gets the very error the frame raised, as for a Python module.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_ImportError, error.what());
  } catch (...) {
    VELMOR_PASS_THREAD_EXIT
    PyErr_SetString(PyExc_ImportError, "unknown C++ exception");
  }
  return -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = slot_of(module) ? slot_of(module)->get() : nullptr;
  return st ? st->traverse(visit, arg) : 0;
}

int clear_module(PyObject* module) {
  if (ModuleState* st = slot_of(module) ? slot_of(module)->get() : nullptr) st->clear();
  return 0;
}

void free_module(void* module) {
  StateSlot* slot = slot_of(static_cast<PyObject*>(module));
  if (!slot || !slot->ready) return;
  slot->get()->~ModuleState();
  slot->ready = false;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Each interpreter gets a state of its own, but only one that shares the main
    // interpreter's GIL imports the module (psycopg2 needs it anyway): in one with a GIL
    // of its own (3.14's concurrent.interpreters) the import system refuses it with an
    // ImportError before anything runs.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Members run on the GIL's protection, as psycopg2 does: a free-threaded build must
    // keep the GIL on while the module is loaded.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT, "postgresql_history", nullptr, sizeof(StateSlot), nullptr, kSlots,
    traverse_module,       clear_module,         free_module,
};

}  // namespace
}  // namespace velmor::binding

// Multi-phase initialisation: every import runs the frame into a module and a state of
// its own, and a failure reaches the importer unwrapped.
PyMODINIT_FUNC PyInit_postgresql_history() {
  return PyModuleDef_Init(&velmor::binding::kDefinition);
}
