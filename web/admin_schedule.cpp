// Schedule events of an object: deleting one, and the wizard that builds one
// (EditEvent picks the first page by the event's kind; SchedJunc to SchedJunc4
// lead through the time, the sending lists, the receiving lists and the
// dictionaries and MIME types, then store the event). Also the operations the
// event pages show: EventTable, EventListBox, DictChoices, WeekdayBoxes,
// ShowEventAttr and OtherMIME.
//
// The wizard's pages carry every choice forward in hidden variables ("HV-" +
// name); each page marks that it was seen (Step3, Step4, Step5), so that a step
// not visited keeps the event's settings as they were.
#include <set>

#include "base/ascii.h"
#include "base/list.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/string.h"
#include "config/attribute_list.h"
#include "config/attribute_table.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/schedule_event.h"
#include "log/activity_log.h"
#include "platform/clock.h"
#include "web/admin_common.h"
#include "web/template_engine.h"
#include "web/template_tag.h"

namespace {

constexpr char kWeeklyPage[] = "sched1a_a_l.mhtml";
constexpr char kDatedPage[] = "sched1b_a_l.mhtml";
constexpr char kDefaultPage[] = "sched2_a_l.mhtml";
constexpr char kSendingPage[] = "sched3_a_l.mhtml";
constexpr char kReceivingPage[] = "sched4_a_l.mhtml";
constexpr char kDictionaryPage[] = "sched5_a_l.mhtml";
constexpr char kStandardMime[] = "application/* image/* video/* audio/*";
constexpr char kAttrBlockedMime[] = "BlockedMIMETypes";
constexpr char kAttrDictsToUse[] = "DictsToUse";
constexpr char kAttrThreshold[] = "DDRThreshold";
constexpr char kAttrFilterMode[] = "FilterMode";

// The list choices of the wizard: the form variable, the direction letter of the
// setting and the setting's value.
struct ListChoice {
  const char* variable;
  char direction;
  char setting;
};
constexpr ListChoice kListChoices[] = {
    {"SendDeny", 'S', 'D'}, {"SendAllow", 'S', 'A'}, {"SendAllowScored", 'S', 'a'},
    {"RecvDeny", 'R', 'D'}, {"RecvAllow", 'R', 'A'}, {"RecvAllowScored", 'R', 'a'},
};

// The first page of the wizard for an event's When, or null.
const char* FirstPage(const std::string& when) {
  if (when.empty()) return nullptr;
  if (when[0] == 'D') return kDefaultPage;
  if (when[0] == 'E') return kDatedPage;
  return when.find_first_not_of("0123456") == std::string::npos ? kWeeklyPage : nullptr;
}

// Entries of a choice as the form or a hidden variable carries them.
std::vector<std::string> Entries(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& part : AdminSplit(text))
    for (const std::string& entry : AdminSplit(part, ',')) out.push_back(entry);
  return out;
}

// The multiple choices travel on joined by ',' (list names and MIME types hold
// none), so that hidden form fields carry no control characters.
void FlattenChoices(AdminCall& call) {
  std::vector<std::string> names = {"MIME"};
  for (const ListChoice& choice : kListChoices) names.push_back(choice.variable);
  for (const std::string& name : names) {
    for (const std::string& key : {name, "HV-" + name}) {
      std::string value;
      if (!call.request.GetVariable(key, value)) continue;
      for (char& c : value)
        if (c == '\x1c') c = ',';
      call.request.ReplaceVariable(key, value);
    }
  }
}

void Show(AdminCall& call, const char* page) {
  FlattenChoices(call);
  call.request.ReplaceVariable("what", page);
  call.web.DisplayPage(call.request);
}

bool BeginSchedule(AdminCall& call, const char* handler) {
  AdminStep step{handler, 'S', kMsgAttemptedSchedule};
  if (!AdminBegin(call, step)) return false;
  if (!AdminConfig(call)) return false;
  if (Configuration::Process()->ObjectExists(call.type, call.Name()) != 1) {
    AdminError(call, AdminText(kMsgObjectMissing, call.Name()));
    return false;
  }
  return true;
}

