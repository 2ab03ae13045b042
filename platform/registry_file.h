// The registry of this platform: string values under HKEY_LOCAL_MACHINE, kept in one
// text file (format in registry_file_text.h).
//
// The file is $OSTREL_REGISTRY, else /etc/ostrel/registry, unless a tool or test
// names another. Every call reads the file as it is now; nothing is cached. Every
// change takes the named lock TNREGISTRYLOCK, reads the file, edits it and replaces
// it by the _new/_old rule (write and fsync F_new, keep F as F_old, rename F_new
// over F), so readers see the old or the new file whole and concurrent writers in
// any process lose nothing. A missing file is an empty registry.
//
// A key exists when it has a section: values can be set only in existing keys, and
// only PlatformRegistryCreateKey makes one. The one exception is the TCP/IP
// parameters key (registry_file_tcpip.h): without a section of its own it exists
// for reading and is answered from the system; a section in the file takes its
// place entirely. Only values with data free of CR and LF can be stored.
//
// All functions are safe to call from any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/registry_file_tcpip.h"
#include "platform/registry_file_text.h"

enum class PlatformRegStatus {
  Ok,
  NoKey,        // the key has no section (or its name cannot be one)
  NoValue,      // the key has no such value
  BadName,      // a key or value name the file cannot hold
  BadData,      // value data with CR or LF
  ReadFailed,   // the file exists but cannot be read (error: errno)
  WriteFailed,  // the replacement could not be written or switched (error: errno)
  Busy,         // the registry lock could not be taken in time (error: errno or 0)
};

struct PlatformRegResult {
  PlatformRegStatus status = PlatformRegStatus::Ok;
  int error = 0;
  bool Ok() const { return status == PlatformRegStatus::Ok; }
};

inline constexpr char kPlatformRegistryLock[] = "TNREGISTRYLOCK";
inline constexpr char kPlatformRegistryDefaultFile[] = "/etc/ostrel/registry";

// The registry file: the path last set, else $OSTREL_REGISTRY, else the default.
// An empty path given to the setter returns to the environment and the default.
void PlatformSetRegistryFile(const std::string& path);
std::string PlatformRegistryFile();

// The resolv.conf behind the TCP/IP parameters (default /etc/resolv.conf; an empty
// path returns to it).
void PlatformSetResolvConf(const std::string& path);
std::string PlatformResolvConf();

// Ok when the key exists; NoKey or ReadFailed otherwise.
PlatformRegResult PlatformRegistryHasKey(const std::string& key);
// Ok with the value's data in value (cleared on failure); NoKey, NoValue, ReadFailed.
PlatformRegResult PlatformRegistryGetValue(const std::string& key, const std::string& name,
                                           std::string& value);
// The key's values in file order; NoKey, ReadFailed.
PlatformRegResult PlatformRegistryListValues(const std::string& key,
                                             std::vector<PlatformRegValue>& values);
// The names of the keys one level below key, as the file has them (the TCP/IP
// parameters answered from the system are not among them); NoKey when neither key
// nor anything below it has a section; ReadFailed.
PlatformRegResult PlatformRegistryListSubkeys(const std::string& key,
                                              std::vector<std::string>& names);

// Sets a value of an existing key. NoKey (nothing written), BadName, BadData,
// ReadFailed, WriteFailed, Busy. Setting a value to what it holds writes nothing.
PlatformRegResult PlatformRegistrySetValue(const std::string& key, const std::string& name,
                                           const std::string& value);
// NoKey, NoValue, ReadFailed, WriteFailed, Busy.
PlatformRegResult PlatformRegistryDeleteValue(const std::string& key, const std::string& name);
// Creates the key's section (Ok when it exists already), and the file itself when
// there is none yet (its directory must exist). BadName, ReadFailed, WriteFailed, Busy.
PlatformRegResult PlatformRegistryCreateKey(const std::string& key);
// Deletes the key with its values and every key below it. NoKey when there was
// none; ReadFailed, WriteFailed, Busy.
PlatformRegResult PlatformRegistryDeleteKey(const std::string& key);
