// What every member implementation shares: the module's state (interned names, fixed
// texts, the table-description memo), its globals, and small helpers over CPython's
// error protocol.
//
// The dialect of this layer, everywhere in src/binding:
// - Every reference we own is an Object (ref.h), released on every path by its
//   destructor; a Handle only lends one that someone else holds.
// - A failed C API call throws PythonError with the interpreter's error indicator set.
//   Nothing else carries an error: each member's boundary (method.cc) returns NULL and
//   the error travels on untouched. C++'s own exceptions (std::bad_alloc) are turned
//   into MemoryError there, so no exception ever leaves a member or a destructor.
// - Cleanup that must call into Python while an error travels holds it in a
//   PendingError, which puts it back afterwards.
// - Any call into Python can run arbitrary code (a method, a property, __hash__,
//   __eq__, __format__, __iter__, __del__ of a value it replaces) that mutates what we
//   are walking or re-enters the instance. So never hold a borrowed reference, a
//   container size or an iterator of our own across such a call. Own the reference,
//   walk containers with their own Python iterators, and read sizes again after the call.
// - No GIL-state calls, no lazily built global state, no static holding a Python
//   object: state lives in the module (ModuleState), so each interpreter that imports
//   the module, a subinterpreter included, has its own.
// - A fast path runs only where Python's own rule says the general path would do the
//   same, decided just before it runs: no decision, borrowed reference, size, iterator or
//   view of ours outlives a call into Python. A method is looked up where a call site looks
//   it up (before the call's arguments are evaluated), and run in place only while the
//   look-up finds the class's own member (own_member, as CPython's generic look-up decides).
//   VELMOR_FAST_PATHS=0 at import turns every fast path off; the suite compares both ways.
// - A catch of `...` starts with VELMOR_PASS_THREAD_EXIT (ref.h): a thread the interpreter
//   ends at exit unwinds through every member.
#pragma once

#include "binding/ref.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/memo.h"
#include "sqltext/nested_fields.h"