void DeleteEvent(AdminCall& call) {
  if (!BeginSchedule(call, "DeleteEvent")) return;
  std::string key = call.Var("Event");
  if (key.empty()) return AdminError(call, kMsgNoEventSelected);
  if (Configuration::Process()->DeleteEvent(call.type, call.Name(), key) != 0)
    return AdminError(call, kMsgModifyAttributesFailed);
  AdminRecord(call, kActionObjectScheduled, kResultSucceeded, call.Name(),
              AdminText(kMsgDeletedEvent) + " -- " + key);
  AdminNext(call);
}

void EditEvent(AdminCall& call) {
  if (!BeginSchedule(call, "EditEvent")) return;
  std::string key = call.Var("Event");
  if (key.empty()) return AdminError(call, kMsgNoEventSelected);
  std::string when;
  if (Configuration::Process()->GetEventValue(call.type, call.Name(), key, kEventWhen, when) != 0)
    return AdminError(call, kMsgNoEventSelected);
  const char* page = FirstPage(when);
  if (!page) return AdminError(call, kMsgUnknownEventType);
  Show(call, page);
}

// Builds the event from the wizard's choices and stores it in place of `Event`.
void BuildEvent(AdminCall& call) {
  Configuration* config = Configuration::Process();
  std::string name = call.Name(), oldKey = call.Carried("Event");
  AttributeTable settings;
  // Steps not visited keep what the event held.
  if (!oldKey.empty()) config->GetEventSettings(call.type, name, oldKey, settings);
  AttributeTable times;
  if (!ParseAttributeList(call.Carried("newsettings"), times) || times.Empty())
    return AdminError(call, kMsgInvalidTimeRange);
  settings.Merge(times);
  std::vector<std::string> stale;
  settings.ForEach([&](const std::string& attribute, const std::string&) {
    bool send = attribute.size() > 2 && attribute[0] == 'S' && attribute[1] == 'L';
    bool receive = attribute.size() > 2 && attribute[0] == 'R' && attribute[1] == 'L';
    if ((send && !call.Carried("Step3").empty()) || (receive && !call.Carried("Step4").empty()))
      stale.push_back(attribute);
  });
  for (const std::string& attribute : stale) settings.Remove(attribute);
  if (!call.Carried("Step3").empty()) {
    std::string mode = call.Carried(kAttrFilterMode);
    if (mode.empty()) settings.Remove(kAttrFilterMode);
    else settings.Set(kAttrFilterMode, mode);
  }
  for (const ListChoice& choice : kListChoices) {
    if (call.Carried(choice.direction == 'S' ? "Step3" : "Step4").empty()) continue;
    for (const std::string& list : Entries(call.Carried(choice.variable)))
      settings.Set(std::string{choice.direction, 'L'} + list, std::string(1, choice.setting));
  }
  if (!call.Carried("Step5").empty()) {
    std::string dicts;
    for (const auto& [variable, value] : call.request.Variables())
      if (variable.size() > 3 && variable.compare(0, 3, "DD-") == 0 && value == "1")
        dicts += (dicts.empty() ? "" : "\x1c") + variable.substr(3);
    // The content filter reads both as items separated by 0x1C: types joined by
    // spaces would be one pattern that matches no part, and block nothing.
    std::string mime;
    for (const std::string& type : Entries(call.Var("MIME"))) mime += (mime.empty() ? "" : "\x1c") + type;
    for (const std::string& type : AdminSplit(call.Var("OtherMIMETypes"), ' '))
      if (!AdminTrim(type).empty()) mime += (mime.empty() ? "" : "\x1c") + AdminTrim(type);
    std::string threshold = AdminTrim(call.Var(kAttrThreshold));
    for (const auto& [attribute, value] : {std::pair{kAttrDictsToUse, dicts}, std::pair{kAttrBlockedMime, mime},
                                           std::pair{kAttrThreshold, threshold}}) {
      if (value.empty()) settings.Remove(attribute);
      else settings.Set(attribute, value);
    }
  }
  // An event that could never hold is refused before the old one is touched.
  EventSchedule schedule;
  if (!ReadEventSchedule(settings, schedule) || !schedule.Valid()) return AdminError(call, kMsgInvalidTimeRange);
  if (schedule.Expired(PlatformNow())) return AdminError(call, kMsgTimePassed);
  EventAddResult outcome = EventAddResult::kInvalid;
  config->ReplaceEventTable(call.type, name, oldKey, settings, &outcome);
  if (outcome == EventAddResult::kConflict) return AdminError(call, kMsgEventConflict);
  if (outcome == EventAddResult::kExpired) return AdminError(call, kMsgTimePassed);
  if (outcome != EventAddResult::kStored) return AdminError(call, kMsgAddEventFailed);
  AdminRecord(call, kActionObjectScheduled, kResultSucceeded, name,
              AdminText(oldKey.empty() ? kMsgAddedEvent : kMsgEditedEvent) + " -- " + schedule.Key());
  call.request.ReplaceVariable("what", kWebSuccessPage);
  call.web.DisplayPage(call.request);
}

