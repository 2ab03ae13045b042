// Start-up and stop sequences of the ostrel program.
#include "service/host.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>

#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/number.h"
#include "base/registry.h"
#include "config/accounts_file.h"
#include "config/autolock.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/effective_settings.h"
#include "dns/dns_resolver.h"
#include "log/activity_log.h"
#include "log/eventlog.h"
#include "net/server_start.h"
#include "net/socket_start.h"
#include "platform/eventsink.h"
#include "platform/file.h"
#include "transport/approval.h"
#include "transport/content_filter.h"
#include "transport/delivery.h"
#include "transport/smtp_server.h"
#include "web/admin.h"
#include "web/http_server.h"
#include "web/web_operations.h"
#include "web/webmail.h"

const char kOstrelServiceName[] = "Ostrel";
// Set in the environment, the delivery threads only wait: accepted mail stays in
// the queue (for tests of the SMTP server's acceptance).
const char kOstrelHoldDeliveryEnv[] = "OSTREL_HOLD_DELIVERY";

const char kOstrelLoggingSetting[] = "OstrelLogging";
const char kOstrelHttpName[] = "OstrelHTTP";

std::string OstrelDefaultDir() { return OSTREL_DEFAULT_DIR; }

std::string OstrelDataDir() {
  std::string self;
  PlatformExecutablePath(self);
  std::string build = OSTREL_BUILD_ROOT;
  if (!build.empty() && self.compare(0, build.size() + 1, build + "/") == 0)
    return build + "/data";
  return OSTREL_INSTALLED_DATA_DIR;
}

COstrelPaths OstrelReadPaths() {
  COstrelPaths p;
  std::string def = OstrelDefaultDir();
  p.installDir = RegistryReadSetting(kOstrelServiceName, "InstallDir", OstrelDataDir());
  p.mailDir = RegistryReadSetting(kOstrelServiceName, "MailDir", def);
  p.boxDir = RegistryReadSetting(kOstrelServiceName, "BoxDir", def);
  p.localDir = RegistryReadSetting(kOstrelServiceName, "LocalDir", def);
  p.logDir = RegistryReadSetting(kOstrelServiceName, "LogDir", def);
  p.sharedConfigFile = RegistryReadSetting("", "SharedConfigFile", PathJoin(def, "shared-config"));
  p.localConfigFile = PathJoin(p.localDir, "local-config");
  p.vendorDir = PathJoin(p.installDir, "vendor");
  p.vendorConfigFile = PathJoin(p.vendorDir, "vendor-config");
  p.vendorDictionaries = PathJoin(p.vendorDir, "dictionaries");
  p.localDictionaries = PathJoin(p.localDir, "dictionaries");
  p.listsFile = PathJoin(p.localDir, "lists");
  p.templatesDir = PathJoin(p.installDir, "html");
  p.imagesDir = PathJoin(p.installDir, "images");
  p.docsDir = PathJoin(p.installDir, "docs");
  p.accountsFile = RegistryReadSetting(kOstrelServiceName, "AccountsFile",
                                       PathJoin(p.localDir, "accounts"));
  p.approvalSecretFile = PathJoin(p.localDir, kApprovalSecretFile);
  return p;
}

namespace {

// The activity log's retention: a whole number of the system object.
bool ReadSystemNumber(const std::string& name, long& value) {
  Configuration* config = Configuration::Process();
  std::string text;
  if (!config || config->GetValue(kTypeSystem, "", name, text) != 0) return false;
  // The number the value begins with after blanks, as the setting has always been
  // read.
  size_t start = text.find_first_not_of(" \t"), used = 0;
  return start != std::string::npos &&
         TernParseNumberPrefix(std::string_view(text).substr(start), value, used);
}

// A System attribute as text (the servers' thread counts).
bool ReadSystemText(const std::string& name, std::string& value) {
  Configuration* config = Configuration::Process();
  return config && config->GetValue(kTypeSystem, "", name, value) == 0;
}

// The port of remote mail exchangers: the registry value MXPort when it is a
// number from 1 to 65535, else 25.
uint16_t ReadMxPort() {
  std::string text = RegistryReadSetting(kOstrelServiceName, kRegMxPort, "");
  unsigned value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535)
    return kSmtpRemotePort;
  return static_cast<uint16_t>(value);
}

