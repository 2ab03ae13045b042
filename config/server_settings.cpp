// System attributes for the servers' counts.
#include "config/server_settings.h"

#include "config/config_object.h"
#include "config/configuration.h"

namespace {

bool ReadSystem(Configuration* configuration, const std::string& name, std::string& value) {
  return configuration && configuration->GetValue(kTypeSystem, "", name, value) == 0;
}

}  // namespace

TernSettingReader SystemSettingReader() {
  return [](const std::string& name, std::string& value) {
    return ReadSystem(Configuration::Process(), name, value);
  };
}

TernSettingReader SystemSettingReader(Configuration& configuration) {
  return [&configuration](const std::string& name, std::string& value) {
    return ReadSystem(&configuration, name, value);
  };
}
