// How the SMTP, POP3 and HTTP servers start and are reconfigured: the worker and
// background counts and the load limits come from attributes of the System object,
// the port from a value of the product's registry key, and the server listens on
// all interfaces.
//
// The counts are read through a setting reader so that this layer does not depend
// on the configuration; the configuration supplies the reader.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/tcp_server.h"

// Reads one attribute of the System object as text; false when it is missing or
// cannot be read.
using TernSettingReader = std::function<bool(const std::string& name, std::string& value)>;

// One protocol's start-up settings.
struct TernServerProfile {
  const char* workerSetting;      // System attribute with the worker count
  const char* backgroundSetting;  // System attribute with the background count, or null
  const char* portValue;          // value of the product key with the port
  uint16_t defaultPort;
  bool retryOnDefaultPort;        // listen on the default port when the set one fails
  const char* ceilingSetting;     // System attribute with the most workers
};

// The count used when an attribute is missing, unreadable or below 1.
constexpr int kTernDefaultServerCount = 5;

// System attributes of the load limits shared by every protocol server (the
// ceiling is the profile's own); the defaults are TernLoadLimits'.
inline constexpr char kTernClientLimitSetting[] = "MaxClientConnections";
inline constexpr char kTernStressTimeoutSetting[] = "StressTimeout";
inline constexpr char kTernSurplusIdleSetting[] = "SurplusWorkerIdle";

extern const TernServerProfile kTernSmtpProfile;  // SMTPIncoming, SMTPOutgoing, SMTPPort 25, SMTPMaxIncoming
extern const TernServerProfile kTernPopProfile;   // POPIncoming, POPPort 110, POPMaxIncoming
extern const TernServerProfile kTernHttpProfile;  // HTTPIncoming, HTTPPort 8003 (retried on 8003), HTTPMaxIncoming
// The encrypted twins (TLS from the first byte): the same worker counts and
// ceilings, their own ports, no delivery threads of their own.
extern const TernServerProfile kTernSmtpsProfile;   // SMTPIncoming, SMTPSPort 465, SMTPMaxIncoming
extern const TernServerProfile kTernPopsProfile;    // POPIncoming, POPSPort 995, POPMaxIncoming
extern const TernServerProfile kTernHttpsProfile;   // HTTPIncoming, HTTPSPort 8443, HTTPMaxIncoming

struct TernServerCounts {
  int workers = 0;
  int background = 0;
};

// A number attribute: its decimal value (after leading blanks), or fallback when
// it is missing, unreadable, not a number or below minimum.
int TernReadServerSetting(const TernSettingReader& reader, const char* name, int fallback,
                          int minimum);
// A count attribute: TernReadServerSetting with kTernDefaultServerCount and 1.
int TernReadServerCount(const TernSettingReader& reader, const char* name);
// The profile's counts (background 0 when the profile has none).
TernServerCounts TernReadServerCounts(const TernServerProfile& profile,
                                      const TernSettingReader& reader);
// The profile's load limits: the ceiling (at least 1) and the stressed wait (at
// least 1 second), the client limit and the surplus idle time (0 or more; a client
// limit of 0 is none), each its default when missing or out of range. A ceiling
// below `workers` is raised to it.
TernLoadLimits TernReadLoadLimits(const TernServerProfile& profile, const TernSettingReader& reader,
                                  int workers);
// The profile's port from the product key: the default when the value is missing,
// not a number, 0 or outside 1..65535.
uint16_t TernReadServerPort(const TernServerProfile& profile, const std::string& product);

// Reads the counts, the load limits and the port, raises the process's descriptor
// limit, and starts the server on host (empty: all interfaces). With retryOnDefaultPort, a failure on another port is followed by
// one more try on the default port. applied, when given, receives the counts.
bool TernStartProtocolServer(CTernTcpServer& server, const TernServerProfile& profile,
                             const std::string& product, const TernSettingReader& reader,
                             TernServerCounts* applied = nullptr, const std::string& host = "");
// Re-reads the counts and the load limits after the System object changed and
// applies them to the running server (the background count only when the profile
// has one).
bool TernReconfigureProtocolServer(CTernTcpServer& server, const TernServerProfile& profile,
                                   const TernSettingReader& reader,
                                   TernServerCounts* applied = nullptr);

// The name a server gives itself in greetings and sign-offs: the TCP/IP parameters'
// Hostname, followed by "." and Domain when both are set.
std::string TernServerHostName();