// An encrypted twin listens only where the installation has given it a port.
bool TwinPortSet(const TernServerProfile& profile) {
  return !RegistryReadSetting(kOstrelServiceName, profile.portValue, "").empty();
}

// The registry value RequireTLSForPasswords: 1 takes passwords in clear from
// loopback clients only, 2 from nobody; anything else from everyone.
CTernTcpServer::ClearPasswords ClearPasswordRule() {
  std::string text = RegistryReadSetting(kOstrelServiceName, "RequireTLSForPasswords", "0");
  if (text == "1") return CTernTcpServer::ClearPasswords::FromLoopback;
  if (text == "2") return CTernTcpServer::ClearPasswords::Never;
  return CTernTcpServer::ClearPasswords::Always;
}

// A data file whose load failed: reported when it is missing (message 3 with
// ENOENT); other failures have been reported by the loader. Returns 1.
int ReportMissing(const std::string& path) {
  if (!FileExists(path, false))
    TernReportEventF(TernEventType::Error, kMsgCouldNotOpenFile, path, ENOENT);
  return 1;
}

}  // namespace

void OstrelWriteAutoLockRecord(const std::string& user) {
  CTernActivityRecord record;
  record.Add(kActRealm, static_cast<long>(kRealmAdministration));
  record.Add(kActAction, static_cast<long>(kActionAutoLocked));
  record.Add(kActUser, user);
  CTernActivityLog::Write(record);
}

CTernDelivery::Setup COstrelHost::DeliverySetup() {
  CTernDelivery::Setup setup;
  setup.fastQueue = m_FastQueue.get();
  setup.slowQueue = m_SlowQueue.get();
  setup.directory = m_Paths.mailDir;
  setup.lists = m_Lists.get();
  setup.mailboxes = m_Mailboxes.get();
  setup.remote.heloName = m_Smtp->HostName().empty() ? "localhost" : m_Smtp->HostName();
  // A host that leads back to this server's own SMTP port is never delivered to.
  setup.remote.ownPort = TernReadServerPort(kTernSmtpProfile, kOstrelServiceName);
  setup.remote.mxPort = ReadMxPort();
  SMTP* smtp = m_Smtp.get();
  setup.wake = [smtp] { smtp->Wake(); };
  return setup;
}

COstrelHost& COstrelHost::Instance() {
  static COstrelHost* host = new COstrelHost;
  return *host;
}