namespace velmor::binding {

// Identifiers interned once per module. The list is the single source of both the
// enum and the spelled names.
#define VELMOR_NAMES(X)                                                                       \
  X(_connection) X(_revert_data) X(_savepoints) X(_is_revert_enabled) X(_default_envs)        \
  X(_describe_table) X(_build_insert_statement) X(_build_delete_statement)                    \
  X(process_value_before_insert) X(_add_revert_data) X(_delete) X(_query)                     \
  X(_savepoint_name) X(_resolve_nested_field_name) X(_select_with_internal_meta_statement)   \
  X(_build_group_by_statement) X(_build_select_statement) X(_paginate_items) X(execute)       \
  X(table_schema_manager) X(_build_queries_by_version) X(_select_statement)                   \
  X(_build_count_statement) X(_get_conditions_statement) X(_build_order_by_statement)         \
  X(_process_result) X(_to_sql_value) X(TABLE_SEPARATOR) X(COLUMN_SEPARATOR)                  \
  X(resolve_table_name) X(register_internal_tables) X(model_copy) X(class_version)            \
  X(object_id) X(object_version) X(only) X(distinct) X(limit) X(offset) X(field_name)         \
  X(build_statement) X(build_value) X(items) X(values) X(fetchall) X(fetchone) X(description) \
  X(cursor) X(close) X(isolation_level) X(autocommit) X(connect) X(getenv) X(dumps)           \
  X(choices) X(ascii_letters) X(k) X(warning) X(pop) X(append) X(extend) X(update)            \
  X(address) X(select_only) X(conditions) X(pagination) X(order_by) X(is_internal_table)     \
  X(use_internal_meta_tables) X(value_type) X(json) X(os) X(random) X(string) X(deepcopy)    \
  X(psycopg2) X(Versions) X(CursorPaginator) X(NumberPaginator) X(VelmorConnectionError)     \
  X(ADDRESS_FIELD) X(METADATA_FIELD) X(METADATA_TABLE_ALIAS) X(MODEL_TABLE_ALIAS) X(NoValue)  \
  X(sort_items) X(PRIMARY_PARTITION_KEY) X(SECONDARY_PARTITION_KEY) X(logger)                 \
  X(METADATA_SELECT_FIELD) X(METADATA_SELECT_STATEMENT) X(ALL) X(LATEST) X(clear) X(upper)    \
  X(statusmessage) X(get_transaction_status) X(__name__) X(Lookup) X(SqlOperatorTemplate)          \
  X(SqlHistoryConnectionMixin) X(HistoricalConnectionBase) X(sql_operator_map) X(logging)         \
  X(_default_encoder) X(__import__) X(__instancecheck__) X(ensure_ascii) X(allow_nan) X(encode) \
  X(iterencode)

enum class Name : int {
#define VELMOR_ENUM(n) n,
  VELMOR_NAMES(VELMOR_ENUM)
#undef VELMOR_ENUM
      kCount
};

// Fixed texts the members hand to Python, built once per module.
#define VELMOR_TEXTS(X)                                                                     \
  X(empty, "") X(double_underscore, "__") X(metadata_column, "_metadata")                   \
  X(json_true, "true") X(json_false, "false") X(json_nan, "NaN")                            \
  X(json_infinity, "Infinity") X(json_minus_infinity, "-Infinity")                          \
  X(eq_is, "{field_name} IS %s") X(eq_equals, "{field_name} = %s")                          \
  X(neq_is_not, "{field_name} IS NOT %s") X(neq_differs, "{field_name} != %s")              \
  X(is_null, "{field_name} IS NULL") X(is_not_null, "{field_name} IS NOT NULL")             \
  X(cursor_pagination_ignored,                                                              \
    "Cursor pagination is not supported; the cursor paginator is ignored")                  \
  X(schema_service_module, "velmor_data.table_schemas.implementations.postgresql_history") \
  X(schema_service_class, "PostgresHistoricalTableSchemaService")

enum class Text : int {
#define VELMOR_ENUM(n, text) n,
  VELMOR_TEXTS(VELMOR_ENUM)
#undef VELMOR_ENUM
      kCount
};

// The statements of the transaction members, built once per module from sqltext.
enum class Statement : int { Begin, Commit, Rollback, SavepointPrefix, RollbackToPrefix, DescribeTable, kCount };

// Keyword-name tuples of the calls the members make.
enum class Kw : int {
  Flags,           // ("is_internal_table", "use_internal_meta_tables")
  MetaOnly,        // ("use_internal_meta_tables",)
  Resolve,         // ("value_type", "is_internal_table", "use_internal_meta_tables")
  PlainSelect,     // ("select_only", "conditions", "pagination", "order_by", "is_internal_table")
  JoinedSelect,    // ("select_only", "conditions", "pagination", "order_by")
  K,               // ("k",)
  NumberPaginator, // ("limit", "offset")
  kCount
};

// next(iterator), or a null object at its end.
Object next_item(Handle iterator);

// Walks an exact dict the way its own iterator walks it, without the iterator object:
// an entry at a time, owned, failing exactly as the iterator fails when code run
// between two steps has changed the dict's size or keys.
class DictWalk {
 public:
  explicit DictWalk(Handle dict) : dict_(dict), used_(PyDict_GET_SIZE(dict.ptr())), remaining_(used_) {}

  // The next entry, or false at the end.
  bool next(Object& key, Object& value);

 private:
  Handle dict_;  // held by the caller for the walk
  Py_ssize_t used_;
  Py_ssize_t remaining_;
  Py_ssize_t position_ = 0;
};

// The UTF-8 text of a str (subclasses included). Lone surrogates cannot be UTF-8; they
// travel as their surrogatepass bytes, and to_str turns them back, so text passes
// through the text layer unchanged. Holds the str, so the view stays valid.
class Utf8 {
 public:
  explicit Utf8(Handle text) : Utf8(own(text)) {}
  explicit Utf8(Object text) : owner_(std::move(text)) {
    if (!(PyUnicode_Check(owner_.ptr()) && ascii_data(owner_.ptr(), view_))) convert();
  }
  std::string_view view() const noexcept { return view_; }
  operator std::string_view() const noexcept { return view_; }  // NOLINT: a text is a text
  bool operator==(std::string_view other) const noexcept { return view_ == other; }
  PyObject* holder() const noexcept { return owner_.ptr(); }  // the str, or its UTF-8 bytes

