// AttributeTable over CTernHash with heap strings as values.
#include "config/attribute_table.h"

namespace {

void ReleaseText(void* value) { delete static_cast<std::string*>(value); }
void* CopyText(const void* value) { return new std::string(*static_cast<const std::string*>(value)); }

}  // namespace

AttributeTable::AttributeTable() : m_Entries(0, false) {}

AttributeTable::~AttributeTable() { m_Entries.Clear(ReleaseText); }

AttributeTable::AttributeTable(const AttributeTable& other) : m_Entries(0, false) {
  other.m_Entries.CopyTo(m_Entries, CopyText, ReleaseText);
}

AttributeTable& AttributeTable::operator=(const AttributeTable& other) {
  if (this != &other) {
    m_Entries.Clear(ReleaseText);
    other.m_Entries.CopyTo(m_Entries, CopyText, ReleaseText);
  }
  return *this;
}

void AttributeTable::Set(std::string_view name, std::string_view value) {
  m_Entries.Insert(name, new std::string(value), ReleaseText);
}

bool AttributeTable::Get(std::string_view name, std::string& value) const {
  std::string* found = nullptr;
  if (!m_Entries.Find(name, &found)) return false;
  value = *found;
  return true;
}

bool AttributeTable::Has(std::string_view name) const { return m_Entries.Find(name); }

bool AttributeTable::Remove(std::string_view name) {
  std::string* found = nullptr;
  if (!m_Entries.Find(name, &found, true)) return false;
  delete found;
  return true;
}

size_t AttributeTable::Count() const { return m_Entries.Count(); }

void AttributeTable::Clear() { m_Entries.Clear(ReleaseText); }

void AttributeTable::ForEach(
    const std::function<void(const std::string& name, const std::string& value)>& fn) const {
  std::string name;
  void* value = nullptr;
  for (bool more = m_Entries.First(&name, &value); more; more = m_Entries.Next(&name, &value))
    fn(name, *static_cast<std::string*>(value));
}

void AttributeTable::Merge(const AttributeTable& other) {
  if (this == &other) return;
  other.m_Entries.CopyTo(m_Entries, CopyText, ReleaseText);
}