int COstrelHost::StartUp() {
  // A stop that comes while the start-up runs (Ctrl+C in the foreground) waits for
  // it, so that it never deletes an object that is being built.
  CTernLockGuard running(m_StartLock);
  m_StopLock.Lock();
  bool stopping = m_Stopping;
  m_StopLock.Unlock();
  if (stopping) return 1;
  // 1. Events go out under the service's name.
  TernEventSetSource(kOstrelServiceName);
  // 2. Sockets, once per process (a failure is reported; the start-up goes on).
  TernStartSockets();
  //    The DNS resolver, through which every later step resolves names; it reads
  //    its name servers and starts its threads with the first look-up.
  CTernDnsResolver::SetProcess(std::make_shared<CTernDnsResolver>());
  // 3. The installation's directories, and the accounts file of the password test.
  m_Paths = OstrelReadPaths();
  CTernAccountsFile::SetProcessPath(m_Paths.accountsFile);
  // 4. Logging: the activity log's directory and retention setting; the event-log
  //    file goes beside it.
  PlatformSetEventFile(PathJoin(m_Paths.logDir, "events.log"));
  CTernActivityLog::Configure(m_Paths.logDir, kOstrelLoggingSetting);
  CTernActivityLog::Reopen();
  // 5. The configuration paths are derived with the directories above.
  // 6. The automatic-lock tracker; each lock it puts in place is recorded in the
  //    activity log.
  AutoLockTracker::SetProcess(new AutoLockTracker(OstrelWriteAutoLockRecord));
  // 7. The configuration from its three files; the activity log reads its
  //    retention there. A failed load has reported what failed and ends the
  //    start-up; the process stays up until it is stopped.
  m_Configuration = new Configuration(m_Paths.sharedConfigFile, m_Paths.localConfigFile,
                                      m_Paths.vendorConfigFile);
  Configuration::SetProcess(m_Configuration);
  InstallLocalDomains(m_Configuration);
  CTernActivityLog::SetSettingReader(ReadSystemNumber);
  if (m_Configuration->Load(true) != 0) return 1;
  //    Approval requests are signed with the installation's secret.
  TernLoadApprovalSecret(m_Paths.approvalSecretFile);
  // 8. The mailbox managers get BoxDir; the mailboxes hide the messages whose
  //    senders their owners may not receive from now (the content filter's check),
  //    and the cache cleaner starts (when it cannot, the mailboxes work without it).
  m_Mailboxes = std::make_unique<CTernMailboxTable>(m_Paths.boxDir, CheckReceiveWith);
  CTernMailboxTable::SetProcess(m_Mailboxes.get());
  m_Mailboxes->StartCleaner();
  // 9. The dictionaries from the vendor and the local dictionary file; 10. the
  //    lists from the lists file (plain text). A failed load ends the start-up. The
  //    stores say nothing of a missing file, so that is reported here: otherwise
  //    the start-up would end without a trace.
  m_Dictionaries = std::make_unique<DictionaryStore>(m_Paths.vendorDictionaries,
                                                     m_Paths.localDictionaries);
  if (m_Dictionaries->Load(1) != 0) return ReportMissing(m_Paths.vendorDictionaries);
  m_Lists = std::make_unique<ListStore>(m_Paths.listsFile, false);
  if (m_Lists->Load(1) != 0) return ReportMissing(m_Paths.listsFile);
  // 11. The fast and slow queues in MailDir (their files are read on first use).
  m_FastQueue = std::make_unique<CTernQueue>("fastq", m_Paths.mailDir);
  m_SlowQueue = std::make_unique<CTernQueue>("slowq", m_Paths.mailDir);
  // 12. The SMTP and POP3 server objects, and the
  //     delivery engine its delivery threads run; the engine first queues again
  //     the messages a crash left out of the queues.
  m_Smtp = std::make_unique<SMTP>(m_Lists.get(), m_FastQueue.get(), m_SlowQueue.get(),
                                  m_Paths.mailDir);
  m_Pop = std::make_unique<POP3>(m_Mailboxes.get());
  //     Tests of acceptance alone hold delivery, so that accepted mail stays queued.
  m_Delivery = std::make_unique<CTernDelivery>(DeliverySetup());
  if (!std::getenv(kOstrelHoldDeliveryEnv)) m_Smtp->SetDelivery(m_Delivery.get());
  m_Delivery->Recover();
  //     With a usable certificate, SMTP and POP3 offer encryption on their plain
  //     ports, and each protocol whose port value is set (SMTPSPort, POPSPort,
  //     HTTPSPort) has an encrypted twin there; without one (reported once) only
  //     the plain servers run.
  m_Tls = TernLoadTlsContext(kOstrelServiceName);
  if (m_Tls) {
    m_Smtp->SetTls(m_Tls, false);
    m_Pop->SetTls(m_Tls, false);
  }
  if (m_Tls && TwinPortSet(kTernSmtpsProfile)) {
    m_Smtps = std::make_unique<SMTP>(m_Lists.get(), m_FastQueue.get(), m_SlowQueue.get(),
                                     m_Paths.mailDir);
    m_Smtps->SetTls(m_Tls, true);
    m_Smtps->SetDeliverer(m_Smtp.get());
  }
  if (m_Tls && TwinPortSet(kTernPopsProfile)) {
    m_Pops = std::make_unique<POP3>(m_Mailboxes.get());
    m_Pops->SetTls(m_Tls, true);
  }
  //     RequireTLSForPasswords: 1 refuses passwords in clear except from
  //     loopback, 2 from everyone; plain HTTP then leads to HTTPS.
  for (CTernTcpServer* server : std::initializer_list<CTernTcpServer*>{m_Pop.get(), m_Pops.get()})
    if (server) server->SetClearPasswords(ClearPasswordRule());
  // 13. The content filter checks against these lists and dictionaries.
  SetFilterObjects(m_Lists.get(), m_Dictionaries.get());
  // 14. The HTTP server: request bodies are spooled in MailDir; the installation's
  //     images and documents are served under /images and /docs.
  //     The web interface: its pages from the templates of InstallDir's "html",
  //     every path of it routed to the handlers, the administration's among them.
  m_Web = std::make_unique<WebContext>(m_Paths.templatesDir, m_Paths.localDir);
  WebAddFrameOperations(*m_Web);
  WebAdminServices admin;
  admin.lists = m_Lists.get();
  admin.dictionaries = m_Dictionaries.get();
  admin.mailboxes = m_Mailboxes.get();
  admin.product = kOstrelServiceName;
  admin.installDir = m_Paths.installDir;
  admin.mailDir = m_Paths.mailDir;
  admin.boxDir = m_Paths.boxDir;
  admin.localDir = m_Paths.localDir;
  admin.logDir = m_Paths.logDir;
  admin.sharedConfigFile = m_Paths.sharedConfigFile;
  admin.reconfigureServers = [this] { ReconfigureServers(); };
  admin.moveHttpServer = [this] { return MoveHttpServer(); };
  WebAddAdministration(*m_Web, admin);
  //     The web mail client queues what users send like accepted SMTP mail.
  SMTP* smtp = m_Smtp.get();
  WebAddMail(*m_Web, {smtp->QueueDirectory(), m_FastQueue.get(), smtp->HostName(),
                      [smtp] { smtp->DeliveryEvent().Set(); }});
  m_Http = MakeHttpServer();
  if (m_Tls && TwinPortSet(kTernHttpsProfile)) {
    m_Https = MakeHttpServer();
    m_Https->SetTls(m_Tls, true);
  }
  // 15. The HTTP server starts on HTTPPort (or 8003); its failure ends the
  //     start-up. POP3 starts after it.
  if (!m_Http->Start(kOstrelServiceName, ReadSystemText)) return 1;
  //     The encrypted twins start after their plain servers; a port they cannot
  //     have has been reported and leaves the rest running.
  if (m_Https && m_Https->Start(kOstrelServiceName, ReadSystemText)) LeadToHttps(*m_Http);
  // 16. POP3 starts on POPPort with POPIncoming workers; its result is not looked
  //     at (a taken port has been reported).
  m_Pop->Start(kOstrelServiceName, ReadSystemText);
  if (m_Pops) m_Pops->Start(kOstrelServiceName, ReadSystemText);
  // 17. SMTP starts on SMTPPort with its workers and delivery threads; its result
  //     is not looked at.
  m_Smtp->Start(kOstrelServiceName, ReadSystemText);
  if (m_Smtps) m_Smtps->Start(kOstrelServiceName, ReadSystemText);
  return 0;
}

