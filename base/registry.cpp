// Registry reads and writes over the platform's registry, with their failure events.
#include "base/registry.h"

#include "base/message_codes.h"
#include "base/report.h"
#include "platform/registry_file.h"

namespace {

void Report(int code, const std::string& key, const std::string& valueName) {
  TernReportEventF(TernEventType::Error, code, key, valueName);
}

// Open-step failures: the key cannot be reached. Everything else failed at the value.
bool KeyFailed(PlatformRegStatus status) {
  return status == PlatformRegStatus::NoKey || status == PlatformRegStatus::ReadFailed ||
         status == PlatformRegStatus::Busy;
}

// The text a C caller would have passed: up to the first zero byte.
std::string CText(const std::string& text) { return text.substr(0, text.find('\0')); }

// Reads a value; failures are reported unless quiet.
int ReadValue(TernHKey root, const std::string& key, const std::string& valueName,
              std::string& result, bool quiet) {
  result.clear();
  if (key.empty() || valueName.empty()) return 1;
  std::string value;
  PlatformRegResult r;
  if (root != kTernHKeyLocalMachine)
    r.status = PlatformRegStatus::NoKey;
  else
    r = PlatformRegistryGetValue(key, valueName, value);
  if (!r.Ok()) {
    if (!quiet)
      Report(KeyFailed(r.status) ? kMsgRegistryReadOpenKeyFailed : kMsgRegistryReadQueryFailed, key,
             valueName);
    return 1;
  }
  if (value.size() >= kTernRegistryBufferSize) {
    if (!quiet) Report(kMsgRegistryReadQueryFailed, key, valueName);
    return 1;
  }
  result = CText(value);
  return 0;
}

}  // namespace

int RegistryRead(TernHKey root, const std::string& key, const std::string& valueName,
                 std::string& result) {
  return ReadValue(root, key, valueName, result, false);
}

int RegistryRead(TernHKey root, const char* key, const char* valueName, std::string& result) {
  if (!key || !valueName) {
    result.clear();
    return 1;
  }
  return RegistryRead(root, std::string(key), std::string(valueName), result);
}

int RegistryWrite(TernHKey root, const std::string& key, const std::string& valueName,
                  const std::string& text) {
  if (key.empty() || valueName.empty()) return 1;
  PlatformRegResult r;
  if (root != kTernHKeyLocalMachine) {
    r.status = PlatformRegStatus::NoKey;
  } else {
    // The key must exist before anything about the value is judged, so a missing
    // key is reported as such even for a value that could not be stored.
    r = PlatformRegistryHasKey(key);
    if (r.Ok()) r = PlatformRegistrySetValue(key, valueName, CText(text));
  }
  if (!r.Ok()) {
    Report(KeyFailed(r.status) ? kMsgRegistrySetOpenKeyFailed : kMsgRegistrySetValueFailed, key,
           valueName);
    return 1;
  }
  return 0;
}

int RegistryWrite(TernHKey root, const char* key, const char* valueName, const char* text) {
  if (!key || !valueName) return 1;
  if (!text) {
    if (!*key || !*valueName) return 1;
    Report(kMsgRegistrySetValueFailed, key, valueName);
    return 1;
  }
  return RegistryWrite(root, std::string(key), std::string(valueName), std::string(text));
}

int RegistryDelete(TernHKey root, const std::string& key, const std::string& valueName) {
  if (key.empty() || valueName.empty()) return 1;
  PlatformRegResult r;
  if (root != kTernHKeyLocalMachine)
    r.status = PlatformRegStatus::NoKey;
  else
    r = PlatformRegistryDeleteValue(key, valueName);
  if (!r.Ok()) {
    Report(KeyFailed(r.status) ? kMsgRegistryDeleteOpenKeyFailed : kMsgRegistryDeleteValueFailed,
           key, valueName);
    return 1;
  }
  return 0;
}

int RegistryDelete(TernHKey root, const char* key, const char* valueName) {
  if (!key || !valueName) return 1;
  return RegistryDelete(root, std::string(key), std::string(valueName));
}

std::string RegistryProductKey(const std::string& product) {
  std::string key = std::string(kTernMakerKey) + "\\" + product;
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return key;
}

std::string RegistryReadSetting(const std::string& product, const std::string& name,
                                const std::string& defaultValue) {
  std::string value;
  // Settings with defaults are optional: a missing one is not an error worth an event.
  if (ReadValue(kTernHKeyLocalMachine, RegistryProductKey(product), name, value, true) != 0)
    return defaultValue;
  return value;
}
