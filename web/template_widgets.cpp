// The engine's own operations: values of variables and attributes, hidden fields,
// selection boxes of objects and attribute entries, date and time boxes, the event
// description of the schedule pages, and the permission gate of a page.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "base/ascii.h"
#include "base/list.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/string.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "log/activity_log.h"
#include "platform/accounts.h"
#include "platform/clock.h"
#include "web/template_engine.h"

namespace {

constexpr char kSeparator = '\x1c';

bool Has(const TemplateParams& p, const char* key) { return p.count(key) != 0; }

std::string Variable(const TemplateCall& c, const std::string& name) {
  std::string value;
  c.page.request.GetVariable(name, value);
  return value;
}

void Write(const TemplateCall& c, std::string_view text) { c.page.request.Write(text); }

// The object the page is about: the request variables `objtype` (its first letter)
// and `objname`, and the event `Event`.
struct CurrentObject {
  char type = 0;
  std::string name, event;
};

CurrentObject Current(const TemplateCall& c) {
  CurrentObject o;
  std::string type = Variable(c, "objtype");
  if (!type.empty()) o.type = TernUpperAscii(type[0]);
  o.name = Variable(c, "objname");
  o.event = Variable(c, "Event");
  return o;
}

// An attribute of the current object, or of its event with fromEvent. Base values:
// the pages edit what is stored, not what is in force now.
bool Attribute(const TemplateCall& c, const std::string& attribute, bool fromEvent, std::string& value) {
  CurrentObject o = Current(c);
  if (!c.page.config || !o.type) return false;
  if (fromEvent) return c.page.config->GetEventValue(o.type, o.name, o.event, attribute, value) == 0;
  return c.page.config->GetBaseAttribute(o.type, o.name, attribute, value) == 0;
}

// A number preset from `preset`, else from the attribute `name` (of the event with
// `useevent`); -1 when there is none.
long Preset(const TemplateCall& c) {
  std::string text = TemplateParam(c.params, "preset");
  if (text.empty()) Attribute(c, TemplateParam(c.params, "name"), Has(c.params, "useevent"), text);
  if (text.empty()) return -1;
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0' && value >= 0 ? value : -1;
}

int ShowVar(const TemplateCall& c) {
  bool quotes = Has(c.params, "usequotes"), raw = Has(c.params, "noescape");
  for (const auto& [key, unused] : c.params) {
    if (key == "usequotes" || key == "noescape") continue;
    std::string value = Variable(c, key);
    // Only HTML the server built goes out as it is; text that came with a request
    // is escaped whatever the template asks.
    if (!raw || !c.page.request.ServerHtml(key)) value = TemplateEscape(value);
    Write(c, quotes ? "\"" + value + "\"" : value);
  }
  return kTemplateDone;
}

int ShowAttr(const TemplateCall& c, bool onePerLine) {
  bool quotes = Has(c.params, "usequotes");
  for (const auto& [key, unused] : c.params) {
    if (key == "usequotes") continue;
    std::string value;
    Attribute(c, key, false, value);
    std::string text;
    if (onePerLine) {
      for (const std::string& entry : TemplateSplit(value, kSeparator)) text += TemplateEscape(entry) + "\r\n";
    } else {
      text = TemplateEscape(value);
    }
    Write(c, quotes ? "\"" + text + "\"" : text);
  }
  return kTemplateDone;
}

void HiddenField(const TemplateCall& c, const std::string& name, const std::string& value) {
  Write(c, "<input type=\"hidden\" name=\"" + TemplateEscape(name) + "\" value=\"" +
               TemplateEscape(value) + "\">\r\n");
}

int PlaceHiddenVars(const TemplateCall& c) {
  for (const auto& [name, value] : c.page.request.Variables())
    if (TernBeginsNoCase(name, "HV-")) HiddenField(c, name, value);
  return kTemplateDone;
}

int PlaceVars(const TemplateCall& c) {
  std::string starts = TemplateParam(c.params, "starts");
  for (const auto& [name, value] : c.page.request.Variables())
    if (name.size() > starts.size() && name.compare(0, starts.size(), starts) == 0)
      HiddenField(c, name, value);
  return kTemplateDone;
}

int ShowObjType(const TemplateCall& c) {
  std::string type = TemplateParam(c.params, "objtype");
  if (type.empty()) type = Variable(c, "objtype");
  static const std::pair<char, int> kNames[] = {{kTypeCast, kMsgCast},       {kTypeClient, kMsgClient},
                                                {kTypeDictionary, kMsgDictionary}, {kTypeList, kMsgList},
                                                {kTypeUser, kMsgUser},       {kTypeSystem, kMsgSystem}};
  CTernMessages messages;
  for (const auto& [letter, code] : kNames)
    if (!type.empty() && TernUpperAscii(type[0]) == letter) Write(c, messages.Text(code));
  return kTemplateDone;
}

int BlueBar(const TemplateCall& c) {
  std::string agent;
  c.page.request.GetHeader("User-Agent", agent);
  std::string size = TemplateParam(c.params, "size");
  // The bar's colours (#00007f, white text) are the stylesheet's class "bluebar": the
  // pages' Content-Security-Policy refuses style attributes.
  std::string out = "<tr><td class=\"bluebar\" colspan=\"" + TemplateEscape(size.empty() ? "1" : size) +
                    "\">" + TemplateEscape(TemplateParam(c.params, "caption"));
  if (agent != "Mozilla/2.02") out += "<span class=\"spacer\"></span>";
  Write(c, out + "</td></tr>\r\n");
  return kTemplateDone;
}

int Hostname(const TemplateCall& c) {
  Write(c, TemplateEscape(PlatformMachineName()));
  return kTemplateDone;
}

// The entries an object box preselects: the attribute `name` of the current object
// or of its event, entries separated by 0x1C.
std::vector<std::string> Preselected(const TemplateCall& c) {
  std::string value;
  if (Has(c.params, "useobjvalue")) Attribute(c, TemplateParam(c.params, "name"), false, value);
  else if (Has(c.params, "useeventvalue")) Attribute(c, TemplateParam(c.params, "name"), true, value);
  return TemplateSplit(value, kSeparator);
}

bool Contains(const std::vector<std::string>& entries, const std::string& name) {
  for (const std::string& e : entries)
    if (TernEqualsNoCase(e, name)) return true;
  return false;
}

// Whether an object passes `maskattr` (an attribute statement) and `maskname` (an
// operator and operand applied to its name).
bool PassesMasks(const TemplateCall& c, char type, const std::string& name) {
  if (Has(c.params, "maskattr")) {
    TemplateStatement s = TemplateSplitStatement(TemplateParam(c.params, "maskattr"));
    std::string value;
    bool defined = c.page.config->GetBaseAttribute(type, name, s.name, value) == 0;
    if (TemplateCompare(defined, value, s.op, s.operand) != TemplateCompareResult::True) return false;
  }
  if (Has(c.params, "maskname")) {
    TemplateStatement s = TemplateSplitStatement(TemplateParam(c.params, "maskname"));
    // The mask is an operator and its operand: the two first words.
    if (TemplateCompare(true, name, s.name, s.op) != TemplateCompareResult::True) return false;
  }
  return true;
}

int ObjBox(const TemplateCall& c) {
  std::string type = TemplateParam(c.params, "objtype");
  if (!c.page.config || type.empty()) return kTemplateDone;
  char letter = TernUpperAscii(type[0]);
  CTernList<CTernString> names([](const CTernString& a, const CTernString& b) { return a.Compare(b, true); });
  c.page.config->ListNames(letter, names, true);
  std::vector<std::string> chosen = Preselected(c);
  std::vector<std::pair<std::string, bool>> options;
  names.ForEach([&](const CTernString& item) {
    std::string name = item.Str();
    if (Has(c.params, "excludeAuth") && TernEqualsNoCase(name, c.page.user)) return;
    if (Has(c.params, "localonly") && c.page.config->IsNeverWritten(letter, name)) return;
    if (!PassesMasks(c, letter, name)) return;
    options.emplace_back(name, Contains(chosen, name));
  });
  if (Has(c.params, "selectedAtTop"))
    std::stable_partition(options.begin(), options.end(), [](const auto& o) { return o.second; });
  std::string out = TemplateSelectOpen(c.params);
  if (Has(c.params, "insertblank")) out += "<option value=\"\"></option>\r\n";
  for (const auto& [name, selected] : options) TemplateOption(out, name, selected);
  Write(c, out + "</select>\r\n");
  return kTemplateDone;
}

int TBox(const TemplateCall& c) {
  CurrentObject o = Current(c);
  std::string value;
  if (c.page.config && o.type)
    c.page.config->GetBaseAttribute(o.type, Variable(c, "objname"), TemplateParam(c.params, "name"), value);
  std::string current = TemplateParam(c.params, "value");
  std::string out = TemplateSelectOpen(c.params);
  for (const std::string& entry : TemplateSplit(value, kSeparator)) TemplateOption(out, entry, entry == current);
  Write(c, out + "</select>\r\n");
  return kTemplateDone;
}

int DateBox(const TemplateCall& c) {
  long date = Preset(c);
  if (date < 10000) {
    time_t now = PlatformNow();
    tm local{};
    localtime_r(&now, &local);
    date = (local.tm_year + 1900) * 10000L + (local.tm_mon + 1) * 100L + local.tm_mday;
  }
  char text[48];
  snprintf(text, sizeof text, "%ld/%ld/%ld", date / 100 % 100, date % 100, date / 10000);
  std::string out = TemplateEscape(TemplateParam(c.params, "text")) + "<br>";
  out += "<input type=\"text\" size=\"10\" name=\"" + TemplateEscape(TemplateParam(c.params, "name")) +
         "\" value=\"" + text + "\">\r\n";
  Write(c, out);
  return kTemplateDone;
}

int TimeBox(const TemplateCall& c) {
  long preset = Preset(c);
  if (preset < 0) preset = 0;
  int hour = static_cast<int>(preset / 10000 % 24), minute = static_cast<int>(preset / 100 % 100);
  int hour12 = hour % 12 == 0 ? 12 : hour % 12;
  std::string name = TemplateEscape(TemplateParam(c.params, "name"));
  std::string out = TemplateEscape(TemplateParam(c.params, "text"));
  char value[8];
  out += "<select name=\"" + name + "-hr\">\r\n";
  for (int h = 1; h <= 12; ++h) {
    snprintf(value, sizeof value, "%d", h);
    TemplateOption(out, value, h == hour12);
  }
  out += "</select>:<select name=\"" + name + "-min\">\r\n";
  for (int m = 0; m < 60; m += 5) {
    snprintf(value, sizeof value, "%02d", m);
    TemplateOption(out, value, m == minute / 5 * 5);
  }
  out += "</select><select name=\"" + name + "-mer\">\r\n";
  TemplateOption(out, "AM", hour < 12);
  TemplateOption(out, "PM", hour >= 12);
  Write(c, out + "</select>\r\n");
  return kTemplateDone;
}

// A time of day from the form: the fields name-hr (1 to 12), name-min and name-mer
// (AM or PM), or a number HHMMSS in name itself. -1 when it cannot be read.
long FormTime(const TemplateCall& c, const std::string& name) {
  std::string hr = Variable(c, name + "-hr"), min = Variable(c, name + "-min"),
              mer = Variable(c, name + "-mer");
  char* end = nullptr;
  if (hr.empty()) {
    std::string plain = Variable(c, name);
    long value = strtol(plain.c_str(), &end, 10);
    bool ok = !plain.empty() && *end == '\0' && value >= 0 && value / 10000 < 24 &&
              value / 100 % 100 < 60 && value % 100 < 60;
    return ok ? value : -1;
  }
  long h = strtol(hr.c_str(), &end, 10);
  if (*end != '\0' || h < 1 || h > 12) return -1;
  long m = min.empty() ? 0 : strtol(min.c_str(), &end, 10);
  if (*end != '\0' || m < 0 || m > 59) return -1;
  bool pm = TernEqualsNoCase(mer, "PM");
  if (!pm && !mer.empty() && !TernEqualsNoCase(mer, "AM")) return -1;
  long hour = h % 12 + (pm ? 12 : 0);
  return hour * 10000 + m * 100;
}

// A date from the form as "month/day/year", or a number YYYYMMDD; -1 when it
// cannot be read.
long FormDate(const TemplateCall& c) {
  std::string text = Variable(c, "Date");
  int month = 0, day = 0, year = 0;
  char rest = 0;
  if (sscanf(text.c_str(), "%d/%d/%d%c", &month, &day, &year, &rest) == 3) {
    if (year < 100) year += 2000;
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 1970 || year > 9999) return -1;
    return year * 10000L + month * 100L + day;
  }
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value >= 0 && value <= 99991231 ? value : -1;
}