std::unique_ptr<HttpServer> COstrelHost::MakeHttpServer() {
  auto server = std::make_unique<HttpServer>(kOstrelHttpName, m_Paths.mailDir);
  server->AddDirectoryRoute("/images", m_Paths.imagesDir);
  server->AddDirectoryRoute("/docs", m_Paths.docsDir);
  m_Web->RegisterRoutes(*server);
  server->SetClearPasswords(ClearPasswordRule());
  return server;
}

void COstrelHost::LeadToHttps(HttpServer& plain) {
  if (m_Https && m_Https->Port() != 0 && ClearPasswordRule() != CTernTcpServer::ClearPasswords::Always)
    plain.SetSecureRedirect(m_Https->Port());
}

bool COstrelHost::MoveHttpServer() {
  // Held while the new server starts: the stop sequence waits for the swap, and
  // nothing here waits for the stop sequence.
  CTernLockGuard guard(m_StopLock);
  if (m_Stopping || !m_Http || !m_Web) return false;
  std::unique_ptr<HttpServer> server = MakeHttpServer();
  LeadToHttps(*server);
  if (!server->StartBeside(kOstrelServiceName, ReadSystemText)) return false;
  HttpServer* old = m_Http.get();
  m_RetiredHttp.push_back(std::move(m_Http));
  m_Http = std::move(server);
  // The request that asked for the move is answered by a worker of the old
  // server: it stops once that answer has had time to go out.
  m_Retirers.emplace_back([old] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    old->Stop();
  });
  return true;
}

