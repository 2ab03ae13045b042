// The steps every administration handler shares, and the small pieces they are
// written with: form variables, the object the form names, activity records of
// the changes and the pages that follow them.
//
// A handler begins with AdminBegin, which answers the request itself (login page,
// error page) and returns false when the handler must stop:
//   1. the login: without a session the administration login page, after which
//      the handler's form is sent again;
//   2. the client address noted, `referer` carried as the next page's `what`,
//      `objname` and `objtype` carried as hidden variables;
//   3. the object type (the first letter of `objtype`: S, U, C, G, L or D);
//   4. the permission: the action letter with the type letter, in the user's
//      OstrelPerms; a refusal is recorded as an Access Violation;
//   5. the object names (`objname`, several separated by 0x1C), unless the
//      handler does without.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/list.h"
#include "base/string.h"
#include "web/admin.h"
#include "web/http_request.h"
#include "web/web_context.h"

class Configuration;

// One request to an administration handler.
struct AdminCall {
  WebContext& web;
  HttpRequest& request;
  const WebAdminServices& services;
  WebUser user;
  std::string client;
  char type = 0;                   // the object type letter
  std::vector<std::string> names;  // the object names of `objname`

  // A form variable; empty when absent.
  std::string Var(const std::string& name) const;
  // A form variable, or when absent its carried hidden form ("HV-" + name).
  std::string Carried(const std::string& name) const;
  bool Has(const std::string& name) const;
  // The one object the handler works on: the first name (the System object's
  // name is empty whatever the form says).
  std::string Name() const;
  // Whether the user holds the permission code.
  bool Holds(std::string_view code) const;
};

// What a handler needs before its work.
struct AdminStep {
  const char* handler;  // the handler's name, to continue after a login
  char action;          // the permission's action letter
  int attempted;        // the message of the Access Violation record
  bool needsName = true;
};

// The shared steps; false when the request has been answered.
bool AdminBegin(AdminCall& call, const AdminStep& step);

// The process's configuration; shows the error page and returns null when there
// is none.
Configuration* AdminConfig(AdminCall& call);

// Writes an Administration record: action and result (0 for none), the object
// type and name, and Info when not empty.
void AdminRecord(const AdminCall& call, long action, long result, const std::string& name,
                 const std::string& info = "");

// Shows the error page with text.
void AdminError(AdminCall& call, const std::string& text);
void AdminError(AdminCall& call, int code);
// Shows the error page with text followed by HTML the server built (a table of
// names and reasons, already escaped).
void AdminErrorHtml(AdminCall& call, const std::string& text, const std::string& html);
// Refuses with an Access Violation record and the permission error page.
void AdminRefuse(AdminCall& call, int attempted);

// Shows the next page: `what`, or page when the form names none.
void AdminNext(AdminCall& call, const char* page = kWebSuccessPage);
// Shows page with the HTML the server built in the variable `report`.
void AdminShowReport(AdminCall& call, const char* page, const std::string& html);

// Text helpers.
std::vector<std::string> AdminSplit(std::string_view text, char separator = '\x1c');
// The names fill puts into a list, sorted without regard to case.
std::vector<std::string> AdminSorted(const std::function<void(CTernList<CTernString>&)>& fill);
std::string AdminTrim(std::string_view text);
std::string AdminEscape(std::string_view text);
// The text of a message code, formatted with one argument when it has "%s".
std::string AdminText(int code, const std::string& argument = "");
// The action letters ("ADMGSR", with methods) or the type letters ("SUCGLD") of
// text, upper case, each once, in the order they come.
std::string AdminPermLetters(std::string_view text, bool methods);
// Those letters on one side of every item of a permission list ("MD:UC", or codes
// such as "MU"): what the two permission selections show of it.
std::string AdminPermsSide(std::string_view perms, bool methods);
// "owner-" + name: the list of a list's owners.
std::string AdminOwnerList(const std::string& list);

// The services every handler of the administration shares.
using AdminServicesPtr = std::shared_ptr<const WebAdminServices>;
// A web handler that runs fn with a fresh AdminCall.
WebHandler AdminHandler(const AdminServicesPtr& services, void (*fn)(AdminCall& call));

// The groups of handlers and operations, each from its own source file.
void AdminAddObjectHandlers(WebContext& web, const AdminServicesPtr& services);    // admin_objects.cpp
void AdminAddMemberHandlers(WebContext& web, const AdminServicesPtr& services);    // admin_members.cpp
void AdminAddScheduleHandlers(WebContext& web, const AdminServicesPtr& services);  // admin_schedule.cpp
void AdminAddReportHandlers(WebContext& web, const AdminServicesPtr& services);    // admin_reports.cpp
