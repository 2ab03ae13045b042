// The administration reports: the access report from the activity log, the list
// and dictionary reports, the settings in force for a user and client, and the
// diagnostics page. Every name and value they print is escaped: activity records
// carry text that came from the network.
#include <cstdio>
#include <set>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/file_ops.h"
#include "base/format.h"
#include "base/list.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/number.h"
#include "base/string.h"
#include "config/attribute_table.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/dictionaries.h"
#include "config/effective_settings.h"
#include "config/lists.h"
#include "log/activity_log.h"
#include "store/mailbox_table.h"
#include "web/admin_common.h"

namespace {

// An access report lists at most this many records.
constexpr int kMaxReportRecords = 5000;
// The diagnostics page shows at most this much of a file.
constexpr int32_t kMaxShownFile = 1024 * 1024;

constexpr char kGreen[] = "#008800";
constexpr char kRed[] = "#DD0000";
constexpr char kOrange[] = "#FF8429";

std::string Text(int code) {
  CTernMessages texts;
  return texts.Text(code);
}

// The shared steps of a report. Its permission is R with the type of what it
// shows (the activity log and the diagnostics belong to the System), not with
// whatever type the form names.
bool ReportBegin(AdminCall& call, const char* handler, const char* type) {
  call.request.ReplaceVariable("objtype", type);
  return AdminBegin(call, {handler, 'R', kMsgAttemptedReport, false});
}

// ---- AccessReport ----

// A date "month/day/year" (or YYYYMMDD) as the activity log's date number; -1
// when it cannot be read.
long DateNumber(const std::string& text) {
  int month = 0, day = 0, year = 0;
  char rest = 0;
  if (sscanf(text.c_str(), "%d/%d/%d%c", &month, &day, &year, &rest) == 3) {
    if (year < 100) year += 2000;
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 1970 || year > 9999) return -1;
    return (year - 1900) * 10000L + month * 100L + day;
  }
  long value = 0;
  if (!TernParseNumber(AdminTrim(text), value, 19700101L, 99991231L)) return -1;
  return value - 19000000;
}

// A time of the time boxes (name-hr, name-min, name-mer) as a time number; -1 when
// it cannot be read. Without the boxes: start of the day, or its end with end.
long TimeNumber(const AdminCall& call, const std::string& name, bool end) {
  std::string hr = call.Var(name + "-hr"), min = call.Var(name + "-min"), mer = call.Var(name + "-mer");
  if (hr.empty()) return end ? 235959 : 0;
  long h = 0, m = 0;
  if (!TernParseNumber(hr, h, 1L, 12L) || (!min.empty() && !TernParseNumber(min, m, 0L, 59L))) return -1;
  bool pm = TernEqualsNoCase(mer, "PM");
  if (!pm && !mer.empty() && !TernEqualsNoCase(mer, "AM")) return -1;
  // An end takes in the whole step the box stands for (its last minute too).
  if (end && m == 55) m = 59;
  return (h % 12 + (pm ? 12 : 0)) * 10000 + m * 100 + (end ? 59 : 0);
}

std::vector<CTernActivityReader::Filter> Filters(const std::vector<std::string>& values, int key, int mode) {
  std::vector<CTernActivityReader::Filter> filters;
  for (const std::string& value : values) filters.push_back({key, mode, value});
  return filters;
}

// The colour of a field's value: red for failures and violations, orange for
// mail that was bounced, dropped or held up, green for the rest.
const char* Colour(int key, const std::string& code) {
  long n = 0;
  if (!TernParseNumber(code, n)) return kGreen;
  if (key == kActResult) return n == kResultFailed ? kRed : n == kResultBounced ? kOrange : kGreen;
  if (key != kActAction) return kGreen;
  switch (n) {
    case kActionAccessViolation:
    case kActionProtocolViolation:
    case kActionContentViolation:
    case kActionMessageRejected:
    case kActionAutoLocked:
      return kRed;
    case kActionMessageBounced:
    case kActionMessageDropped:
    case kActionMessageDeliveryAttemptFailed:
      return kOrange;
    default:
      return kGreen;
  }
}