void COstrelHost::ReconfigureServers() {
  CTernLockGuard guard(m_StopLock);
  if (m_Stopping) return;
  if (m_Smtp) m_Smtp->Reconfigure(ReadSystemText);
  if (m_Pop) m_Pop->Reconfigure(ReadSystemText);
  if (m_Http) m_Http->Reconfigure(ReadSystemText);
  if (m_Smtps) m_Smtps->Reconfigure(ReadSystemText);
  if (m_Https) m_Https->Reconfigure(ReadSystemText);
}

void COstrelHost::Stop() {
  m_StopLock.Lock();
  bool already = m_Stopping;
  m_Stopping = true;
  m_StopLock.Unlock();
  if (already) return;
  CTernLockGuard running(m_StartLock);
  // The servers stop (SMTP first, then POP3 and HTTP), the mailboxes are written
  // back, and the objects are deleted in the fixed order: SMTP, POP3 and HTTP
  // servers, fast queue, slow queue, DNS resolver, lists, dictionaries,
  // configuration, automatic-lock tracker.
  // The SMTP server's stop ends the delivery threads, the first users of the
  // queues and mailboxes to go; then the engine goes.
  if (m_Smtps) m_Smtps->Stop();
  if (m_Smtp) m_Smtp->Stop();
  if (m_Pops) m_Pops->Stop();
  if (m_Pop) m_Pop->Stop();
  if (m_Https) m_Https->Stop();
  if (m_Http) m_Http->Stop();
  // HTTP servers replaced by a port change have stopped, or stop now.
  std::vector<std::thread> retirers;
  {
    CTernLockGuard guard(m_StopLock);
    retirers.swap(m_Retirers);
  }
  for (std::thread& retirer : retirers) retirer.join();
  m_RetiredHttp.clear();
  if (m_Smtp) m_Smtp->SetDelivery(nullptr);
  m_Delivery.reset();
  TernSetApprovalSecret("");
  // Every mailbox has been released with its server; the managers go, and with
  // them the cache cleaner.
  if (m_Mailboxes) {
    CTernMailboxTable::SetProcess(nullptr);
    m_Mailboxes->DropAll();
    m_Mailboxes.reset();
  }
  m_Smtps.reset();
  m_Smtp.reset();
  m_Pops.reset();
  m_Pop.reset();
  m_Https.reset();
  m_Http.reset();
  m_Tls.reset();
  m_Web.reset();
  m_FastQueue.reset();
  m_SlowQueue.reset();
  // The DNS resolver goes once no server runs; a look-up still in progress ends
  // with a temporary failure.
  if (std::shared_ptr<CTernDnsResolver> resolver = CTernDnsResolver::Process()) {
    CTernDnsResolver::SetProcess(nullptr);
    resolver->Shutdown();
  }
  SetFilterObjects(nullptr, nullptr);
  m_Lists.reset();
  m_Dictionaries.reset();
  if (m_Configuration) {
    CTernActivityLog::SetSettingReader(nullptr);
    InstallLocalDomains(nullptr);
    Configuration::SetProcess(nullptr);
    delete m_Configuration;
    m_Configuration = nullptr;
  }
  if (AutoLockTracker* tracker = AutoLockTracker::Process()) {
    AutoLockTracker::SetProcess(nullptr);
    delete tracker;
  }
  m_StopEvent.Set();
  CTernActivityLog::Close();
  m_StopDone.Set();
}

void COstrelHost::WaitForStop() {
  m_StopEvent.Wait();
  m_StopDone.Wait();
}
