#include "binding/runtime.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "sqltext/constants.h"

namespace velmor::binding {
namespace {

constexpr const char* kSpelled[] = {
#define VELMOR_SPELL(n) #n,
    VELMOR_NAMES(VELMOR_SPELL)
#undef VELMOR_SPELL
};

constexpr std::string_view kTexts[] = {
#define VELMOR_TEXT(n, text) text,
    VELMOR_TEXTS(VELMOR_TEXT)
#undef VELMOR_TEXT
};

// The entry of `name` along the type's MRO, as the generic attribute look-up finds it (no
// descriptor called, no metaclass asked), or null. Borrowed: the type holds it, until code
// runs. The look-up is the interpreter's own, with its method cache.
PyObject* type_entry(PyTypeObject* type, Handle name) {
#if PY_VERSION_HEX >= 0x030F0000
  PyObject* found = nullptr;
  if (PyType_Lookup(type, name.ptr(), &found) < 0) throw_python_error();
  Py_XDECREF(found);  // only compared, while the type still holds it
  return found;
#else
  return _PyType_Lookup(type, name.ptr());
#endif
}

#if PY_VERSION_HEX >= 0x030C0000
// Counts every change to the globals of every import of the module, in any interpreter:
// a snapshot taken at one count saw the globals as they still are while the count stays.
std::atomic<std::uint64_t> globals_changes{1};

// Called before the watched dict changes, in the thread that changes it.
int count_globals_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  globals_changes.fetch_add(1, std::memory_order_relaxed);
  return 0;
}
#endif

Object interned(std::string_view text) {
  PyObject* result = to_str(text).release();
  PyUnicode_InternInPlace(&result);
  return Object::steal(result);
}

}  // namespace

void ModuleState::init() {
  for (std::size_t i = 0; i < names_.size(); ++i) names_[i] = steal_or_throw(PyUnicode_InternFromString(kSpelled[i]));
  for (std::size_t i = 0; i < texts_.size(); ++i) texts_[i] = interned(kTexts[i]);
  auto set_statement = [&](Statement s, std::string_view text) {
    statements_[static_cast<std::size_t>(s)] = interned(text);
  };
  set_statement(Statement::Begin, sqltext::kBegin);
  set_statement(Statement::Commit, sqltext::kCommit);
  set_statement(Statement::Rollback, sqltext::kRollback);
  set_statement(Statement::SavepointPrefix, sqltext::kSavepointPrefix);
  set_statement(Statement::RollbackToPrefix, sqltext::kRollbackToSavepointPrefix);
  set_statement(Statement::DescribeTable, sqltext::kDescribeTableStatement);
  auto names_tuple = [&](Kw k, std::initializer_list<Name> spelled) {
    Object tuple = steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(spelled.size())));
    Py_ssize_t i = 0;
    for (Name n : spelled) PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(name(n)));
    kw_[static_cast<std::size_t>(k)] = std::move(tuple);
  };
  names_tuple(Kw::Flags, {Name::is_internal_table, Name::use_internal_meta_tables});
  names_tuple(Kw::MetaOnly, {Name::use_internal_meta_tables});
  names_tuple(Kw::Resolve, {Name::value_type, Name::is_internal_table, Name::use_internal_meta_tables});
  names_tuple(Kw::PlainSelect, {Name::select_only, Name::conditions, Name::pagination, Name::order_by,
                                Name::is_internal_table});
  names_tuple(Kw::JoinedSelect, {Name::select_only, Name::conditions, Name::pagination, Name::order_by});
  names_tuple(Kw::K, {Name::k});
  names_tuple(Kw::NumberPaginator, {Name::limit, Name::offset});
  const char* fast = std::getenv("VELMOR_FAST_PATHS");
  fast_paths_ = !(fast && std::strcmp(fast, "0") == 0);
  type_instancecheck_ = own(type_entry(&PyType_Type, name(Name::__instancecheck__)));
  // What a function defined in this module would fall back on: its importer's builtins.
  builtins_ = own(PyEval_GetBuiltins());
  watch_globals();
}

void ModuleState::watch_globals() {
#if PY_VERSION_HEX >= 0x030C0000
  // An interpreter has 8 dict watchers for everyone: without one the builders read the
  // globals at every call, as they must where nothing tells of a change.
  const int watcher = PyDict_AddWatcher(count_globals_change);
  if (watcher < 0) {
    PyErr_Clear();
    return;
  }
  globals_watcher_ = watcher;
  if (PyDict_Watch(watcher, globals_.ptr()) < 0) {
    PyErr_Clear();
    unwatch_globals();
  }
#endif
}