  // The text of a str that the caller holds for as long as the result lives (a member's
  // own argument): an ASCII str lends its data without a reference taken.
  static Utf8 lent(Handle text) {
    Utf8 lent;
    if (PyUnicode_CheckExact(text.ptr()) && ascii_data(text.ptr(), lent.view_)) return lent;
    return Utf8(text);
  }

 private:
  Utf8() = default;
  // An ASCII str stores its UTF-8 text as its own data: most names are such strs.
  static bool ascii_data(PyObject* text, std::string_view& view) noexcept {
    if (!PyUnicode_IS_COMPACT_ASCII(text)) return false;
    view = {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
    return true;
  }
  void convert();

  Object owner_;
  std::string_view view_;
};

// Statement texts recently built, by everything they depend on: their kind and the strs
// they were built from, in order (table name, separator, column names). A write that
// repeats the shape of the last ones reuses its text instead of building it again. The
// strs are compared by identity first (a program's keys are mostly the very same objects
// on every write), then by content; a slot holds its strs, so an identity stays theirs.
// A few slots, replaced in turn, so an unbounded variety of shapes costs nothing but misses.
class TextCache {
 public:
  enum class Kind : unsigned char { Insert, Delete };

  // The text for the `count` strs `part(0)`, `part(1)`, ... (str instances), if kept.
  template <typename Part>
  Object find(Kind kind, std::size_t count, const Part& part) const {
    for (const Slot& slot : slots_) {
      if (!slot.text || slot.kind != kind || slot.parts.size() != count) continue;
      std::size_t i = 0;
      while (i < count && same_text(slot.parts[i].ptr(), part(i))) ++i;
      if (i == count) return slot.text;
    }
    return {};
  }

  template <typename Part>
  void store(Kind kind, std::size_t count, const Part& part, Object text) {
    std::vector<Object> parts;
    parts.reserve(count);
    // Kept as plain strs: an instance of a subclass may refer to anything.
    for (std::size_t i = 0; i < count; ++i) parts.push_back(steal_or_throw(PyUnicode_FromObject(part(i))));
    Slot& slot = slots_[next_];
    next_ = (next_ + 1) % slots_.size();
    slot.kind = kind;
    slot.parts = std::move(parts);
    slot.text = std::move(text);
  }

  void clear() noexcept {
    for (Slot& slot : slots_) {
      slot.text = Object();
      slot.parts.clear();
    }
  }

 private:
  static bool same_text(PyObject* kept, PyObject* candidate) noexcept {
    return kept == candidate ||
           (PyUnicode_GET_LENGTH(kept) == PyUnicode_GET_LENGTH(candidate) && PyUnicode_Compare(kept, candidate) == 0);
  }

  struct Slot {
    Kind kind = Kind::Insert;
    std::vector<Object> parts;  // strs: they refer to nothing, so the collector need not see them
    Object text;
  };
  std::array<Slot, 8> slots_;
  std::size_t next_ = 0;
};

// Texts of module-level names, read at one version of the module's globals. A call that
// reads them holds its snapshot (shared ownership), so code that runs meanwhile and
// changes the globals cannot pull a text from under it; and the call takes a text from it
// only while the globals still have that version, so it sees a change as Python code would.
class GlobalTexts {
 public:
  explicit GlobalTexts(std::uint64_t version) : version_(version) {}
  std::uint64_t version() const noexcept { return version_; }
  // Null where the name held no str.
  const Utf8* find(Name n) const noexcept {
    const auto& text = texts_[static_cast<std::size_t>(n)];
    return text ? &*text : nullptr;
  }
  void set(Name n, Utf8 text) { texts_[static_cast<std::size_t>(n)] = std::move(text); }
  // The host's names nested-field expressions are written with, when the globals hold them
  // all as strs; they view this snapshot's texts.
  const sqltext::FieldNames* field_names() const noexcept { return field_names_ ? &*field_names_ : nullptr; }
  void set_field_names(const sqltext::FieldNames& names) { field_names_ = names; }
  int traverse(visitproc visit, void* arg) const {
    for (const auto& text : texts_)
      if (text) Py_VISIT(text->holder());
    return 0;
  }

