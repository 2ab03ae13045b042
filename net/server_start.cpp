// Start-up and reconfiguration of the protocol servers from their settings.
#include "net/server_start.h"

#include <algorithm>
#include <limits>

#include "base/number.h"
#include "base/registry.h"
#include "platform/registry_file.h"
#include "platform/registry_file_tcpip.h"
#include "platform/socket.h"

const TernServerProfile kTernSmtpProfile{"SMTPIncoming", "SMTPOutgoing", "SMTPPort", 25, false,
                                         "SMTPMaxIncoming"};
const TernServerProfile kTernPopProfile{"POPIncoming", nullptr, "POPPort", 110, false,
                                        "POPMaxIncoming"};
const TernServerProfile kTernHttpProfile{"HTTPIncoming", nullptr, "HTTPPort", 8003, true,
                                         "HTTPMaxIncoming"};
const TernServerProfile kTernSmtpsProfile{"SMTPIncoming", nullptr, "SMTPSPort", 465, false,
                                          "SMTPMaxIncoming"};
const TernServerProfile kTernPopsProfile{"POPIncoming", nullptr, "POPSPort", 995, false,
                                         "POPMaxIncoming"};
const TernServerProfile kTernHttpsProfile{"HTTPIncoming", nullptr, "HTTPSPort", 8443, false,
                                          "HTTPMaxIncoming"};

namespace {

// The decimal number at the start of text after blanks; false when there is none
// or it does not fit.
bool LeadingNumber(const std::string& text, long& value) {
  size_t at = 0, used = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  return TernParseNumberPrefix(std::string_view(text).substr(at), value, used);
}

}  // namespace

int TernReadServerSetting(const TernSettingReader& reader, const char* name, int fallback,
                          int minimum) {
  std::string text;
  long value = 0;
  if (!reader || !name || !reader(name, text) || !LeadingNumber(text, value) || value < minimum ||
      value > std::numeric_limits<int>::max())
    return fallback;
  return static_cast<int>(value);
}

int TernReadServerCount(const TernSettingReader& reader, const char* name) {
  return TernReadServerSetting(reader, name, kTernDefaultServerCount, 1);
}

TernLoadLimits TernReadLoadLimits(const TernServerProfile& profile, const TernSettingReader& reader,
                                  int workers) {
  const TernLoadLimits defaults;
  TernLoadLimits limits;
  limits.ceiling = std::max(
      workers, TernReadServerSetting(reader, profile.ceilingSetting, defaults.ceiling, 1));
  limits.perClient = TernReadServerSetting(reader, kTernClientLimitSetting, defaults.perClient, 0);
  limits.stressedWait =
      TernReadServerSetting(reader, kTernStressTimeoutSetting, defaults.stressedWait, 1);
  limits.surplusIdle =
      TernReadServerSetting(reader, kTernSurplusIdleSetting, defaults.surplusIdle, 0);
  return limits;
}

TernServerCounts TernReadServerCounts(const TernServerProfile& profile,
                                      const TernSettingReader& reader) {
  TernServerCounts counts;
  counts.workers = TernReadServerCount(reader, profile.workerSetting);
  if (profile.backgroundSetting)
    counts.background = TernReadServerCount(reader, profile.backgroundSetting);
  return counts;
}

uint16_t TernReadServerPort(const TernServerProfile& profile, const std::string& product) {
  std::string text = RegistryReadSetting(product, profile.portValue, "");
  long value = 0;
  if (!LeadingNumber(text, value) || value < 1 || value > 65535) return profile.defaultPort;
  return static_cast<uint16_t>(value);
}

bool TernStartProtocolServer(CTernTcpServer& server, const TernServerProfile& profile,
                             const std::string& product, const TernSettingReader& reader,
                             TernServerCounts* applied, const std::string& host) {
  TernServerCounts counts = TernReadServerCounts(profile, reader);
  if (applied) *applied = counts;
  server.SetLoadLimits(TernReadLoadLimits(profile, reader, counts.workers));
  // Hundreds of connections, held and waiting, need more descriptors than a
  // process is often given by default.
  PlatformRaiseDescriptorLimit();
  uint16_t port = TernReadServerPort(profile, product);
  if (server.Start(counts.workers, counts.background, CTernNetAddress(host, port))) return true;
  // Retry only when listening failed: then no thread of the first try runs.
  return profile.retryOnDefaultPort && port != profile.defaultPort &&
         server.RunningCount(kTernReceiverThread) == 0 &&
         server.Start(counts.workers, counts.background, CTernNetAddress(host, profile.defaultPort));
}

bool TernReconfigureProtocolServer(CTernTcpServer& server, const TernServerProfile& profile,
                                   const TernSettingReader& reader, TernServerCounts* applied) {
  TernServerCounts counts = TernReadServerCounts(profile, reader);
  if (applied) *applied = counts;
  server.SetLoadLimits(TernReadLoadLimits(profile, reader, counts.workers));
  bool ok = server.SetWorkerCount(counts.workers);
  if (profile.backgroundSetting) ok = server.SetBackgroundCount(counts.background) && ok;
  return ok;
}

std::string TernServerHostName() {
  std::string host, domain;
  if (!PlatformRegistryGetValue(kPlatformTcpipKey, "Hostname", host).Ok()) host.clear();
  if (!PlatformRegistryGetValue(kPlatformTcpipKey, "Domain", domain).Ok()) domain.clear();
  return !host.empty() && !domain.empty() ? host + "." + domain : host;
}
