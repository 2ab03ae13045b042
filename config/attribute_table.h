// A table of attribute names to text values: the base attributes of a configuration
// object, the settings of one scheduled event, and the copies handed to callers.
// Names compare with regard to case. Entries are kept in a CTernHash, whose
// iteration order is the order in which a table is written to a configuration file.
//
// A table is a value: copying copies every entry. It is not guarded for concurrent
// use; the configuration holds an object's lock around its tables, and a copy
// belongs to its caller.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/hash.h"

class AttributeTable {
 public:
  AttributeTable();
  ~AttributeTable();
  AttributeTable(const AttributeTable& other);
  AttributeTable& operator=(const AttributeTable& other);

  // Inserts or replaces.
  void Set(std::string_view name, std::string_view value);
  // True and value set when present; value unchanged otherwise.
  bool Get(std::string_view name, std::string& value) const;
  bool Has(std::string_view name) const;
  // True when the entry was there.
  bool Remove(std::string_view name);
  size_t Count() const;
  bool Empty() const { return Count() == 0; }
  void Clear();

  // Calls fn(name, value) for every entry in table order. fn must not use this
  // table (the iteration cursor is the table's own).
  void ForEach(const std::function<void(const std::string& name, const std::string& value)>& fn) const;
  // Copies every entry of other into this table, replacing same-named entries.
  void Merge(const AttributeTable& other);

 private:
  // Values are heap strings owned by the table. The hash table's iteration cursor
  // changes on reading, hence mutable.
  mutable CTernHash m_Entries;
};