 private:
  std::uint64_t version_;
  std::array<std::optional<Utf8>, static_cast<std::size_t>(Name::kCount)> texts_;
  std::optional<sqltext::FieldNames> field_names_;
};

class Method;

// The quote the statement builders write around column names.
inline constexpr std::string_view kColumnQuote = "\"";

// The module globals that hold the names of sqltext::FieldNames, in its Name order.
inline constexpr Name kFieldNameGlobals[] = {Name::MODEL_TABLE_ALIAS,     Name::METADATA_TABLE_ALIAS,
                                             Name::ADDRESS_FIELD,         Name::METADATA_FIELD,
                                             Name::PRIMARY_PARTITION_KEY, Name::SECONDARY_PARTITION_KEY};

// The state of one imported module. Each import of the module (a re-import after
// `del sys.modules[...]` included) has its own, reached from the module object, so
// the class of each import reads its own module's globals.
class ModuleState {
 public:
  explicit ModuleState(PyObject* module)
      : module_(module), globals_(own(PyModule_GetDict(module))) {}
  ~ModuleState() { unwatch_globals(); }
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

  // Interns the names and builds the texts; called once from the module's exec slot.
  void init();
  int traverse(visitproc visit, void* arg) const;
  void clear();

  PyObject* module() const noexcept { return module_; }
  // Borrowed: they live as long as the state.
  PyObject* name(Name n) const noexcept { return names_[static_cast<std::size_t>(n)].ptr(); }
  PyObject* text(Text t) const noexcept { return texts_[static_cast<std::size_t>(t)].ptr(); }
  PyObject* statement(Statement s) const noexcept { return statements_[static_cast<std::size_t>(s)].ptr(); }
  Handle kw(Kw k) const noexcept { return kw_[static_cast<std::size_t>(k)]; }

  // The value a module-level name holds now, read like a global of Python code (the
  // builtins when the module has no such name).
  Object global(Name n) const;
  // A number that every change to the module's globals changes, or 0 where there is
  // none: 3.11 keeps one in the dict; from 3.12, which deprecated it, a dict watcher
  // counts the changes, while the interpreter has a watcher to spare.
  std::uint64_t globals_version() const noexcept;
  // The texts of the names the statement builders read, as the globals hold them now;
  // null where the globals have no version. Lent: valid until Python code runs.
  const GlobalTexts* current_global_texts() const;
  // The same, shared: valid for as long as the caller holds it.
  std::shared_ptr<const GlobalTexts> global_texts() const;
  void set_global(const char* key, Handle value) const;

  Object attr(Handle object, Name attribute) const {
    return steal_or_throw(PyObject_GetAttr(object.ptr(), name(attribute)));
  }
  void set_attr(Handle object, Name attribute, Handle value) const;

  // obj.method(args...) through the vectorcall method protocol, without a bound method.
  template <typename... A>
  Object call_method(Handle self, Name method, A... args) const {
    std::array<PyObject*, 1 + sizeof...(A)> argv{self.ptr(), Handle(args).ptr()...};
    return steal_or_throw(PyObject_VectorcallMethod(name(method), argv.data(), argv.size(), nullptr));
  }

  // The same with keyword arguments: the last len(kw) arguments are passed by name.
  template <typename... A>
  Object call_method_kw(Handle self, Name method, Kw keywords, A... args) const {
    std::array<PyObject*, 1 + sizeof...(A)> argv{self.ptr(), Handle(args).ptr()...};
    PyObject* kwnames = kw(keywords).ptr();
    const auto npos = argv.size() - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return steal_or_throw(PyObject_VectorcallMethod(name(method), argv.data(), npos, kwnames));
  }

  // Whether `self.<method>` would give the class's own member, decided as CPython's
  // generic attribute look-up decides it: the type's __getattribute__ is the generic one,
  // the entry found along the type's MRO is the very object the class was made with, and
  // the instance's __dict__ does not hold the name. Asked just before each in-place call:
  // a subclass, the instance, a descriptor wrapper or a class patched since (from inside
  // a callback too) is always seen. Always false while the fast paths are off.
  bool own_member(Handle self, Name method) const;
  // `class_entry` is what the class body binds (a staticmethod for a static member),
  // `callable` what a call through an instance reaches.
  void set_own_member(const char* spelled, Handle class_entry, Handle callable);

  // `self.<method>`, evaluated as a call site evaluates it: before the call's arguments.
  Method method(Handle self, Name method) const;