// The junctions: Submit goes on to next, Finish stores the event at once, and
// anything else shows the step again.
void Junction(AdminCall& call, const char* handler, const char* next, const char* again) {
  if (!BeginSchedule(call, handler)) return;
  if (call.Has("Finish")) return BuildEvent(call);
  Show(call, call.Has("Submit") ? next : again);
}

void SchedJunc(AdminCall& call) {
  // The weekday boxes arrive as several values of When: one text of digits.
  std::string when;
  for (const std::string& part : AdminSplit(call.Var("When"))) when += part;
  if (call.Has("When")) call.request.ReplaceVariable("When", when);
  const char* first = FirstPage(call.Var("When"));
  Junction(call, "SchedJunc", kSendingPage, first ? first : kWeeklyPage);
}

void SchedJunc2(AdminCall& call) { Junction(call, "SchedJunc2", kReceivingPage, kSendingPage); }

void SchedJunc3(AdminCall& call) {
  // The receiving choices may be the sending ones.
  if (call.Has("CopyFromSending")) {
    for (const ListChoice& choice : kListChoices)
      if (choice.direction == 'R') {
        std::string sending = std::string("Send") + (choice.variable + 4);
        call.request.ReplaceVariable(choice.variable, call.Carried(sending));
        call.request.ReplaceVariable("HV-" + std::string(choice.variable), call.Carried(sending));
      }
  }
  Junction(call, "SchedJunc3", kDictionaryPage, kReceivingPage);
}

void SchedJunc4(AdminCall& call) {
  if (!BeginSchedule(call, "SchedJunc4")) return;
  if (!call.Has("Submit") && !call.Has("Finish")) return Show(call, kDictionaryPage);
  BuildEvent(call);
}

// ---- Operations ----

std::string Variable(const TemplateCall& c, const std::string& name) {
  std::string value;
  if (!c.page.request.GetVariable(name, value)) c.page.request.GetVariable("HV-" + name, value);
  return value;
}

int Write(const TemplateCall& c, const std::string& text) {
  c.page.request.Write(text);
  return kTemplateDone;
}

char CurrentType(const TemplateCall& c) {
  std::string type = Variable(c, "objtype");
  return type.empty() ? 0 : TernUpperAscii(type[0]);
}

// The value the event being edited gives an attribute, else the system's default
// event's.
bool EventValue(const TemplateCall& c, const std::string& attribute, std::string& value) {
  Configuration* config = c.page.config;
  if (!config) return false;
  std::string key = Variable(c, "Event");
  if (!key.empty() && config->GetEventValue(CurrentType(c), Variable(c, "objname"), key, attribute, value) == 0)
    return true;
  return config->GetEventValue(kTypeSystem, "", kDefaultEventKey, attribute, value) == 0;
}

std::vector<std::string> SortedNames(Configuration& config, char type) {
  return AdminSorted([&](auto& l) { config.ListNames(type, l, true); });
}

