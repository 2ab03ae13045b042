// The administration through the web: the handlers that add, delete and modify
// configuration objects, edit list members, dictionary words and schedule events,
// and produce the reports; and the template operations their pages use.
//
// Every handler takes the steps all of them share (web/admin_common.h): a login,
// the object type, the administrator's permission for the change (an action letter
// and the type letter), then the work, an activity record of it and the next page.
// Changes go to the configuration, lists and dictionary files the server reads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class CTernMailboxTable;
class DictionaryStore;
class ListStore;
class WebContext;

// What the administration pages reach beyond the configuration; the program fills
// it in. Every pointer must outlive the web interface's use of it.
struct WebAdminServices {
  ListStore* lists = nullptr;
  DictionaryStore* dictionaries = nullptr;
  CTernMailboxTable* mailboxes = nullptr;
  // The product whose registry key holds HTTPPort ("Ostrel").
  std::string product;
  // The installation's directories and files the diagnostics page shows.
  std::string installDir, mailDir, boxDir, localDir, logDir, sharedConfigFile;
  // After a change of the System object: the servers read their worker counts and
  // load limits again.
  std::function<void()> reconfigureServers;
  // After HTTPPort changed in the registry: the HTTP server moves to the new port.
  // False when it cannot listen there (it then keeps serving on the old one).
  std::function<bool()> moveHttpServer;
};

// Sets the administration handlers and adds their template operations (ListBox,
// WordBox, EventTable, OtherMIME, ObjBar, ...) and the administration navigation
// links. services is copied.
void WebAddAdministration(WebContext& web, const WebAdminServices& services);