// One record as one line of labelled, coloured values.
std::string RecordLine(long date, long time, const CTernActivityRecord& record) {
  char when[128];
  snprintf(when, sizeof when, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld", date / 10000 + 1900, date / 100 % 100,
           date % 100, time / 10000, time / 100 % 100, time % 100);
  std::string line = "<p class=\"record\">" + AdminEscape(Text(kMsgDate)) + ": <font color=\"" + kGreen + "\">" +
                     when + "</font>&nbsp;&nbsp;";
  for (const auto& [key, raw] : record.Fields()) {
    std::string label, value;
    if (!CTernActivityReader::Decode(key, record, label, value)) continue;
    line += AdminEscape(label) + ": <font color=\"" + Colour(key, raw) + "\">" + AdminEscape(value) +
            "</font>&nbsp;&nbsp;";
  }
  return line + "</p>\r\n";
}

// Whether any field of the record holds text (without regard to case).
bool Mentions(const CTernActivityRecord& record, const std::string& text) {
  std::string wanted = TernLoweredAscii(text);
  for (const auto& [key, value] : record.Fields())
    if (TernLoweredAscii(value).find(wanted) != std::string::npos) return true;
  return false;
}

void AccessReport(AdminCall& call) {
  if (!ReportBegin(call, "AccessReport", "System")) return;
  Configuration* config = AdminConfig(call);
  if (!config) return;
  long fromDate = DateNumber(call.Var("FromDate")), toDate = DateNumber(call.Var("ToDate"));
  long fromTime = TimeNumber(call, "FromTime", false), toTime = TimeNumber(call, "ToTime", true);
  if (fromDate < 0 || toDate < 0 || fromTime < 0 || toTime < 0 || fromDate > toDate ||
      (fromDate == toDate && fromTime > toTime))
    return AdminError(call, kMsgInvalidTimeRange);
  std::vector<std::string> users = AdminSplit(call.Var("Users")), clients = AdminSplit(call.Var("Clients"));
  // A cast stands for its users and clients.
  for (const std::string& cast : AdminSplit(call.Var("Casts"))) {
    for (char type : {kTypeUser, kTypeClient})
      for (const std::string& name : AdminSorted([&](auto& l) { config->ListNames(type, l, true); })) {
        std::string value;
        if (config->GetBaseAttribute(type, name, kAttrCast, value) == 0 && TernEqualsNoCase(value, cast))
          (type == kTypeUser ? users : clients).push_back(name);
      }
    // A cast with no member matches nobody rather than everybody.
    if (users.empty() && clients.empty()) users.push_back(std::string(1, '\x1c'));
  }
  CTernActivityReader reader(call.services.logDir, fromDate, fromTime, toDate, toTime,
                             Filters(users, kActUser, CTernActivityReader::kEquals),
                             Filters(clients, kActClient, CTernActivityReader::kEquals),
                             Filters(AdminSplit(call.Var("Realms")), kActRealm, CTernActivityReader::kEquals),
                             Filters(AdminSplit(call.Var("Actions")), kActAction, CTernActivityReader::kEquals));
  std::string search = AdminTrim(call.Var("Search"));
  std::string html;
  int count = 0;
  long date = 0, time = 0;
  CTernActivityRecord record;
  for (bool more = reader.First(date, time, record); more; more = reader.Next(date, time, record)) {
    if (!search.empty() && !Mentions(record, search)) continue;
    if (count == kMaxReportRecords) {
      html += "<p><i>Only the first " + std::to_string(kMaxReportRecords) +
              " matching records are shown; narrow the range or the filters.</i></p>\r\n";
      break;
    }
    html += RecordLine(date, time, record);
    ++count;
  }
  if (count == 0) html = "<p><i>" + AdminEscape(Text(kMsgNoMatchingRecords)) + "</i></p>\r\n";
  AdminShowReport(call, "access_rep2_a.mhtml", html);
}

// ---- ListReport and DictionaryReport ----

std::string MemberList(const std::vector<std::string>& members) {
  if (members.empty()) return "<p><i>" + AdminEscape(Text(kMsgNoMatchingRecords)) + "</i></p>\r\n";
  std::string html = "<ul>\r\n";
  for (const std::string& member : members) html += "<li>" + AdminEscape(member) + "</li>\r\n";
  return html + "</ul>\r\n";
}

void ListReport(AdminCall& call) {
  if (!ReportBegin(call, "ListReport", "List")) return;
  std::vector<std::string> lists = AdminSplit(call.Var("Lists"));
  std::string html;
  ListStore* store = call.services.lists;
  for (const std::string& list : lists) {
    for (const std::string& name : {list, AdminOwnerList(list)}) {
      std::vector<std::string> members;
      if (store) members = AdminSorted([&](auto& l) { store->GetMembers(name, l); });
      html += "<h2>" + AdminEscape(Text(kMsgList)) + " " + AdminEscape(name) + "</h2>\r\n" + MemberList(members);
    }
  }
  if (lists.empty()) html = "<p>" + AdminEscape(Text(kMsgNothingSelected)) + "</p>\r\n";
  AdminShowReport(call, "list_rep2_a.mhtml", html);
}

