// Unpredictable bytes from the kernel's random source, for values an attacker must
// not guess (the identifiers and ports of name-server queries). Safe from any thread.
#pragma once

#include <cstddef>

// Fills buffer with size random bytes; false when the source fails (the buffer's
// contents are then not to be used).
[[nodiscard]] bool PlatformRandomBytes(void* buffer, size_t size);
