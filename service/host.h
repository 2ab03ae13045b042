// The process-wide objects of the ostrel program and the sequences that build them
// at start-up and take them down at stop, in a fixed order. Each subsystem adds its
// object in its place in both sequences.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/lock.h"
#include "config/dictionaries.h"
#include "config/lists.h"
#include "message/queue.h"
#include "store/mailbox_table.h"
#include "pop3/pop3_server.h"
#include "transport/delivery.h"
#include "transport/smtp_server.h"
#include "web/http_server.h"
#include "web/web_context.h"

class Configuration;

// The service's name, and the registry keys read at start.
extern const char kOstrelServiceName[];        // "Ostrel"
extern const char kOstrelLoggingSetting[];     // "OstrelLogging"
extern const char kOstrelHttpName[];           // "OstrelHTTP", the HTTP server's name

// The installation's directories and the paths derived from them.
struct COstrelPaths {
  std::string installDir, mailDir, boxDir, localDir, logDir, sharedConfigFile;
  std::string localConfigFile, vendorDir, vendorConfigFile, vendorDictionaries,
      localDictionaries, listsFile, templatesDir, imagesDir, docsDir;
  // The accounts file of the password test (registry value AccountsFile).
  std::string accountsFile;
  // The secret that signs approval requests (LocalDir + "/approval-secret").
  std::string approvalSecretFile;
};

// Reads the directories from the registry (each missing value takes its default)
// and derives the paths.
COstrelPaths OstrelReadPaths();

// The directory that stands in for the default of every installation directory.
std::string OstrelDefaultDir();
// The program's own data directory: the build tree's staged data when the program
// runs from the build tree, else the installed data directory.
std::string OstrelDataDir();

// Records in the activity log that the automatic lock shut a user out (realm
// administration, action AutoLocked, the user's name).
void OstrelWriteAutoLockRecord(const std::string& user);

class COstrelHost {
 public:
  static COstrelHost& Instance();

  // Builds the process-wide objects; 0 on success, 1 when a step failed (what was
  // built stays until Stop()).
  int StartUp();
  // Stops the servers and deletes the objects in the fixed order, then signals the
  // stop event and shuts logging down. Runs once; later calls do nothing.
  void Stop();
  // Waits on the stop event, then for the stop sequence to finish, so that the
  // process never ends while logging is still being shut down.
  void WaitForStop();

  bool ConsoleMode() const { return m_ConsoleMode; }
  void SetConsoleMode(bool on) { m_ConsoleMode = on; }
  const COstrelPaths& Paths() const { return m_Paths; }
  // The mailbox managers under BoxDir (also CTernMailboxTable::Process()); null
  // before the start-up builds them and after the stop sequence drops them.
  CTernMailboxTable* Mailboxes() const { return m_Mailboxes.get(); }
  // The dictionaries and the lists built by the start-up (null before and after).
  DictionaryStore* Dictionaries() const { return m_Dictionaries.get(); }
  ListStore* Lists() const { return m_Lists.get(); }
  // The fast queue ("fastq") and the slow queue ("slowq") in MailDir; null before
  // start-up builds them and after the stop sequence deletes them.
  CTernQueue* FastQueue() const { return m_FastQueue.get(); }
  CTernQueue* SlowQueue() const { return m_SlowQueue.get(); }
  // The SMTP server built by the start-up; null before and after.
  SMTP* Smtp() const { return m_Smtp.get(); }
  // The POP3 server built by the start-up; null before and after.
  POP3* Pop() const { return m_Pop.get(); }
  // The HTTP server built by the start-up; null before and after.
  HttpServer* Http() const { return m_Http.get(); }
  // The web interface (sessions, page handlers) the HTTP server serves; null
  // before and after.
  WebContext* Web() const { return m_Web.get(); }
  // The delivery engine the SMTP server's delivery threads run; null before and
  // after.
  CTernDelivery* Delivery() const { return m_Delivery.get(); }
  // The configuration built by the start-up (also Configuration::Process()).
  Configuration* Config() const { return m_Configuration; }

 private:
  COstrelHost() = default;
  // The delivery engine's setup from the objects built so far.
  CTernDelivery::Setup DeliverySetup();

  // An HTTP server with the installation's images, documents and the web
  // interface's routes (not started).
  std::unique_ptr<HttpServer> MakeHttpServer();
  // When passwords may not cross plain HTTP, plain sends its requests to the
  // running HTTPS server.
  void LeadToHttps(HttpServer& plain);
  // The administration's HTTPPort change: starts a server on the port the
  // registry now holds and, once the request that asked for it has been answered,
  // stops the old one. False (the old one keeps serving) when the new port cannot
  // be listened on or the program is stopping.
  bool MoveHttpServer();
  // After a change of the System object: the running servers read their worker
  // counts and load limits again.
  void ReconfigureServers();

  bool m_ConsoleMode = false;
  bool m_Stopping = false;
  CTernLock m_StopLock;
  CTernLock m_StartLock;  // held while the start-up runs
  CTernEvent m_StopEvent;
  CTernEvent m_StopDone;
  COstrelPaths m_Paths;
  Configuration* m_Configuration = nullptr;
  std::unique_ptr<CTernMailboxTable> m_Mailboxes;
  std::unique_ptr<DictionaryStore> m_Dictionaries;
  std::unique_ptr<ListStore> m_Lists;
  std::unique_ptr<CTernQueue> m_FastQueue;
  std::unique_ptr<CTernQueue> m_SlowQueue;
  std::unique_ptr<SMTP> m_Smtp;
  std::unique_ptr<POP3> m_Pop;
  std::unique_ptr<HttpServer> m_Http;
  // The encrypted twins, made when the certificate can be used.
  std::shared_ptr<CTernTlsContext> m_Tls;
  std::unique_ptr<SMTP> m_Smtps;
  std::unique_ptr<POP3> m_Pops;
  std::unique_ptr<HttpServer> m_Https;
  std::unique_ptr<WebContext> m_Web;  // outlives m_Http, whose routes use it
  // HTTP servers replaced by a port change, each stopped by its retirer thread;
  // guarded by m_StopLock, joined and deleted by the stop sequence.
  std::vector<std::unique_ptr<HttpServer>> m_RetiredHttp;
  std::vector<std::thread> m_Retirers;
  std::unique_ptr<CTernDelivery> m_Delivery;
};