int ParseEventTime(const TemplateCall& c) {
  // Weekday boxes of a daily event arrive as several values of When.
  std::string when;
  for (const std::string& part : TemplateSplit(Variable(c, "When"), kSeparator)) when += part;
  bool daily = !when.empty() && when.find_first_not_of("0123456") == std::string::npos;
  long date = 0, start = 0, end = 0, repeat = 1;
  bool ok = when == "D" || when == "E" || daily;
  if (ok && when != "D") {
    start = FormTime(c, "Start");
    end = FormTime(c, "End");
    ok = start >= 0 && end >= start;
    if (when == "E") {
      date = FormDate(c);
      std::string r = Variable(c, "Repeat");
      char* stop = nullptr;
      repeat = r.empty() ? 1 : strtol(r.c_str(), &stop, 10);
      ok = ok && date >= 10000 && (r.empty() || *stop == '\0') && repeat >= 1 && repeat <= 3660;
    }
  }
  if (!ok) {
    c.page.error(c.page.request, TemplateParam(c.params, "message"));
    return kTemplateStop;
  }
  char text[160];
  snprintf(text, sizeof text, "%s=%s,%s=%ld,%s=%ld,%s=%ld,%s=%ld", "When", when.c_str(), "Date", date,
           "Start", start, "End", end, "Repeat", repeat);
  c.page.request.ReplaceVariable("newsettings", text);
  return kTemplateDone;
}