void DictionaryReport(AdminCall& call) {
  if (!ReportBegin(call, "DictionaryReport", "Dictionary")) return;
  std::vector<std::string> dictionaries = AdminSplit(call.Var("Dictionaries"));
  DictionaryStore* store = call.services.dictionaries;
  std::string html;
  for (const std::string& dictionary : dictionaries) {
    html += "<h2>" + AdminEscape(Text(kMsgDictionary)) + " " + AdminEscape(dictionary) + "</h2>\r\n";
    std::vector<std::string> words;
    if (store) words = AdminSorted([&](auto& l) { store->ListWords(dictionary, l); });
    if (words.empty()) {
      html += "<p><i>" + AdminEscape(Text(kMsgNoMatchingRecords)) + "</i></p>\r\n";
      continue;
    }
    html += "<table>\r\n<thead><tr><th scope=\"col\">" + AdminEscape(Text(kMsgWord)) + "</th><th scope=\"col\">" +
            AdminEscape(Text(kMsgScore)) + "</th></tr></thead>\r\n<tbody>\r\n";
    for (const std::string& word : words) {
      int32_t score = 0, replace = 0;
      store->LookupWord(word, score, replace);
      html += "<tr><td>" + AdminEscape(word) + "</td><td>" + std::to_string(score) + "</td></tr>\r\n";
    }
    html += "</tbody>\r\n</table>\r\n";
  }
  if (dictionaries.empty()) html = "<p>" + AdminEscape(Text(kMsgNothingSelected)) + "</p>\r\n";
  AdminShowReport(call, "dict_rep2_a.mhtml", html);
}

// ---- ShowSettings ----

std::string Row(const std::string& label, const std::string& value) {
  return "<tr><th scope=\"row\">" + AdminEscape(label) + "</th><td>" + AdminEscape(value) + "</td></tr>\r\n";
}

// Items of a multi-valued setting (0x1C, ',' or spaces between them) for display.
std::string Items(const std::string& value) {
  std::string out;
  for (const std::string& part : AdminSplit(value))
    for (const std::string& item : AdminSplit(part, ','))
      if (!AdminTrim(item).empty()) out += (out.empty() ? "" : ", ") + AdminTrim(item);
  return out;
}

void ShowSettings(AdminCall& call) {
  if (!ReportBegin(call, "ShowSettings", "User")) return;
  Configuration* config = AdminConfig(call);
  if (!config) return;
  std::string user = AdminTrim(call.Var("User")), client = AdminTrim(call.Var("Client"));
  AttributeTable s;
  GetEffectiveSettings(client, user, false, s);
  auto get = [&s](const char* name) {
    std::string value;
    s.Get(name, value);
    return value;
  };
  std::string userCast, clientCast, account;
  config->GetBaseAttribute(kTypeUser, user, kAttrCast, userCast);
  config->GetBaseAttribute(kTypeClient, client, kAttrCast, clientCast);
  config->GetBaseAttribute(kTypeUser, user, "RealAcct", account);
  std::string html = "<table class=\"settings\">\r\n";
  html += Row(Text(kMsgUser), user) + Row(Text(kMsgClient), client) + Row(Text(kMsgUsersCast), userCast) +
          Row(Text(kMsgClientsCast), clientCast) + Row("RealAcct", account);
  long quota = SettingNumber(get("MailQuota"));
  html += Row(Text(kMsgQuota), quota > 0 ? std::to_string(quota) + " MBs" : Text(kMsgNoQuota));
  std::string methods;
  if (AllowOstrelUI(client, user)) methods += "Web client";
  if (AllowSMTP(client, user)) methods += std::string(methods.empty() ? "" : ", ") + "SMTP";
  if (AllowPOP(client, user)) methods += std::string(methods.empty() ? "" : ", ") + "POP3";
  html += Row(Text(kMsgAllowedAccessMethods), methods.empty() ? "None" : methods);
  std::string forbidden = get("OnForbidden");
  html += Row(Text(kMsgBlockedDisposition), forbidden.starts_with('S')   ? Text(kMsgDelivered)
                                             : forbidden.starts_with('D') ? Text(kMsgDropped)
                                                                          : Text(kMsgBounced));
  std::string mode = get("FilterMode");
  html += Row(Text(kMsgFilteringMode), mode.starts_with('F')   ? "Filtered"
                                       : mode.starts_with('A') ? "Allow Only"
                                                               : "Unfiltered");
  // The list settings: direction letter, 'L', the list's name.
  std::string lists[4];  // cannot send, cannot receive, may send, may receive
  s.ForEach([&lists](const std::string& name, const std::string& value) {
    if (name.size() < 3 || name[1] != 'L' || (name[0] != 'S' && name[0] != 'R') || value.empty()) return;
    if (value[0] != 'D' && value[0] != 'A' && value[0] != 'a') return;
    std::string& into = lists[(value[0] == 'D' ? 0 : 2) + (name[0] == 'R' ? 1 : 0)];
    into += (into.empty() ? "" : ", ") + name.substr(2);
  });
  html += Row(Text(kMsgCannotSendToLists), lists[0]) + Row(Text(kMsgCannotReceiveFromLists), lists[1]) +
          Row(Text(kMsgAllowedToSendToLists), lists[2]) + Row(Text(kMsgAllowedToReceiveFromLists), lists[3]);
  long threshold = SettingNumber(get("DDRThreshold"));
  html += Row(Text(kMsgDictionariesUsed), Items(get("DictsToUse"))) +
          Row(Text(kMsgDictionaryThreshold), std::to_string(threshold < 1 ? 50 : threshold)) +
          Row(Text(kMsgBlockedMimeTypes), Items(get("BlockedMIMETypes")));
  std::string autolock = Text(kMsgNo);
  if (SettingNumber(get(kAttrAutoLock)) > 0)
    autolock = TernFormat(Text(kMsgAutoLockRule).c_str(), {get(kAttrAutoLockX), get(kAttrAutoLockY)});
  html += Row(Text(kMsgAutoLock), autolock) + "</table>\r\n";
  AdminShowReport(call, "settings_rep2_a.mhtml", html);
}