void ModuleState::unwatch_globals() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (globals_watcher_ < 0) return;
  PendingError pending;  // the module may go away with an error on its way up
  if (globals_) PyDict_Unwatch(globals_watcher_, globals_.ptr());
  PyDict_ClearWatcher(globals_watcher_);
  PyErr_Clear();
  globals_watcher_ = -1;
#endif
}

int ModuleState::traverse(visitproc visit, void* arg) const {
  Py_VISIT(globals_.ptr());
  for (const Object& o : kw_) Py_VISIT(o.ptr());
  Py_VISIT(standard_deepcopy_.ptr());
  Py_VISIT(standard_json_.ptr());
  Py_VISIT(standard_json_dumps_.ptr());
  Py_VISIT(standard_json_encoder_.ptr());
  Py_VISIT(standard_import_.ptr());
  Py_VISIT(type_instancecheck_.ptr());
  Py_VISIT(builtins_.ptr());
  for (const Object& o : own_members_) Py_VISIT(o.ptr());
  for (const Object& o : own_callables_) Py_VISIT(o.ptr());
  if (global_texts_)
    if (int failed = global_texts_->traverse(visit, arg)) return failed;
  Py_VISIT(method_type_.ptr());
  Py_VISIT(function_type_.ptr());
  return memo_.traverse(visit, arg);
}

void ModuleState::clear() {
  unwatch_globals();
  globals_ = Object();
  memo_.clear();
  statement_texts_.clear();
  standard_deepcopy_ = Object();
  standard_json_ = Object();
  standard_json_dumps_ = Object();
  standard_json_encoder_ = Object();
  standard_import_ = Object();
  type_instancecheck_ = Object();
  builtins_ = Object();
  for (Object& o : own_members_) o = Object();
  for (Object& o : own_callables_) o = Object();
  global_texts_.reset();
  method_type_ = Object();
  function_type_ = Object();
}

Object ModuleState::global(Name n) const {
  PyObject* key = name(n);
  if (!globals_) {
    PyErr_SetString(PyExc_RuntimeError, "the module of this member has been cleared");
    throw_python_error();
  }
  PyObject* value = PyDict_GetItemWithError(globals_.ptr(), key);
  if (!value && !PyErr_Occurred() && builtins_) value = PyDict_GetItemWithError(builtins_.ptr(), key);
  if (!value) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    throw_python_error();
  }
  return own(value);
}

std::uint64_t ModuleState::globals_version() const noexcept {
#if PY_VERSION_HEX < 0x030C0000
  if (globals_) return reinterpret_cast<PyDictObject*>(globals_.ptr())->ma_version_tag;
#else
  if (globals_watcher_ >= 0) return globals_changes.load(std::memory_order_relaxed);
#endif
  return 0;
}

const GlobalTexts* ModuleState::current_global_texts() const {
  static constexpr Name kRead[] = {Name::MODEL_TABLE_ALIAS,     Name::METADATA_TABLE_ALIAS,
                                   Name::ADDRESS_FIELD,         Name::METADATA_FIELD,
                                   Name::PRIMARY_PARTITION_KEY, Name::SECONDARY_PARTITION_KEY,
                                   Name::METADATA_SELECT_FIELD};
  const std::uint64_t version = fast_paths_ ? globals_version() : 0;
  if (version == 0) return nullptr;
  if (global_texts_ && global_texts_->version() == version) return global_texts_.get();
  auto texts = std::make_shared<GlobalTexts>(version);
  for (Name n : kRead) {
    PyObject* value = PyDict_GetItemWithError(globals_.ptr(), name(n));
    if (!value && PyErr_Occurred()) throw_python_error();
    if (value && PyUnicode_CheckExact(value)) texts->set(n, Utf8(own(value)));
  }
  std::array<std::string_view, std::size(kFieldNameGlobals)> views;
  std::size_t held = 0;
  for (; held < views.size(); ++held) {
    const Utf8* text = texts->find(kFieldNameGlobals[held]);
    if (!text) break;
    views[held] = text->view();
  }
  if (held == views.size())
    texts->set_field_names(
        sqltext::FieldNames(views[0], views[1], views[2], views[3], views[4], views[5], kColumnQuote));
  if (globals_version() != version) return nullptr;  // code ran while reading: keep nothing of it
  global_texts_ = std::move(texts);  // the snapshot it replaces is released once this one is in place
  return global_texts_.get();
}

