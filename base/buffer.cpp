// CTernBuffer: the locked byte buffer.
#include "base/buffer.h"

#include <algorithm>
#include <cstring>

#include "base/string.h"

CTernBuffer::CTernBuffer(size_t capacity) { m_Data.reserve(capacity); }

void CTernBuffer::Compact(size_t room) {
  if (m_Read == 0) return;
  if (m_Read == m_Data.size()) {
    m_Data.clear();
    m_Read = 0;
    return;
  }
  // Moving the rest costs its length, so do it only when the taken part is at
  // least as long, or when the block would otherwise have to grow.
  if (m_Read >= m_Data.size() - m_Read || m_Data.size() + room > m_Data.capacity()) {
    m_Data.erase(0, m_Read);
    m_Read = 0;
  }
}

void CTernBuffer::Append(const void* data, size_t length) {
  if (length == 0) return;
  CTernLockGuard guard(m_Lock);
  Compact(length);
  m_Data.append(static_cast<const char*>(data), length);
}

void CTernBuffer::Append(std::string_view text) { Append(text.data(), text.size()); }

void CTernBuffer::Append(const CTernString& text) {
  std::string copy = text.Str();
  Append(copy.data(), copy.size());
}

size_t CTernBuffer::Length() const {
  CTernLockGuard guard(m_Lock);
  return m_Data.size() - m_Read;
}

size_t CTernBuffer::Capacity() const {
  CTernLockGuard guard(m_Lock);
  return m_Data.capacity();
}

size_t CTernBuffer::Take(void* block, size_t max) {
  CTernLockGuard guard(m_Lock);
  size_t n = std::min(max, m_Data.size() - m_Read);
  if (n > 0) std::memcpy(block, m_Data.data() + m_Read, n);
  m_Read += n;
  Compact(0);
  return n;
}

size_t CTernBuffer::Take(std::string& out, size_t max) {
  CTernLockGuard guard(m_Lock);
  size_t n = std::min(max, m_Data.size() - m_Read);
  out.assign(m_Data, m_Read, n);
  m_Read += n;
  Compact(0);
  return n;
}

std::string CTernBuffer::TakeAll() {
  CTernLockGuard guard(m_Lock);
  std::string out = m_Data.substr(m_Read);
  m_Data.clear();
  m_Read = 0;
  return out;
}

size_t CTernBuffer::ReadAt(size_t offset, void* block, size_t max) const {
  CTernLockGuard guard(m_Lock);
  size_t length = m_Data.size() - m_Read;
  if (offset >= length) return 0;
  size_t n = std::min(max, length - offset);
  std::memcpy(block, m_Data.data() + m_Read + offset, n);
  return n;
}

std::string CTernBuffer::Contents() const {
  CTernLockGuard guard(m_Lock);
  return m_Data.substr(m_Read);
}

void CTernBuffer::WriteAt(size_t offset, const void* data, size_t length) {
  CTernLockGuard guard(m_Lock);
  if (offset + length > m_Data.size() - m_Read) {
    Compact(offset + length - (m_Data.size() - m_Read));
    m_Data.resize(m_Read + offset + length, '\0');
  }
  if (length > 0) std::memcpy(m_Data.data() + m_Read + offset, data, length);
}

void CTernBuffer::Truncate(size_t length) {
  CTernLockGuard guard(m_Lock);
  if (length > m_Data.size() - m_Read) Compact(length - (m_Data.size() - m_Read));
  m_Data.resize(m_Read + length, '\0');
  Compact(0);
}

void CTernBuffer::Reserve(size_t capacity) {
  CTernLockGuard guard(m_Lock);
  if (m_Read > 0) {
    m_Data.erase(0, m_Read);
    m_Read = 0;
  }
  m_Data.reserve(capacity);
}

void CTernBuffer::Clear() {
  CTernLockGuard guard(m_Lock);
  m_Data.clear();
  m_Read = 0;
}

size_t CTernBuffer::LineEnd(std::string_view held, std::string_view terminator, size_t limit,
                            bool& found) const {
  std::string_view data(m_Data.data() + m_Read, std::min(limit, m_Data.size() - m_Read));
  size_t t = terminator.size();
  // A terminator that began in the held bytes and ends after e new ones.
  for (size_t e = 1; e < t && e <= data.size(); ++e) {
    size_t before = t - e;
    if (held.size() >= before && held.substr(held.size() - before) == terminator.substr(0, before) &&
        data.substr(0, e) == terminator.substr(before)) {
      found = true;
      return e;
    }
  }
  // Everything scanned here is taken whether or not the terminator turns up, so no
  // byte is searched twice however the data arrives.
  size_t at = data.find(terminator);
  found = at != std::string_view::npos;
  return found ? at + t : data.size();
}

size_t CTernBuffer::TakeLine(char* block, size_t size, std::string_view terminator, bool cont,
                             size_t& length) {
  if (!block || size == 0) {
    length = 0;
    return 0;
  }
  size_t held = cont ? std::min(length, size - 1) : 0;
  bool found = false;
  if (!terminator.empty()) {
    CTernLockGuard guard(m_Lock);
    size_t n = LineEnd(std::string_view(block, held), terminator, size - 1 - held, found);
    if (n > 0) std::memcpy(block + held, m_Data.data() + m_Read, n);
    m_Read += n;
    Compact(0);
    held += n;
  }
  block[held] = '\0';
  length = held;
  return found ? held : 0;
}

size_t CTernBuffer::TakeLine(std::string& line, std::string_view terminator, bool cont) {
  if (!cont) line.clear();
  if (terminator.empty()) return 0;
  CTernLockGuard guard(m_Lock);
  bool found = false;
  size_t n = LineEnd(line, terminator, m_Data.size() - m_Read, found);
  line.append(m_Data, m_Read, n);
  m_Read += n;
  Compact(0);
  return found ? line.size() : 0;
}