// ---- Diag ----

std::string FileListing(const std::string& path) {
  std::string html = "<br>File <b>" + AdminEscape(path) + "</b>:<br>\r\n";
  std::string text;
  bool read = false;
  if (FileExists(path, false)) {
    CTernDiskFile file(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
    int32_t size = -1;
    read = file.Open() && (size = file.Size()) >= 0 && size <= kMaxShownFile && file.Read(text) >= 0;
    file.Close();
  }
  if (!read) return html + "<i>Cannot open</i><br><br>\r\n";
  html += "<code><table class=\"file\">\r\n";
  for (const std::string& line : AdminSplit(text, '\n')) {
    std::string shown = line;
    if (!shown.empty() && shown.back() == '\r') shown.pop_back();
    html += "<tr><td>" + AdminEscape(shown) + "</td></tr>\r\n";
  }
  return html + "</table></code>\r\n";
}

void Diag(AdminCall& call) {
  // The diagnostics concern the whole installation.
  if (!ReportBegin(call, "Diag", "System")) return;
  const WebAdminServices& s = call.services;
  int64_t cached = s.mailboxes ? s.mailboxes->CachedMessages() : 0;
  std::string html = "<p>Cached Messages: " + std::to_string(cached) + "</p>\r\n<dl class=\"facts\">\r\n";
  for (const auto& [label, dir] : {std::pair{"InstallDir", s.installDir}, std::pair{"MailDir", s.mailDir},
                                   std::pair{"BoxDir", s.boxDir}, std::pair{"LocalDir", s.localDir}})
    html += std::string("<dt>") + label + "</dt><dd>" + AdminEscape(dir) + "</dd>\r\n";
  html += "</dl>\r\n";
  for (const std::string& path : {s.sharedConfigFile, PathJoin(s.localDir, "local-config"),
                                  PathJoin(s.localDir, "lists"), PathJoin(s.localDir, "dictionaries")})
    html += FileListing(path);
  AdminShowReport(call, "diag_a.mhtml", html);
}

}  // namespace

void AdminAddReportHandlers(WebContext& web, const AdminServicesPtr& services) {
  web.SetHandler("AccessReport", WebHandlerKind::Page, AdminHandler(services, AccessReport));
  web.SetHandler("ListReport", WebHandlerKind::Page, AdminHandler(services, ListReport));
  web.SetHandler("DictionaryReport", WebHandlerKind::Page, AdminHandler(services, DictionaryReport));
  web.SetHandler("ShowSettings", WebHandlerKind::Page, AdminHandler(services, ShowSettings));
  web.SetHandler("Diag", WebHandlerKind::Action, AdminHandler(services, Diag));
}
