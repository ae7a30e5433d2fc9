// The memo of table descriptions, shared by all instances of one import of the class.
//
// Entries are held per (instance, table name) without bound, but the instance is
// referenced weakly: when it is freed, its entries go with it.
#pragma once

#include "binding/ref.h"

#include <unordered_map>

namespace velmor::binding {

class DescriptionMemo {
 public:
  DescriptionMemo() = default;
  DescriptionMemo(const DescriptionMemo&) = delete;
  DescriptionMemo& operator=(const DescriptionMemo&) = delete;

  // The stored description, or a null object when there is none.
  Object lookup(Handle instance, Handle table_name) const;

  // Stores `description`; instances that cannot be weakly referenced are not memoised.
  // `module` is the module whose state holds this memo: the weak reference's callback
  // keeps it, and finds this memo through it, so the callback never outlives what it
  // touches, whenever and however often it is called.
  void store(Handle module, Handle instance, Handle table_name, Handle description);

  // Drops the entries of a freed instance (its weak reference's callback).
  void forget(const void* instance) noexcept;

  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept;

 private:
  struct Entry {
    Object weakref;  // its callback drops the entry
    Object tables;   // dict: table name -> description
  };

  // Keyed by the instance's address. The weak reference's callback runs while the
  // instance is being freed, before its address can be reused; it can only run while
  // the entry holds the weak reference, so while this memo exists.
  std::unordered_map<const void*, Entry> entries_;
};

}  // namespace velmor::binding
