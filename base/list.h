// The ordered list: a singly linked list of items with positional access through a
// cursor and, when it has a comparison function, insertion in sort order. Every
// operation takes the list's own lock, so one list can be shared between threads.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "base/lock.h"

// Throw CTernException 55 (position out of range) and 56 (no comparison function).
[[noreturn]] void TernListOutOfRange(size_t position);
[[noreturn]] void TernListNoCompare();

template <class T>
class CTernList {
 public:
  // Negative when a sorts before b, 0 when equal, positive when after.
  using CompareFn = std::function<int(const T& a, const T& b)>;

  CTernList() = default;
  explicit CTernList(CompareFn compare) : m_Compare(std::move(compare)) {}
  ~CTernList() { Release(); }
  CTernList(const CTernList&) = delete;
  CTernList& operator=(const CTernList&) = delete;

  void SetCompare(CompareFn compare) {
    CTernLockGuard guard(m_Lock);
    m_Compare = std::move(compare);
  }
  bool HasCompare() const {
    CTernLockGuard guard(m_Lock);
    return static_cast<bool>(m_Compare);
  }

  size_t Count() const {
    CTernLockGuard guard(m_Lock);
    return m_Count;
  }

  void Append(T item) {
    CTernLockGuard guard(m_Lock);
    AppendLocked(std::move(item));
  }

  void Prepend(T item) {
    CTernLockGuard guard(m_Lock);
    Seek(0);
    LinkHere(std::move(item));
  }

  // Inserts so that the item takes the position; 0 to Count() (Count() appends).
  // Any other position throws 55.
  void InsertAt(size_t position, T item) {
    CTernLockGuard guard(m_Lock);
    if (position > m_Count) TernListOutOfRange(position);
    if (position == m_Count) {
      AppendLocked(std::move(item));
      return;
    }
    Seek(position);
    LinkHere(std::move(item));
  }

  // A copy of the item at a position 0 to Count() - 1; any other position throws 55.
  T ItemAt(size_t position) const {
    CTernLockGuard guard(m_Lock);
    if (position >= m_Count) TernListOutOfRange(position);
    Seek(position);
    return m_Cur->item;
  }

  // Unlinks the item at a position 0 to Count() - 1 and hands it back; any other
  // position throws 55.
  T RemoveAt(size_t position) {
    CTernLockGuard guard(m_Lock);
    if (position >= m_Count) TernListOutOfRange(position);
    Seek(position);
    Node* victim = m_Cur;
    Node* next = victim->next;
    if (m_Prev) {
      m_Prev->next = next;
    } else {
      m_Head = next;
    }
    if (victim == m_Tail) m_Tail = m_Prev;
    m_Cur = next;
    m_Count--;
    T item = std::move(victim->item);
    delete victim;
    return item;
  }

  void Clear() {
    CTernLockGuard guard(m_Lock);
    Release();
  }

  // Adds the item in sort order. An item equal to or after the last is appended;
  // else one equal to or before the first is prepended; else the range is narrowed
  // by halving while half of it is more than 5 items, and the item goes in front of
  // the first item from there on that it is equal to or before. So an item that
  // ties with others goes in front of them, unless it ties with the last item.
  // Without a comparison function, throws 56.
  void AddInOrder(T item) {
    CTernLockGuard guard(m_Lock);
    if (!m_Compare) TernListNoCompare();
    if (m_Count == 0 || m_Compare(item, m_Tail->item) >= 0) {
      AppendLocked(std::move(item));
      return;
    }
    if (m_Compare(item, m_Head->item) <= 0) {
      Seek(0);
      LinkHere(std::move(item));
      return;
    }
    // The range [low, high): lowNode is the item at low, lowPrev the one before.
    size_t low = 0;
    size_t high = m_Count;
    Node* lowNode = m_Head;
    Node* lowPrev = nullptr;
    while ((high - low) / 2 > 5) {
      size_t mid = low + (high - low) / 2;
      Node* midNode = lowNode;
      Node* midPrev = lowPrev;
      for (size_t i = low; i < mid; ++i) {
        midPrev = midNode;
        midNode = midNode->next;
      }
      if (m_Compare(item, midNode->item) > 0) {
        low = mid;
        lowNode = midNode;
        lowPrev = midPrev;
      } else {
        high = mid;
      }
    }
    while (lowNode && m_Compare(item, lowNode->item) > 0) {
      lowPrev = lowNode;
      lowNode = lowNode->next;
      low++;
    }
    // The cursor is set to the insertion point and the item linked there.
    m_CurPos = low;
    m_Cur = lowNode;
    m_Prev = lowPrev;
    if (lowNode) {
      LinkHere(std::move(item));
    } else {
      AppendLocked(std::move(item));  // only with an inconsistent comparison
    }
  }

  // Calls fn(item) for every item in order, under the list's lock; fn must not
  // use this list.
  template <class F>
  void ForEach(F fn) const {
    CTernLockGuard guard(m_Lock);
    for (Node* n = m_Head; n; n = n->next) fn(static_cast<const T&>(n->item));
  }

 private:
  struct Node {
    explicit Node(T&& value) : item(std::move(value)) {}
    T item;
    Node* next = nullptr;
  };

  // Moves the cursor to a position 0 to m_Count, from where it stands when that is
  // not past the position, else from the head.
  void Seek(size_t position) const {
    if (position < m_CurPos) {
      m_CurPos = 0;
      m_Cur = m_Head;
      m_Prev = nullptr;
    }
    while (m_CurPos < position) {
      m_Prev = m_Cur;
      m_Cur = m_Cur->next;
      m_CurPos++;
    }
  }

  // Links an item in front of the cursor's item (which is not past the end); the
  // cursor then stands on the new item.
  void LinkHere(T&& item) {
    Node* node = new Node(std::move(item));
    node->next = m_Cur;
    if (m_Prev) {
      m_Prev->next = node;
    } else {
      m_Head = node;
    }
    if (!m_Cur) m_Tail = node;
    m_Cur = node;
    m_Count++;
  }

  void AppendLocked(T&& item) {
    Node* node = new Node(std::move(item));
    if (m_Tail) {
      m_Tail->next = node;
    } else {
      m_Head = node;
    }
    // A cursor at the end now stands on the new last item.
    if (m_CurPos == m_Count) m_Cur = node;
    m_Tail = node;
    m_Count++;
  }

  void Release() {
    Node* n = m_Head;
    while (n) {
      Node* next = n->next;
      delete n;
      n = next;
    }
    m_Head = m_Tail = nullptr;
    m_Count = 0;
    m_CurPos = 0;
    m_Cur = m_Prev = nullptr;
  }

  mutable CTernLock m_Lock;
  CompareFn m_Compare;
  Node* m_Head = nullptr;
  Node* m_Tail = nullptr;
  size_t m_Count = 0;
  // The cursor: m_Cur is the item at m_CurPos (null at the end), m_Prev the one
  // before it (null at the head).
  mutable size_t m_CurPos = 0;
  mutable Node* m_Cur = nullptr;
  mutable Node* m_Prev = nullptr;
};
