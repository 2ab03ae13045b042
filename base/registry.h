// Reading and writing the installation's settings: string values under
// HKEY_LOCAL_MACHINE, kept by the platform's registry (platform/registry_file.h).
//
// Each call returns 0 on success and 1 on failure. A call without a key or without
// a value name (null or empty) fails at once without an event; every other failure
// is reported once as an error event (no data) naming the key and the value:
//   45 the key cannot be opened for reading      46 the value cannot be read
//   47 the key cannot be opened for writing      48 the value cannot be set
//   49 the key cannot be opened for deleting     50 the value cannot be deleted
// Values are read into a buffer of kTernRegistryBufferSize bytes that must also hold
// the terminating zero: data of that size or more cannot be read. Writes never
// create keys. Safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The predefined root keys, by their Windows numbers; only HKEY_LOCAL_MACHINE holds
// anything here.
using TernHKey = uint32_t;
inline constexpr TernHKey kTernHKeyLocalMachine = 0x80000002u;

inline constexpr size_t kTernRegistryBufferSize = 1024;
// The maker's key; each product's settings sit in a subkey named after it.
inline constexpr char kTernMakerKey[] = "SOFTWARE\\Kestrin";

// Reads a value into result. On failure result is empty.
[[nodiscard]] int RegistryRead(TernHKey root, const char* key, const char* valueName,
                               std::string& result);
[[nodiscard]] int RegistryRead(TernHKey root, const std::string& key,
                               const std::string& valueName, std::string& result);

// Sets a value of an existing key to text (up to its first zero byte; a null text
// fails with 48). Text with CR or LF cannot be stored and fails with 48. On failure
// the registry is unchanged.
[[nodiscard]] int RegistryWrite(TernHKey root, const char* key, const char* valueName,
                                const char* text);
[[nodiscard]] int RegistryWrite(TernHKey root, const std::string& key,
                                const std::string& valueName, const std::string& text);

// Deletes a value of an existing key; a missing value fails with 50.
[[nodiscard]] int RegistryDelete(TernHKey root, const char* key, const char* valueName);
[[nodiscard]] int RegistryDelete(TernHKey root, const std::string& key,
                                 const std::string& valueName);

// The key of a product's settings: the maker's key, "\" and the product's name,
// with trailing backslashes removed (so an empty name gives the maker's key).
std::string RegistryProductKey(const std::string& product);

// A start-up setting: the value name of the product's key (see RegistryProductKey)
// under HKEY_LOCAL_MACHINE, or defaultValue when it cannot be read. Such a failure is
// not reported: a setting left out simply takes its default.
std::string RegistryReadSetting(const std::string& product, const std::string& name,
                                const std::string& defaultValue);