std::shared_ptr<const GlobalTexts> ModuleState::global_texts() const {
  return current_global_texts() ? global_texts_ : nullptr;
}

void ModuleState::set_global(const char* key, Handle value) const {
  if (PyDict_SetItemString(globals_.ptr(), key, value.ptr()) < 0) throw_python_error();
}

void ModuleState::set_attr(Handle object, Name attribute, Handle value) const {
  if (PyObject_SetAttr(object.ptr(), name(attribute), value.ptr()) < 0) throw_python_error();
}

void ModuleState::set_standard_functions(Handle deepcopy, Handle json, Handle import_function) {
  standard_json_dumps_ = attr(json, Name::dumps);
  standard_json_encoder_ = attr(json, Name::_default_encoder);
  standard_json_ = own(json);
  standard_import_ = own(import_function);
  standard_deepcopy_ = own(deepcopy);
  // The encoder's class as it is now: a look-up gives it a version tag, if it can have one,
  // and any change to it or a base from then on gives it another.
  PyTypeObject* encoder_class = Py_TYPE(standard_json_encoder_.ptr());
  type_entry(encoder_class, name(Name::dumps));
  standard_encoder_class_.record(encoder_class);
}

bool ModuleState::is_standard_json(Handle json) const {
  if (!fast_paths_ || json.ptr() != standard_json_.ptr()) return false;
  // The json module's own attributes: reading them runs no code (a module's __getattr__
  // is asked only for names it does not hold).
  PyObject* namespace_ = PyModule_GetDict(json.ptr());
  PyObject* dumps = PyDict_GetItemWithError(namespace_, name(Name::dumps));
  PyObject* encoder = dumps ? PyDict_GetItemWithError(namespace_, name(Name::_default_encoder)) : nullptr;
  if (PyErr_Occurred()) throw_python_error();
  if (dumps != standard_json_dumps_.ptr() || encoder != standard_json_encoder_.ptr()) return false;
  // Its class's methods decide the text, and of its own attributes the two that a str or a
  // number reads (no method of its own may stand in front of the class's).
  if (!standard_encoder_class_.holds_for(Py_TYPE(encoder))) return false;
  PyObject* settings = PyObject_GenericGetDict(encoder, nullptr);
  if (!settings) throw_python_error();
  Object held = Object::steal(settings);
  auto holds = [&](Name key) {
    PyObject* value = PyDict_GetItemWithError(settings, name(key));
    if (!value && PyErr_Occurred()) throw_python_error();
    return value;
  };
  return holds(Name::ensure_ascii) == Py_True && holds(Name::allow_nan) == Py_True && !holds(Name::encode) &&
         !holds(Name::iterencode);
}

void ModuleState::set_callable_types(Object method_type, Object function_type) {
  method_type_ = std::move(method_type);
  function_type_ = std::move(function_type);
}