int RequiredPerms(const TemplateCall& c) {
  for (const auto& [code, unused] : c.params) {
    if (code == "message" || TemplatePermissionTest(code, c.page.userPerms)) continue;
    std::string message = TemplateParam(c.params, "message");
    std::string what = Variable(c, "what");
    CTernActivityRecord record;
    bool admin = what.find("_a") != std::string::npos;
    record.AddStandard(admin ? kRealmAdministration : kRealmWebClient, kActionAccessViolation, 0,
                       c.page.user, c.page.client);
    record.Add(kActInfo, message + " -- " + what);
    CTernActivityLog::Write(record);
    Write(c, TemplateEscape(message) + "\r\n");
    return kTemplateStop;
  }
  return kTemplateDone;
}

TemplateOperationTable MakeTable() {
  TemplateOperationTable t;
  t.Register("BlueBar", BlueBar);
  t.Register("DateBox", DateBox);
  t.Register("Hostname", Hostname);
  t.Register("ObjBox", ObjBox);
  t.Register("ParseEventTime", ParseEventTime);
  t.Register("PlaceHiddenVars", PlaceHiddenVars);
  t.Register("PlaceVars", PlaceVars);
  t.Register("RequiredPerms", RequiredPerms);
  t.Register("ShowAttr", [](const TemplateCall& c) { return ShowAttr(c, false); });
  t.Register("ShowAttrSepToCRLF", [](const TemplateCall& c) { return ShowAttr(c, true); });
  t.Register("ShowObjType", ShowObjType);
  t.Register("ShowVar", ShowVar);
  t.Register("TBox", TBox);
  t.Register("TimeBox", TimeBox);
  return t;
}

}  // namespace

std::string TemplateParam(const TemplateParams& params, const char* key) {
  auto it = params.find(key);
  return it == params.end() ? "" : it->second;
}

void TemplateOption(std::string& out, const std::string& value, bool selected) {
  std::string v = TemplateEscape(value);
  out += "<option value=\"" + v + "\"" + (selected ? " selected" : "") + ">" + v + "</option>\r\n";
}

std::string TemplateSelectOpen(const TemplateParams& params) {
  std::string out = "<select name=\"" + TemplateEscape(TemplateParam(params, "name")) + "\"";
  if (Has(params, "size")) out += " size=\"" + TemplateEscape(TemplateParam(params, "size")) + "\"";
  if (Has(params, "multiple")) out += " multiple";
  return out + ">\r\n";
}

const TemplateOperationTable& TemplateEngineOperations() {
  static const TemplateOperationTable table = MakeTable();
  return table;
}
