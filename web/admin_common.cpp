// The steps every administration handler shares, records, error pages and the
// text helpers of the administration handlers.
#include "web/admin_common.h"

#include "base/ascii.h"
#include "base/format.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "log/activity_log.h"
#include "web/template_tag.h"

namespace {

constexpr char kTypeLetters[] = "SUCGLD";

}  // namespace

std::string AdminCall::Var(const std::string& name) const {
  std::string value;
  request.GetVariable(name, value);
  return value;
}

std::string AdminCall::Carried(const std::string& name) const {
  std::string value;
  if (request.GetVariable(name, value)) return value;
  request.GetVariable("HV-" + name, value);
  return value;
}

bool AdminCall::Has(const std::string& name) const {
  std::string value;
  return request.GetVariable(name, value);
}

std::string AdminCall::Name() const {
  if (type == kTypeSystem || names.empty()) return "";
  return names.front();
}

bool AdminCall::Holds(std::string_view code) const { return TemplatePermissionTest(code, user.perms); }

bool AdminBegin(AdminCall& call, const AdminStep& step) {
  if (!call.web.RequireLogin(call.request, WebAudience::Admin, step.handler, call.user)) return false;
  call.client = call.request.ClientAddress();
  std::string value;
  if (call.request.GetVariable("referer", value)) call.request.ReplaceVariable("HV-what", value);
  if (call.request.GetVariable("objname", value)) call.request.ReplaceVariable("HV-objname", value);
  if (call.request.GetVariable("objtype", value)) call.request.ReplaceVariable("HV-objtype", value);
  std::string type = call.Var("objtype");
  char letter = type.empty() ? 0 : TernUpperAscii(type[0]);
  if (!letter || std::string_view(kTypeLetters).find(letter) == std::string_view::npos) {
    AdminError(call, kMsgObjectTypeInvalid);
    return false;
  }
  call.type = letter;
  for (const std::string& name : AdminSplit(call.Var("objname"))) {
    std::string trimmed = AdminTrim(name);
    if (!trimmed.empty()) call.names.push_back(trimmed);
  }
  if (!call.Holds(std::string(1, step.action) + letter)) {
    AdminRefuse(call, step.attempted);
    return false;
  }
  if (step.needsName && call.names.empty() && letter != kTypeSystem) {
    AdminError(call, kMsgNoObjectSelected);
    return false;
  }
  return true;
}

Configuration* AdminConfig(AdminCall& call) {
  Configuration* config = Configuration::Process();
  if (!config) AdminError(call, kMsgModifyAttributesFailed);
  return config;
}

void AdminRecord(const AdminCall& call, long action, long result, const std::string& name,
                 const std::string& info) {
  CTernActivityRecord record;
  record.AddStandard(kRealmAdministration, action, result, call.user.name, call.client);
  if (call.type) record.Add(kActType, std::string(1, call.type));
  if (!name.empty()) record.Add(kActName, name);
  if (!info.empty()) record.Add(kActInfo, info);
  CTernActivityLog::Write(record);
}

void AdminError(AdminCall& call, const std::string& text) { call.web.ShowErrorPage(call.request, text); }

void AdminError(AdminCall& call, int code) { call.web.ShowErrorPage(call.request, code); }

void AdminErrorHtml(AdminCall& call, const std::string& text, const std::string& html) {
  call.request.SetServerHtml("errordetail", html);
  call.web.ShowErrorPage(call.request, text);
}

void AdminRefuse(AdminCall& call, int attempted) {
  CTernMessages texts;
  AdminRecord(call, kActionAccessViolation, 0, call.names.empty() ? "" : call.names.front(),
              texts.Text(attempted));
  AdminError(call, kMsgNoPermission);
}

void AdminNext(AdminCall& call, const char* page) {
  if (call.Var("what").empty()) call.request.ReplaceVariable("what", page);
  call.web.DisplayPage(call.request);
}

void AdminShowReport(AdminCall& call, const char* page, const std::string& html) {
  call.request.ReplaceVariable("what", page);
  call.request.SetServerHtml("report", html);
  call.web.DisplayPage(call.request);
}

std::vector<std::string> AdminSplit(std::string_view text, char separator) {
  return TemplateSplit(text, separator);
}

std::vector<std::string> AdminSorted(const std::function<void(CTernList<CTernString>&)>& fill) {
  CTernList<CTernString> list([](const CTernString& a, const CTernString& b) { return a.Compare(b, true); });
  fill(list);
  std::vector<std::string> out;
  list.ForEach([&out](const CTernString& item) { out.push_back(item.Str()); });
  return out;
}

std::string AdminTrim(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  size_t last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

std::string AdminEscape(std::string_view text) { return TemplateEscape(text); }

std::string AdminText(int code, const std::string& argument) {
  CTernMessages texts;
  const char* text = texts.Text(code);
  if (std::string_view(text).find("%s") == std::string_view::npos) return text;
  return TernFormat(text, {argument});
}

std::string AdminPermLetters(std::string_view text, bool methods) {
  std::string_view allowed = methods ? "ADMGSR" : "SUCGLD";
  std::string out;
  for (char c : text) {
    char upper = TernUpperAscii(c);
    if (allowed.find(upper) != std::string_view::npos && out.find(upper) == std::string::npos) out += upper;
  }
  return out;
}

std::string AdminPermsSide(std::string_view perms, bool methods) {
  std::string letters;
  for (const std::string& item : AdminSplit(perms, ',')) {
    size_t colon = item.find(':');
    if (colon != std::string::npos) letters += methods ? item.substr(0, colon) : item.substr(colon + 1);
    else if (item.size() == 2) letters += methods ? item[0] : item[1];
  }
  return AdminPermLetters(letters, methods);
}

std::string AdminOwnerList(const std::string& list) { return "owner-" + list; }

WebHandler AdminHandler(const AdminServicesPtr& services, void (*fn)(AdminCall& call)) {
  return [services, fn](WebContext& web, HttpRequest& request) {
    AdminCall call{web, request, *services, {}, {}, 0, {}};
    fn(call);
  };
}