Object Method::spread(Handle first, Handle rest) const {
  // A tuple is used as it is; anything else is copied into one first, as `*rest` does,
  // so that the call cannot change the sequence being spread under our feet.
  Object arguments;
  if (PyTuple_CheckExact(rest.ptr())) {
    arguments = own(rest);
  } else {
    PyObject* tuple = PySequence_Tuple(rest.ptr());
    if (!tuple) {
      // As the interpreter does for `f(first, *rest)`: only an object that is not
      // iterable at all gets its message; an error of the object's own __iter__ passes.
      if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(rest.ptr())->tp_iter &&
          !PySequence_Check(rest.ptr())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "Value after * must be an iterable, not %.200s", Py_TYPE(rest.ptr())->tp_name);
      }
      throw_python_error();
    }
    arguments = Object::steal(tuple);
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(arguments.ptr());
  constexpr Py_ssize_t kInline = 16;
  PyObject* inline_argv[kInline + 3];
  std::unique_ptr<PyObject*[]> heap;
  PyObject** argv = inline_argv;
  if (n > kInline) {
    heap.reset(new PyObject*[static_cast<std::size_t>(n) + 3]);
    argv = heap.get();
  }
  // argv[0] stays free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
  std::size_t count = 0;
  if (binds_) argv[1 + count++] = self_.ptr();
  argv[1 + count++] = first.ptr();
  // Borrowed from `arguments`, a tuple we hold: nothing can change it.
  for (Py_ssize_t i = 0; i < n; ++i) argv[1 + count++] = PyTuple_GET_ITEM(arguments.ptr(), i);
  return steal_or_throw(PyObject_Vectorcall(callable_.ptr(), argv + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace {

// The attribute of a module `from ... import` has just imported, with its ImportError.
Object imported_name(Handle imported, Handle module_name, Handle attribute) {
  PyObject* value = PyObject_GetAttr(imported.ptr(), attribute.ptr());
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", attribute.ptr(), module_name.ptr());
    throw_python_error();
  }
  return Object::steal(value);
}

}  // namespace

Object ModuleState::import_name(Handle module_name, Handle attribute) const {
  // As the import statement does: through builtins.__import__, so that an import hook
  // sees it, unless that is still the interpreter's own function.
  PyObject* builtins = PyEval_GetBuiltins();
  Object hook = builtins ? own(PyDict_GetItemWithError(builtins, name(Name::__import__))) : Object();
  if (!hook) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    throw_python_error();
  }
  if (!fast_paths_ || hook.ptr() != standard_import_.ptr()) {
    Object fromlist = make_tuple(attribute);
    Object imported = call(hook, module_name, globals_ ? Handle(globals_) : Handle(Py_None), Py_None, fromlist,
                           int_(0));
    return imported_name(imported, module_name, attribute);
  }
  Object loaded = own(PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name.ptr()));
  if (loaded && PyModule_CheckExact(loaded.ptr())) {
    if (PyObject* value = PyObject_GetAttr(loaded.ptr(), attribute.ptr())) return Object::steal(value);
  }
  // Not loaded yet, or still initialising in another thread: the full import waits
  // for it and reports what is missing.
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
  PyErr_Clear();
  Object fromlist = make_tuple(attribute);
  Object imported = steal_or_throw(
      PyImport_ImportModuleLevelObject(module_name.ptr(), globals_.ptr(), nullptr, fromlist.ptr(), 0));
  return imported_name(imported, module_name, attribute);
}

void ModuleState::raise_connection_error(std::string_view message) const {
  Object error = call(global(Name::VelmorConnectionError), to_str(message));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw_python_error();
}

namespace {

// What type.__instancecheck__ answers: a subtype test, then the one the object's
// __class__ claims (a str or an int claims its own type).
bool type_instancecheck(Handle value, PyTypeObject* cls) {
  if (PyObject_TypeCheck(value.ptr(), cls)) return true;
  if (PyUnicode_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) return false;
  PyObject* claimed = PyObject_GetAttrString(value.ptr(), "__class__");
  if (!claimed) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return false;
  }
  Object icls = Object::steal(claimed);
  return icls.ptr() != reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())) && PyType_Check(icls.ptr()) &&
         PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(icls.ptr()), cls);
}

}  // namespace

void ModuleState::set_own_member(const char* spelled, Handle class_entry, Handle callable) {
  for (std::size_t i = 0; i < own_members_.size(); ++i)
    if (std::string_view(kSpelled[i]) == spelled) {
      own_members_[i] = own(class_entry);
      own_callables_[i] = own(callable);
    }
}

bool ModuleState::own_member(Handle self, Name method) const {
  if (!fast_paths_) return false;
  const auto index = static_cast<std::size_t>(method);
  PyObject* entry = own_members_[index].ptr();
  PyTypeObject* type = Py_TYPE(self.ptr());
  // A class with __getattribute__ or __getattr__ of its own decides every look-up.
  if (!entry || type->tp_getattro != PyObject_GenericGetAttr) return false;
  Verdict& verdict = not_overridden_[index];
  if (!verdict.holds_for(type)) {
    if (type_entry(type, name(method)) != entry) return false;  // `entry` is ours: compared, never freed
    verdict.record(type);  // the look-up gave the class a version tag, if it can have one
  }
  // An attribute of the instance comes first: our members are not data descriptors.
  PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();  // no __dict__: nothing stands in front of the class's member
    return true;
  }
  Object instance_dict = Object::steal(dict);
  if (PyDict_GetItemWithError(dict, name(method))) return false;
  if (PyErr_Occurred()) throw_python_error();
  return true;
}

Method ModuleState::method(Handle self, Name m) const {
  if (own_member(self, m)) {
    PyObject* callable = own_callables_[static_cast<std::size_t>(m)].ptr();
    return Method::ours(self, callable, Py_TYPE(callable) == method_type());
  }
  return Method::found(steal_or_throw(PyObject_GetAttr(self.ptr(), name(m))));
}