// A readable form of an event's schedule.
std::string Describe(const EventSchedule& s) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  char times[96];
  snprintf(times, sizeof times, "%02ld:%02ld to %02ld:%02ld", s.start / 10000, s.start / 100 % 100,
           s.end / 10000, s.end / 100 % 100);
  if (s.IsDefault()) return "Default (always)";
  if (s.IsSpecific()) {
    char date[128];
    snprintf(date, sizeof date, "%04ld-%02ld-%02ld for %ld day%s, ", s.date / 10000, s.date / 100 % 100,
             s.date % 100, s.repeat, s.repeat == 1 ? "" : "s");
    return date + std::string(times);
  }
  std::string days;
  for (char d : s.when)
    if (d >= '0' && d <= '6') days += std::string(days.empty() ? "" : " ") + kDays[d - '0'];
  return days + ", " + times;
}

// EventTable [radio] [skipSysDefault]: the events of the current object.
int EventTable(const TemplateCall& c) {
  Configuration* config = c.page.config;
  char type = CurrentType(c);
  std::string name = type == kTypeSystem ? "" : Variable(c, "objname");
  CTernList<CTernString> keys;
  if (config && type) config->EventKeys(type, name, keys);
  bool radio = c.params.count("radio") != 0;
  std::string out = "<table class=\"events\">\r\n<thead><tr>";
  if (radio) out += "<th scope=\"col\">Choose</th>";
  out += "<th scope=\"col\">When</th><th scope=\"col\">Settings</th></tr></thead>\r\n<tbody>\r\n";
  int rows = 0;
  keys.ForEach([&](const CTernString& item) {
    std::string key = item.Str();
    if (type == kTypeSystem && key == kDefaultEventKey && c.params.count("skipSysDefault")) return;
    AttributeTable settings;
    EventSchedule schedule;
    if (config->GetEventSettings(type, name, key, settings) != 0 || !ReadEventSchedule(settings, schedule)) return;
    std::string shown;
    settings.ForEach([&](const std::string& attribute, const std::string& value) {
      for (const char* field : {kEventWhen, kEventDate, kEventStart, kEventEnd, kEventRepeat})
        if (attribute == field) return;
      shown += (shown.empty() ? "" : ", ") + attribute + "=" + value;
    });
    std::string id = "event" + std::to_string(++rows);
    out += "<tr>";
    if (radio)
      out += "<td><input type=\"radio\" name=\"Event\" id=\"" + id + "\" value=\"" + AdminEscape(key) + "\"></td>";
    out += "<td><label for=\"" + id + "\">" + AdminEscape(Describe(schedule)) + "</label></td><td>" +
           AdminEscape(shown.empty() ? "(no settings)" : shown) + "</td></tr>\r\n";
  });
  if (rows == 0) out += "<tr><td colspan=\"3\"><i>No events.</i></td></tr>\r\n";
  return Write(c, out + "</tbody>\r\n</table>\r\n");
}

// EventListBox name=... direction=S|R setting=D|A|a [size] [multiple]: the lists
// (owner lists aside), those the event gives this setting selected; a choice
// already made in the wizard counts first.
int EventListBox(const TemplateCall& c) {
  std::string variable = TemplateParam(c.params, "name");
  std::string direction = TemplateParam(c.params, "direction"), setting = TemplateParam(c.params, "setting");
  std::string chosenText;
  bool chosen = c.page.request.GetVariable(variable, chosenText) ||
                c.page.request.GetVariable("HV-" + variable, chosenText);
  std::set<std::string> picked;
  for (const std::string& entry : Entries(chosenText)) picked.insert(entry);
  std::string out = TemplateSelectOpen(c.params);
  if (c.page.config && direction.size() == 1 && setting.size() == 1) {
    for (const std::string& list : SortedNames(*c.page.config, kTypeList)) {
      if (TernBeginsNoCase(list, "owner-")) continue;
      std::string value;
      bool selected = chosen ? picked.count(list) != 0
                             : EventValue(c, direction + "L" + list, value) && !value.empty() && value[0] == setting[0];
      TemplateOption(out, list, selected);
    }
  }
  return Write(c, out + "</select>\r\n");
}