  // Whether the module's fast paths run (VELMOR_FAST_PATHS=0 at import turns them all off:
  // every member then takes its general path, which the suite compares with them).
  bool fast_paths() const noexcept { return fast_paths_; }


  // `from <module> import <name>` at run time, with the interpreter's ImportError; a
  // module already in sys.modules is taken from there.
  Object import_name(Handle module_name, Handle attribute) const;

  // Raises VelmorConnectionError(message) from the module's globals.
  [[noreturn]] void raise_connection_error(std::string_view message) const;

  Object pop_last(Handle list) const { return call_method(list, Name::pop); }

  // copy.deepcopy and json as the module imported them: the fast paths stand in for them
  // only while what Python code would call is still these very objects.
  bool is_standard_deepcopy(Handle copier) const noexcept {
    return fast_paths_ && copier.ptr() == standard_deepcopy_.ptr();
  }
  // Whether json.dumps(value), `json` being the module global now, would run the standard
  // encoder with its default settings: `json` is the json module, its dumps and its
  // _default_encoder are the ones it started with, that encoder's class is unchanged and
  // its own settings still ask for ASCII and allow NaN.
  bool is_standard_json(Handle json) const;
  void set_standard_functions(Handle deepcopy, Handle json, Handle import_function);

  // The callable types of this module's members (method.cc).
  PyTypeObject* method_type() const noexcept { return reinterpret_cast<PyTypeObject*>(method_type_.ptr()); }
  PyTypeObject* function_type() const noexcept {
    return reinterpret_cast<PyTypeObject*>(function_type_.ptr());
  }
  void set_callable_types(Object method_type, Object function_type);

  DescriptionMemo& memo() noexcept { return memo_; }
  TextCache& statement_texts() noexcept { return statement_texts_; }

  // isinstance(value, cls). Where the special-method look-up on the metaclass (along its
  // MRO, as the interpreter looks it up) finds type's own __instancecheck__ (Enum's
  // metaclass keeps it), that is a plain subtype test; which metaclass does is remembered
  // until the metaclass or one of its bases changes (its version tag), so the test skips
  // the special-method call the interpreter would make.
  bool is_instance_of_class(Handle value, Handle cls) const;

 private:
  // A verdict about a type, good while the type keeps its version tag: any change to the
  // type or a base gives it another (0 is no tag at all).
  struct Verdict {
    PyTypeObject* type = nullptr;  // not a reference: only compared
    unsigned int version = 0;
    bool holds_for(const PyTypeObject* other) const noexcept {
      return other == type && other->tp_version_tag != 0 && other->tp_version_tag == version;
    }
    void record(PyTypeObject* about) noexcept { *this = {about, about->tp_version_tag}; }
  };

  PyObject* module_;   // the module that holds this state (not a reference of ours)
  Object globals_;  // its __dict__, until the module is cleared
  int globals_watcher_ = -1;  // the dict watcher on globals_ (3.12 on), or -1
  void watch_globals();
  void unwatch_globals() noexcept;
  std::array<Object, static_cast<std::size_t>(Name::kCount)> names_;
  std::array<Object, static_cast<std::size_t>(Text::kCount)> texts_;
  std::array<Object, static_cast<std::size_t>(Statement::kCount)> statements_;
  std::array<Object, static_cast<std::size_t>(Kw::kCount)> kw_;
  Object standard_deepcopy_;
  Object standard_json_;          // the json module
  Object standard_json_dumps_;
  Object standard_json_encoder_;  // json._default_encoder
  mutable Verdict standard_encoder_class_;  // the encoder's class, while it keeps its version tag
  Object standard_import_;  // the interpreter's own builtins.__import__
  Object method_type_;
  Object function_type_;
  DescriptionMemo memo_;
  TextCache statement_texts_;
  // What the class body bound for each of its members (null for names that are no member
  // of ours) and what a call reaches through it; per name the last class found not to
  // override it, with that class's version tag.
  std::array<Object, static_cast<std::size_t>(Name::kCount)> own_members_;
  std::array<Object, static_cast<std::size_t>(Name::kCount)> own_callables_;
  Object type_instancecheck_;  // type.__dict__["__instancecheck__"]
  Object builtins_;            // the builtins the module's code falls back on, as Python code does
  bool fast_paths_ = true;
  mutable std::shared_ptr<const GlobalTexts> global_texts_;
  mutable std::array<Verdict, static_cast<std::size_t>(Name::kCount)> not_overridden_;
  mutable Verdict plain_metaclass_;  // keeps type's own __instancecheck__
};

// The module's state memory: zeroed when the module is created, and holding a
// constructed ModuleState from the module's exec slot until the module is freed.
struct StateSlot {
  bool ready;
  alignas(ModuleState) unsigned char storage[sizeof(ModuleState)];