bool ModuleState::is_instance_of_class(Handle value, Handle cls) const {
  if (Py_IS_TYPE(value.ptr(), reinterpret_cast<PyTypeObject*>(cls.ptr()))) return true;
  if (fast_paths_ && PyType_Check(cls.ptr()) && !PyType_CheckExact(cls.ptr())) {
    PyTypeObject* meta = Py_TYPE(cls.ptr());
    const auto type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (plain_metaclass_.holds_for(meta)) return type_instancecheck(value, type);
    // The interpreter looks the special method up on the metaclass's MRO, not through
    // the metaclass's own attribute look-up.
    if (type_entry(meta, name(Name::__instancecheck__)) == type_instancecheck_.ptr()) {
      plain_metaclass_.record(meta);  // the look-up gave it a version tag, if it can have one
      return type_instancecheck(value, type);
    }
  }
  return is_instance(value, cls);
}

Object next_item(Handle iterator) {
  PyObject* item = PyIter_Next(iterator.ptr());
  if (!item && PyErr_Occurred()) throw_python_error();
  return Object::steal(item);
}

bool DictWalk::next(Object& key, Object& value) {
  if (PyDict_GET_SIZE(dict_.ptr()) != used_) {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    throw_python_error();
  }
  PyObject *borrowed_key, *borrowed_value;
  if (!PyDict_Next(dict_.ptr(), &position_, &borrowed_key, &borrowed_value)) return false;
  if (remaining_ == 0) {
    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
    throw_python_error();
  }
  --remaining_;
  key = own(borrowed_key);
  value = own(borrowed_value);
  return true;
}

void Utf8::convert() {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(owner_.ptr(), &size)) {
    view_ = {data, static_cast<std::size_t>(size)};
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_python_error();
  PyErr_Clear();
  owner_ = steal_or_throw(PyUnicode_AsEncodedString(owner_.ptr(), "utf-8", "surrogatepass"));
  view_ = {PyBytes_AS_STRING(owner_.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(owner_.ptr()))};
}

Object to_str(std::string_view text) {
  // Most text is ASCII (statement text but for its names): such text is the new str's
  // data as it stands.
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    high |= word;
  }
  for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
  if ((high & 0x8080808080808080ULL) == 0 && text.size() > 1) {
    Object str = steal_or_throw(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_DATA(str.ptr()), text.data(), text.size());
    return str;
  }
  return steal_or_throw(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

std::pair<Object, Object> unpack2(Handle value) {
  PyObject* object = value.ptr();
  if (PyTuple_CheckExact(object) && PyTuple_GET_SIZE(object) == 2)
    return {own(PyTuple_GET_ITEM(object, 0)), own(PyTuple_GET_ITEM(object, 1))};
  PyObject* iterator = PyObject_GetIter(object);
  if (!iterator) {
    // As the interpreter does: the message is replaced only for an object that is not
    // iterable at all; an error of the object's own __iter__ passes unchanged.
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(object)->tp_iter && !PySequence_Check(object)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(object)->tp_name);
    }
    throw_python_error();
  }
  auto it = Object::steal(iterator);
  Object items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = next_item(it);
    if (!items[i]) {
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      throw_python_error();
    }
  }
  if (next_item(it)) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw_python_error();
  }
  return {std::move(items[0]), std::move(items[1])};
}

bool truthy(Handle value) {
  if (value.ptr() == Py_True) return true;
  if (value.ptr() == Py_False || value.ptr() == Py_None) return false;
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw_python_error();
  return result != 0;
}

bool is_instance(Handle value, Handle cls) {
  int result = PyObject_IsInstance(value.ptr(), cls.ptr());
  if (result < 0) throw_python_error();
  return result != 0;
}

bool equals(Handle left, Handle right) {
  return truthy(steal_or_throw(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
}

Object type_name(Handle value) {
  return steal_or_throw(PyType_GetName(Py_TYPE(value.ptr())));
}

Object take_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return Object::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Object::steal(value);
#endif
}

void restore_error(Object error) noexcept {
  if (!error) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())));
  PyObject* traceback = PyException_GetTraceback(error.ptr());  // new reference or null
  PyErr_Restore(type, error.release(), traceback);
#endif
}

void raise_unchained(Object error) {
  restore_error(std::move(error));
  throw_python_error();
}

}  // namespace velmor::binding