// DictChoices: a check box "DD-" + name for every dictionary, checked when the
// event's DictsToUse names it.
int DictChoices(const TemplateCall& c) {
  if (!c.page.config) return kTemplateDone;
  std::string inUse;
  EventValue(c, kAttrDictsToUse, inUse);
  std::set<std::string> used;
  for (const std::string& entry : Entries(inUse)) used.insert(TernLoweredAscii(AdminTrim(entry)));
  std::string out = "<fieldset>\r\n<legend>Dictionaries used</legend>\r\n";
  for (const std::string& name : SortedNames(*c.page.config, kTypeDictionary)) {
    std::string field = AdminEscape("DD-" + name);
    out += "<label class=\"check\"><input type=\"checkbox\" name=\"" + field + "\" value=\"1\"" +
           (used.count(TernLoweredAscii(name)) ? " checked" : "") + "> " + AdminEscape(name) + "</label>\r\n";
  }
  return Write(c, out + "</fieldset>\r\n");
}

// WeekdayBoxes: a check box "When" per weekday, checked when the event holds on it.
int WeekdayBoxes(const TemplateCall& c) {
  static const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  std::string when;
  std::string key = Variable(c, "Event");
  if (c.page.config && !key.empty())
    c.page.config->GetEventValue(CurrentType(c), Variable(c, "objname"), key, kEventWhen, when);
  std::string out;
  for (int d = 0; d < 7; ++d) {
    char digit = static_cast<char>('0' + d);
    out += std::string("<label class=\"check\"><input type=\"checkbox\" name=\"When\" value=\"") + digit + "\"" +
           (when.find(digit) != std::string::npos && when[0] != 'E' && when[0] != 'D' ? " checked" : "") + "> " +
           kDays[d] + "</label>\r\n";
  }
  return Write(c, out);
}

// ShowEventAttr name=...: the value the event (or the system's default event)
// gives the attribute, escaped.
int ShowEventAttr(const TemplateCall& c) {
  std::string value;
  EventValue(c, TemplateParam(c.params, "name"), value);
  return Write(c, AdminEscape(value));
}

// OtherMIME: the blocked MIME types of the event beyond the standard groups.
int OtherMime(const TemplateCall& c) {
  std::string blocked, out;
  EventValue(c, kAttrBlockedMime, blocked);
  std::vector<std::string> standard = AdminSplit(kStandardMime, ' ');
  for (const std::string& part : AdminSplit(blocked))
    for (const std::string& type : AdminSplit(part, ' ')) {
      bool common = false;
      for (const std::string& s : standard) common = common || TernEqualsNoCase(s, type);
      if (!common && !type.empty()) out += (out.empty() ? "" : " ") + type;
    }
  return Write(c, AdminEscape(out));
}

}  // namespace

void AdminAddScheduleHandlers(WebContext& web, const AdminServicesPtr& services) {
  web.SetHandler("DeleteEvent", WebHandlerKind::Action, AdminHandler(services, DeleteEvent));
  web.SetHandler("EditEvent", WebHandlerKind::Action, AdminHandler(services, EditEvent));
  web.SetHandler("SchedJunc", WebHandlerKind::Action, AdminHandler(services, SchedJunc));
  web.SetHandler("SchedJunc2", WebHandlerKind::Action, AdminHandler(services, SchedJunc2));
  web.SetHandler("SchedJunc3", WebHandlerKind::Action, AdminHandler(services, SchedJunc3));
  web.SetHandler("SchedJunc4", WebHandlerKind::Action, AdminHandler(services, SchedJunc4));
  web.AddOperation("EventTable", EventTable);
  web.AddOperation("EventListBox", EventListBox);
  web.AddOperation("DictChoices", DictChoices);
  web.AddOperation("WeekdayBoxes", WeekdayBoxes);
  web.AddOperation("ShowEventAttr", ShowEventAttr);
  web.AddOperation("OtherMIME", OtherMime);
}