  ModuleState* get() noexcept { return ready ? std::launder(reinterpret_cast<ModuleState*>(storage)) : nullptr; }
};

// A method as a call site looks it up, before it evaluates the call's arguments: the
// class's own member, which the caller may run in place while the arguments are ones it
// takes as they are, or whatever the look-up gave, to be called.
class Method {
 public:
  // The class's own member of `self` (its callable held by the module's state); `binds`
  // unless it is a static one.
  static Method ours(Handle self, Handle callable, bool binds) { return Method(Object(), callable, self, binds); }
  // What `object.<name>` gave.
  static Method found(Object attribute) {
    Handle callable = attribute;
    return Method(std::move(attribute), callable, Handle(), false);
  }

  bool is_own() const noexcept { return !found_; }

  // The call: `method(args...)`.
  template <typename... A>
  Object operator()(A... args) const;
  // `method(first, *rest)`: `rest` is spread as separate positional arguments.
  Object spread(Handle first, Handle rest) const;

 private:
  Method(Object found, Handle callable, Handle self, bool binds)
      : found_(std::move(found)), callable_(callable), self_(self), binds_(binds) {}

  Object found_;     // what a look-up gave, unless it found the class's own
  Handle callable_;  // found_, or the own member's callable
  Handle self_;      // the instance an own member binds to; the caller holds it
  bool binds_;
};

Object to_str(std::string_view text);


template <typename... A>
Object call(Handle callable, A... args) {
  std::array<PyObject*, 1 + sizeof...(A)> argv{nullptr, Handle(args).ptr()...};
  return steal_or_throw(PyObject_Vectorcall(callable.ptr(), argv.data() + 1,
                                            sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename... A>
Object call_kw(Handle callable, Handle kwnames, A... args) {
  std::array<PyObject*, 1 + sizeof...(A)> argv{nullptr, Handle(args).ptr()...};
  const auto npos = sizeof...(A) - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr()));
  return steal_or_throw(PyObject_Vectorcall(callable.ptr(), argv.data() + 1,
                                            npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

template <typename... A>
Object Method::operator()(A... args) const {
  if (binds_) return call(callable_, self_, args...);
  return call(callable_, args...);
}

// `a, b = value` with the interpreter's own errors.
std::pair<Object, Object> unpack2(Handle value);

// The truth value of an object, as `if value:` sees it.
bool truthy(Handle value);

// isinstance(value, cls)
bool is_instance(Handle value, Handle cls);

// `left == right` as Python evaluates it (no identity shortcut).
bool equals(Handle left, Handle right);

// `value > 0` (op Py_GT), `value < 0` (Py_LT) and so on, as Python evaluates them.
inline bool compares_with_zero(Handle value, int op) {
  return truthy(steal_or_throw(PyObject_RichCompare(value.ptr(), int_(0).ptr(), op)));
}

// Whether a str (a subclass too) holds exactly the ASCII text `ascii`: `text == ascii`
// without running code or converting the str.
inline bool holds_ascii(Handle text, std::string_view ascii) noexcept {
  PyObject* t = text.ptr();
  return static_cast<std::size_t>(PyUnicode_GET_LENGTH(t)) == ascii.size() &&
         PyUnicode_KIND(t) == PyUnicode_1BYTE_KIND &&
         std::char_traits<char>::compare(static_cast<const char*>(PyUnicode_DATA(t)), ascii.data(), ascii.size()) == 0;
}

// sequence[-1], with the sequence's own IndexError.
inline Object last_item(Handle sequence) {
  return steal_or_throw(PySequence_GetItem(sequence.ptr(), -1));
}

// type(value).__name__
Object type_name(Handle value);

// Raises `error` as the current exception without chaining it to the exception the
// caller is handling (its __context__ is set by hand where Python would set it).
[[noreturn]] void raise_unchained(Object error);


}  // namespace velmor::binding
