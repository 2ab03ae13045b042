// The handlers that add, delete and modify configuration objects, and cast
// membership.
#include <algorithm>
#include <optional>
#include <utility>

#include "base/ascii.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/number.h"
#include "base/registry.h"
#include "config/attribute_list.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/dictionaries.h"
#include "config/effective_settings.h"
#include "config/lists.h"
#include "log/activity_log.h"
#include "store/mailbox_table.h"
#include "web/admin_common.h"
#include "web/template_tag.h"

namespace {

constexpr char kAdministrator[] = "Administrator";
constexpr char kAttrRealAcct[] = "RealAcct";
constexpr char kAttrMailQuota[] = "MailQuota";
constexpr char kAttrHttpPort[] = "HTTPPort";
constexpr char kDefaultHttpPort[] = "8003";
constexpr char kDeleteValue[] = "--delete--";
constexpr char kPortChangePage[] = "portchange_success.mhtml";
constexpr char kListEditPage[] = "list_mod2_a.mhtml";

// One outcome of a name in a request about several.
struct Failure {
  std::string name, reason;
};

// The table of names that failed and why, escaped.
std::string FailureTable(const std::vector<Failure>& failures) {
  std::string html = "<table border=0>\r\n";
  for (const Failure& f : failures)
    html += "<tr><td>" + AdminEscape(f.name) + "</td><td>" + AdminEscape(f.reason) + "</td></tr>\r\n";
  return html + "</table>\r\n";
}

// Whether the object is the user's own or the Administrator (whose rights nobody
// may take over or take away through the pages).
bool Untouchable(const AdminCall& call, const std::string& name) {
  return call.type == kTypeUser &&
         (TernEqualsNoCase(name, call.user.name) || TernEqualsNoCase(name, kAdministrator));
}

// ---- AddObj ----

// The reason a user cannot be added for the account, or empty when it was added.
std::string AddUser(AdminCall& call, Configuration& config, const std::string& account,
                    const std::string& name) {
  CTernMessages texts;
  if (!Configuration::ValidName(name)) return texts.Text(kMsgObjectNameInvalid);
  std::string value;
  if (config.GetBaseAttribute(kTypeUser, name, kAttrOstrelUser, value) == 0 && SettingNumber(value) != 0)
    return texts.Text(kMsgNameReserved);
  bool exists = config.ObjectExists(kTypeUser, name) == 1;
  if (exists) {
    // The same account again turns the user's mail service back on.
    if (config.GetBaseAttribute(kTypeUser, name, kAttrRealAcct, value) != 0 ||
        !TernEqualsNoCase(value, account))
      return texts.Text(kMsgObjectExists);
  } else if (config.CreateObject(kTypeUser, name) != 0) {
    return texts.Text(kMsgAddObjectInternalError);
  }
  if (config.SetAttribute(kTypeUser, name, kAttrRealAcct, account, false) != 0 ||
      config.SetAttribute(kTypeUser, name, kAttrOstrelUser, "1", false) != 0 || config.Save() != 0) {
    if (!exists) config.DeleteObject(kTypeUser, name);
    return texts.Text(kMsgAddObjectInternalError);
  }
  // The user's mail directory with its list of mailboxes and the Inbox.
  if (CTernMailboxTable* boxes = call.services.mailboxes) {
    CTernOpenMailbox inbox = boxes->OpenMailbox(name, CTernMailboxTable::DefaultMailbox(), 5);
    inbox.Close();
  }
  AdminRecord(call, kActionObjectAdded, kResultSucceeded, name,
              std::string(texts.Text(kMsgSystemAccount)) + " " + account);
  return "";
}

void AddUsers(AdminCall& call, Configuration& config) {
  std::vector<std::string> accounts;
  for (const char* field : {"realuser", "realusert"})
    for (const std::string& entry : AdminSplit(call.Var(field))) {
      std::string account = AdminTrim(entry);
      if (!account.empty()) accounts.push_back(account);
    }
  if (accounts.empty()) return AdminError(call, kMsgNoObjectSelected);
  std::vector<Failure> failures;
  for (const std::string& account : accounts) {
    size_t slash = account.rfind('\\');
    std::string name = slash == std::string::npos ? account : account.substr(slash + 1);
    std::string reason = AddUser(call, config, account, name);
    if (reason.empty()) continue;
    failures.push_back({name, reason});
    AdminRecord(call, kActionObjectAdded, kResultFailed, name, reason);
  }
  if (!failures.empty()) return AdminErrorHtml(call, AdminText(kMsgAdditionsFailed), FailureTable(failures));
  AdminNext(call);
}

void AddOther(AdminCall& call, Configuration& config) {
  std::string name = call.Name();
  CTernMessages texts;
  std::string reason;
  bool list = call.type == kTypeList;
  std::string owners = AdminOwnerList(name);
  if (!Configuration::ValidName(name) || (list && !Configuration::ValidName(owners)))
    reason = texts.Text(kMsgObjectNameInvalid);
  else if (config.ObjectExists(call.type, name) || (list && config.ObjectExists(kTypeList, owners)))
    reason = texts.Text(kMsgObjectExists);
  else if (config.CreateObject(call.type, name) != 0)
    reason = texts.Text(kMsgAddObjectInternalError);
  else if (list && config.CreateObject(kTypeList, owners) != 0) {
    config.DeleteObject(kTypeList, name);
    reason = texts.Text(kMsgAddObjectInternalError);
  }
  if (!reason.empty()) {
    AdminRecord(call, kActionObjectAdded, kResultFailed, name, reason);
    return AdminErrorHtml(call, AdminText(kMsgAdditionsFailed), FailureTable({{name, reason}}));
  }
  AdminRecord(call, kActionObjectAdded, kResultSucceeded, name);
  if (!list) return AdminNext(call);
  // The new list is edited next.
  call.request.ReplaceVariable("objname", name);
  call.request.ReplaceVariable("what", kListEditPage);
  call.web.DisplayPage(call.request);
}

void AddObj(AdminCall& call) {
  AdminStep step{"AddObj", 'A', kMsgAttemptedAdd, false};
  if (!AdminBegin(call, step)) return;
  if (call.type == kTypeSystem) return AdminError(call, kMsgObjectTypeInvalid);
  Configuration* config = AdminConfig(call);
  if (!config) return;
  if (call.type == kTypeUser) return AddUsers(call, *config);
  if (call.names.empty()) return AdminError(call, kMsgNoObjectSelected);
  AddOther(call, *config);
}

// ---- DeleteObj ----

// Deletes one object; the reason when it cannot be, else empty. note receives
// where a user's mail went.
std::string DeleteOne(AdminCall& call, Configuration& config, const std::string& name, std::string& note) {
  CTernMessages texts;
  if (Untouchable(call, name)) return texts.Text(kMsgNoPermission);
  if (config.ObjectExists(call.type, name) != 1) return AdminText(kMsgObjectMissing, name);
  // A deleted user's mail is kept, out of reach of a new user of the same name.
  std::string aside;
  if (call.type == kTypeUser && call.services.mailboxes &&
      call.services.mailboxes->SetAsideUserMailboxes(name, aside) != 0)
    return AdminText(kMsgMailboxOpenFailed);
  if (config.DeleteObject(call.type, name) != 0) return AdminText(kMsgDeletionsFailed);
  if (call.type == kTypeList) config.DeleteObject(kTypeList, AdminOwnerList(name));
  if (ListStore* lists = call.services.lists) {
    if (call.type == kTypeList) {
      lists->RemoveList(name);
      lists->RemoveList(AdminOwnerList(name));
      lists->RemoveName(AdminOwnerList(name));
    }
    if (call.type == kTypeUser || call.type == kTypeList) lists->RemoveName(name);
    lists->Save();
  }
  if (call.type == kTypeDictionary && call.services.dictionaries)
    call.services.dictionaries->RemoveDictionary(name);
  if (!aside.empty()) note += "The mail of " + name + " was moved to " + aside + ". ";
  return "";
}

void DeleteObj(AdminCall& call) {
  AdminStep step{"DeleteObj", 'D', kMsgAttemptedDelete};
  if (!AdminBegin(call, step)) return;
  if (call.type == kTypeSystem) return AdminError(call, kMsgObjectTypeInvalid);
  Configuration* config = AdminConfig(call);
  if (!config) return;
  // Only a confirmed form deletes anything.
  if (call.Var("wipeout") != "1") return AdminNext(call);
  std::string failed, note;
  for (const std::string& name : call.names) {
    std::string reason = DeleteOne(call, *config, name, note);
    AdminRecord(call, kActionObjectDeleted, reason.empty() ? kResultSucceeded : kResultFailed, name,
                reason.empty() ? note : reason);
    if (!reason.empty()) failed += AdminEscape(name) + " (" + AdminEscape(reason) + ")<br>";
  }
  if (!failed.empty()) return AdminErrorHtml(call, AdminText(kMsgDeletionsFailed), failed);
  if (!note.empty()) call.request.ReplaceVariable("note", note);
  AdminNext(call);
}

// ---- ModifyObj ----

// A change of one attribute: a value, or none to remove it.
using AttributeChange = std::pair<std::string, std::optional<std::string>>;

// The lines of a text (CR removed, each trimmed, empty ones dropped) joined with
// 0x1C.
std::string LinesJoined(const std::string& text) {
  std::string out;
  for (const std::string& line : AdminSplit(text, '\n')) {
    std::string clean;
    for (char c : line)
      if (c != '\r') clean += c;
    clean = AdminTrim(clean);
    if (clean.empty()) continue;
    if (!out.empty()) out += '\x1c';
    out += clean;
  }
  return out;
}

// Whether every permission the list grants is one the holder has too.
bool GrantsOnlyHeld(const std::string& list, const std::string& held) {
  size_t colon = list.find(':');
  if (colon == std::string::npos) return list.empty();
  for (char method : list.substr(0, colon))
    for (char object : list.substr(colon + 1))
      if (!TemplatePermissionTest(std::string{method, object}, held)) return false;
  return true;
}

// The permission list of the two selections: their letters only, each once, so
// that no ':', ',' or '*' of a forged form makes more of the list than was chosen.
// Empty selections give an empty list.
std::string PermsFromForm(const std::string& methods, const std::string& objects) {
  return methods.empty() && objects.empty() ? "" : methods + ":" + objects;
}

// Collects the changes of the form; false when the form is refused (the page
// has been shown).
bool CollectChanges(AdminCall& call, Configuration& config, const std::string& name,
                    std::vector<AttributeChange>& changes) {
  // RealAcct decides whose password opens the account: only G for users moves
  // it, and never for one's own object or the Administrator.
  bool mayMoveAccount = call.type == kTypeUser && call.Holds("GU") && !Untouchable(call, name);
  for (const auto& [variable, value] : call.request.Variables()) {
    if (!TernBeginsNoCase(variable, "ATTR-")) continue;
    std::string attribute = variable.substr(5);
    // Permissions change only through the two selections below.
    if (TernEqualsNoCase(attribute, kAttrOstrelPerms)) continue;
    if (TernEqualsNoCase(attribute, kAttrRealAcct) && !mayMoveAccount) continue;
    if (call.type == kTypeSystem && attribute == kAttrHttpPort) continue;  // the registry's
    std::string v = value;
    if (attribute == "Domain" || attribute == "RelayHost") v = AdminTrim(v);
    if (attribute == "OtherDomains" || attribute == "BounceBlurb") v = LinesJoined(v);
    // An empty choice of cast (the box's blank entry) leaves the object in none.
    if (v == kDeleteValue || (attribute == kAttrCast && v.empty())) changes.emplace_back(attribute, std::nullopt);
    else changes.emplace_back(attribute, v);
  }
  std::string useQuota = call.Var("UseQuota");
  if (useQuota == "Yes") {
    long quota = 0;
    if (!TernParseNumber(AdminTrim(call.Var("QuotaVal")), quota) || quota <= 0) {
      AdminError(call, kMsgQuotaRequired);
      return false;
    }
    changes.emplace_back(kAttrMailQuota, std::to_string(quota));
  } else if (useQuota == "No") {
    changes.emplace_back(kAttrMailQuota, "0");
  }
  if (call.Has("PermsShown") || call.Has("NewMethodPerms") || call.Has("NewObjectPerms")) {
    std::string current;
    config.GetBaseAttribute(call.type, name, kAttrOstrelPerms, current);
    std::string methods = AdminPermLetters(call.Var("NewMethodPerms"), true);
    std::string objects = AdminPermLetters(call.Var("NewObjectPerms"), false);
    // The selections show a list of several items ("A:U,R:SUCGLD") as all its
    // letters: sent back as shown, they leave it as it is rather than widen it.
    auto sorted = [](std::string s) {
      std::sort(s.begin(), s.end());
      return s;
    };
    bool asShown = sorted(methods) == sorted(AdminPermsSide(current, true)) &&
                   sorted(objects) == sorted(AdminPermsSide(current, false));
    std::string perms = PermsFromForm(methods, objects);
    bool mayGrant = call.type == kTypeUser && call.Holds(std::string("G") + call.type) && !Untouchable(call, name);
    if (perms != current && !asShown && mayGrant) {
      if (!GrantsOnlyHeld(perms, call.user.perms)) {
        AdminRefuse(call, kMsgAttemptedModify);
        return false;
      }
      changes.emplace_back(kAttrOstrelPerms, perms);
    }
  }
  // Nothing that would break the file's lines gets in.
  for (const auto& [attribute, value] : changes) {
    if (!WritableAttribute(attribute, value.value_or(""))) {
      AdminError(call, kMsgModifyAttributesFailed);
      return false;
    }
  }
  return true;
}

// The HTTPPort of the form: true with port set (empty when unchanged); false when
// refused (the page has been shown).
bool PortChange(AdminCall& call, std::string& port, std::string& old) {
  port.clear();
  std::string value;
  if (call.type != kTypeSystem || !call.request.GetVariable(std::string("ATTR-") + kAttrHttpPort, value))
    return true;
  value = AdminTrim(value);
  if (value.empty()) value = kDefaultHttpPort;
  long number = 0;
  if (!TernParseNumber(value, number, 1L, 65535L)) {
    AdminError(call, kMsgInvalidPort);
    return false;
  }
  old = RegistryReadSetting(call.services.product, kAttrHttpPort, kDefaultHttpPort);
  long oldNumber = 0;
  if (!TernParseNumber(AdminTrim(old), oldNumber) || oldNumber != number) port = std::to_string(number);
  return true;
}

// Moves the HTTP server to port; false when refused (the page has been shown).
bool MoveHttp(AdminCall& call, const std::string& port, const std::string& old) {
  std::string key = RegistryProductKey(call.services.product);
  if (RegistryWrite(kTernHKeyLocalMachine, key, kAttrHttpPort, port) != 0) {
    AdminError(call, kMsgModifyAttributesFailed);
    return false;
  }
  if (call.services.moveHttpServer && call.services.moveHttpServer()) return true;
  if (RegistryWrite(kTernHKeyLocalMachine, key, kAttrHttpPort, old) != 0) {
    // The value stays as it was written; the server still listens on the old port.
  }
  AdminError(call, kMsgHttpPortChangeFailed);
  return false;
}

void ModifyObj(AdminCall& call) {
  AdminStep step{"ModifyObj", 'M', kMsgAttemptedModify};
  if (!AdminBegin(call, step)) return;
  Configuration* config = AdminConfig(call);
  if (!config) return;
  std::string name = call.Name();
  if (config->ObjectExists(call.type, name) != 1) return AdminError(call, AdminText(kMsgObjectMissing, name));
  std::vector<AttributeChange> changes;
  std::string port, oldPort;
  if (!PortChange(call, port, oldPort) || !CollectChanges(call, *config, name, changes)) return;
  int failed = 0;
  for (const auto& [attribute, value] : changes)
    failed |= value ? config->SetAttribute(call.type, name, attribute, *value, false)
                    : config->RemoveAttribute(call.type, name, attribute, false);
  if (failed != 0 || config->Save() != 0) {
    // What did not reach the files does not stay in force either.
    config->Load(true);
    return AdminError(call, kMsgModifyAttributesFailed);
  }
  if (call.type == kTypeSystem && call.services.reconfigureServers) call.services.reconfigureServers();
  AdminRecord(call, kActionObjectModified, kResultSucceeded, name);
  if (port.empty()) return AdminNext(call);
  if (!MoveHttp(call, port, oldPort)) return;
  AdminRecord(call, kActionObjectModified, kResultSucceeded, name, std::string(kAttrHttpPort) + " " + port);
  call.request.ReplaceVariable("newport", port);
  call.request.ReplaceVariable("what", kPortChangePage);
  call.web.DisplayPage(call.request);
}

// ---- ModifyCastMembership ----

void ModifyCastMembership(AdminCall& call) {
  AdminStep step{"ModifyCastMembership", 'M', kMsgAttemptedModify};
  if (!AdminBegin(call, step)) return;
  Configuration* config = AdminConfig(call);
  if (!config) return;
  if (call.type != kTypeCast) return AdminError(call, kMsgObjectTypeInvalid);
  std::string cast = call.Name();
  if (config->ObjectExists(kTypeCast, cast) != 1) return AdminError(call, AdminText(kMsgObjectMissing, cast));
  int failed = 0;
  if (call.Has("AddTo")) {
    for (const std::string& user : AdminSplit(call.Var("UsersToAdd")))
      failed |= config->SetAttribute(kTypeUser, user, kAttrCast, cast, false);
    for (const std::string& client : AdminSplit(call.Var("ClientsToAdd")))
      failed |= config->SetAttribute(kTypeClient, client, kAttrCast, cast, false);
  }
  if (call.Has("RemoveFrom")) {
    // Members are written "U:name" or "C:name"; a bare name is a user.
    for (const std::string& member : AdminSplit(call.Var("MembersToRemove"))) {
      char type = kTypeUser;
      std::string name = member;
      if (member.size() > 2 && member[1] == ':') {
        type = TernUpperAscii(member[0]) == kTypeClient ? kTypeClient : kTypeUser;
        name = member.substr(2);
      }
      std::string current;
      if (config->GetBaseAttribute(type, name, kAttrCast, current) == 0 && TernEqualsNoCase(current, cast))
        failed |= config->RemoveAttribute(type, name, kAttrCast, false);
    }
  }
  if (failed != 0 || config->Save() != 0) {
    config->Load(true);
    return AdminError(call, kMsgModifyAttributesFailed);
  }
  AdminRecord(call, kActionObjectModified, kResultSucceeded, cast);
  AdminNext(call);
}

}  // namespace

void AdminAddObjectHandlers(WebContext& web, const AdminServicesPtr& services) {
  web.SetHandler("AddObj", WebHandlerKind::Action, AdminHandler(services, AddObj));
  web.SetHandler("DeleteObj", WebHandlerKind::Action, AdminHandler(services, DeleteObj));
  web.SetHandler("ModifyObj", WebHandlerKind::Action, AdminHandler(services, ModifyObj));
  web.SetHandler("ModifyCastMembership", WebHandlerKind::Action, AdminHandler(services, ModifyCastMembership));
}
