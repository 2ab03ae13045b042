// The settings in force for a user and a client, the access rules, and the source
// of the local mail domains.
#include "config/effective_settings.h"

#include <cstring>
#include <functional>
#include <vector>

#include "base/string.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "net/local_domains.h"

namespace {

// One level: an object by type letter and name.
struct Level {
  char type;
  std::string name;
};

// The cast named by the base Cast of a user or client (never from an event); empty
// when it has none.
std::string CastOf(Configuration& config, char type, std::string_view name) {
  std::string cast;
  if (config.GetBaseAttribute(type, name, kAttrCast, cast) != 0) return "";
  return cast;
}

// The levels, weakest first; with castsOnly just the two casts. A level whose object
// does not exist finds nothing when asked.
std::vector<Level> Levels(Configuration& config, std::string_view client, std::string_view user,
                          bool castsOnly) {
  std::vector<Level> levels;
  if (!castsOnly) levels.push_back({kTypeSystem, ""});
  if (!user.empty()) {
    std::string cast = CastOf(config, kTypeUser, user);
    if (!cast.empty()) levels.push_back({kTypeCast, cast});
    if (!castsOnly) levels.push_back({kTypeUser, std::string(user)});
  }
  if (!client.empty()) {
    std::string cast = CastOf(config, kTypeClient, client);
    if (!cast.empty()) levels.push_back({kTypeCast, cast});
    if (!castsOnly) levels.push_back({kTypeClient, std::string(client)});
  }
  return levels;
}

// Asks each level for attribute; fn gets every value found, weakest first. 0 when
// some level had a value.
int ForEachValue(std::string_view client, std::string_view user, std::string_view attribute,
                 bool castsOnly, const std::function<void(const std::string&)>& fn) {
  Configuration* config = Configuration::Process();
  if (!config) return 1;
  int result = 1;
  for (const Level& level : Levels(*config, client, user, castsOnly)) {
    std::string value;
    if (config->GetValue(level.type, level.name, attribute, value) != 0) continue;
    result = 0;
    fn(value);
  }
  return result;
}

int ValueIntoBuffer(std::string_view client, std::string_view user, std::string_view attribute,
                    char* buffer, size_t size, bool castsOnly) {
  if (!buffer || size == 0) return -1;
  buffer[0] = '\0';
  return ForEachValue(client, user, attribute, castsOnly, [&](const std::string& value) {
    if (value.size() >= size) return;  // does not fit: the weaker value stays
    std::memcpy(buffer, value.c_str(), value.size() + 1);
  });
}

// Refused only when the value in force begins with '0'.
bool AllowedUnlessZero(std::string_view client, std::string_view user, const char* attribute) {
  std::string value;
  if (GetEffectiveValue(client, user, attribute, value) != 0) return true;
  return value.empty() || value[0] != '0';
}

class ConfigurationDomainSource : public CTernLocalDomainSource {
 public:
  explicit ConfigurationDomainSource(Configuration& configuration) : m_Config(configuration) {}

  uint64_t ChangeStamp() override {
    m_Config.LastLoadTime();  // looks at the files' times first
    return m_Config.Generation();
  }

  void SystemValue(const char* name, char* buffer, size_t size) override {
    if (!buffer || size == 0) return;
    buffer[0] = '\0';
    m_Config.GetValue(kTypeSystem, "", name, buffer, size);
  }

 private:
  Configuration& m_Config;
};

}  // namespace

int GetEffectiveValue(std::string_view client, std::string_view user, std::string_view attribute,
                      std::string& out) {
  out.clear();
  return ForEachValue(client, user, attribute, false, [&](const std::string& value) { out = value; });
}

int GetEffectiveValueBuffer(std::string_view client, std::string_view user,
                            std::string_view attribute, char* buffer, size_t size) {
  return ValueIntoBuffer(client, user, attribute, buffer, size, false);
}

int GetCastValue(std::string_view client, std::string_view user, std::string_view attribute,
                 char* buffer, size_t size) {
  return ValueIntoBuffer(client, user, attribute, buffer, size, true);
}

int GetEffectiveSettings(std::string_view client, std::string_view user, bool defaultOnly,
                         AttributeTable& table) {
  table.Clear();
  Configuration* config = Configuration::Process();
  if (!config) return 1;
  int result = 1;
  for (const Level& level : Levels(*config, client, user, false))
    if (config->MergeSettingsInForce(level.type, level.name, defaultOnly, table) == 0) result = 0;
  return result;
}

bool AllowSMTP(std::string_view client, std::string_view user) {
  return AllowedUnlessZero(client, user, kAttrAllowSMTP);
}

bool AllowPOP(std::string_view client, std::string_view user) {
  return AllowedUnlessZero(client, user, kAttrAllowPOP);
}

bool AllowOstrelUI(std::string_view client, std::string_view user) {
  std::string value;
  if (GetEffectiveValue(client, user, kAttrAllowOstrelUI, value) != 0) return false;
  return SettingNumber(value) > 0;
}

long SettingNumber(std::string_view value) { return CTernString(value).Number(); }

std::shared_ptr<CTernLocalDomainSource> MakeLocalDomainSource(Configuration& configuration) {
  return std::make_shared<ConfigurationDomainSource>(configuration);
}

void InstallLocalDomains(Configuration* configuration) {
  TernSetLocalDomainSource(configuration ? MakeLocalDomainSource(*configuration) : nullptr);
}
