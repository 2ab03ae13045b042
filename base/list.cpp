// The failures of the ordered list, kept out of the template so that every list
// reports them the same way.
#include "base/list.h"

#include <cstdint>
#include <limits>

#include "base/exception.h"
#include "base/message_codes.h"

void TernListOutOfRange(size_t position) {
  // The position goes along as event data (a huge one, from a negative index
  // converted by the caller, is capped).
  int32_t data = position > static_cast<size_t>(std::numeric_limits<int32_t>::max())
                     ? std::numeric_limits<int32_t>::max()
                     : static_cast<int32_t>(position);
  throw CTernException(kMsgListIndexOutOfRange, nullptr, data);
}

void TernListNoCompare() { throw CTernException(kMsgListWithoutCompare); }
