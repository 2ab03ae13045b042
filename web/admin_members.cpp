// The members of lists and the words of dictionaries: the handlers ModifyList and
// ModifyDict, and the boxes their pages show (ListBox, WordBox), with the other
// small operations of the object pages (ObjBar, CastMemberBox, PermsBox,
// HttpPortValue).
#include <algorithm>
#include <cstdint>

#include "base/ascii.h"
#include "base/list.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/number.h"
#include "base/registry.h"
#include "base/string.h"
#include "config/config_object.h"
#include "config/configuration.h"
#include "config/dictionaries.h"
#include "config/dictionary_score.h"
#include "config/lists.h"
#include "log/activity_log.h"
#include "web/admin_common.h"
#include "web/template_engine.h"
#include "web/template_tag.h"

namespace {

// The record of one member or word added to or removed from a list or dictionary:
// "Added -- entry --> list" or "Removed -- entry <-- list".
void MemberRecord(const AdminCall& call, bool added, const std::string& entry, const std::string& target) {
  CTernMessages texts;
  std::string info = std::string(texts.Text(added ? kMsgAdded : kMsgRemoved)) + " -- " + entry +
                     (added ? " --> " : " <-- ") + target;
  AdminRecord(call, kActionObjectModified, kResultSucceeded, target, info);
}

// ---- ModifyList ----

void ModifyList(AdminCall& call) {
  AdminStep step{"ModifyList", 'M', kMsgAttemptedModify};
  if (!AdminBegin(call, step)) return;
  ListStore* lists = call.services.lists;
  Configuration* config = AdminConfig(call);
  if (!config) return;
  if (call.type != kTypeList || !lists) return AdminError(call, kMsgObjectTypeInvalid);
  std::string list = call.Name();
  if (config->ObjectExists(kTypeList, list) != 1) return AdminError(call, AdminText(kMsgObjectMissing, list));
  std::string owners = AdminOwnerList(list);
  std::vector<std::string> entries;
  for (const char* field : {"UsersToAdd", "ListsToAdd", "AddressToAdd"})
    for (const std::string& entry : AdminSplit(call.Var(field))) {
      std::string trimmed = AdminTrim(entry);
      if (!trimmed.empty()) entries.push_back(trimmed);
    }
  int failed = 0;
  for (const auto& [flag, target] : {std::pair{"AddToOwners", owners}, std::pair{"AddToList", list}}) {
    if (!call.Has(flag)) continue;
    for (const std::string& entry : entries) {
      int result = lists->AddToList(entry, target);
      failed |= result;
      if (result == 0) MemberRecord(call, true, entry, target);
    }
  }
  if (call.Has("RemoveFrom")) {
    for (const auto& [field, target] : {std::pair{"OwnerMembers", owners}, std::pair{"ListMembers", list}})
      for (const std::string& entry : AdminSplit(call.Var(field)))
        if (lists->RemoveFromList(entry, target) == 0) MemberRecord(call, false, entry, target);
  }
  if (lists->Save() != 0 || failed != 0) return AdminError(call, kMsgModifyAttributesFailed);
  AdminNext(call);
}

// ---- ModifyDict ----

// A word or phrase of letters, digits and single spaces (lower case is made by
// the dictionary). Bytes of UTF-8 sequences count as letters.
bool ValidWord(const std::string& word) {
  if (word.empty()) return false;
  for (char ch : word) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (!(c >= 0x80 || c == ' ' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
      return false;
  }
  return true;
}

// The word with runs of spaces made single and the ends trimmed.
std::string CleanWord(const std::string& text) {
  std::string out;
  for (const std::string& part : AdminSplit(AdminTrim(text), ' ')) {
    if (!out.empty()) out += ' ';
    out += part;
  }
  return out;
}

void ModifyDict(AdminCall& call) {
  AdminStep step{"ModifyDict", 'M', kMsgAttemptedModify};
  if (!AdminBegin(call, step)) return;
  DictionaryStore* dictionaries = call.services.dictionaries;
  Configuration* config = AdminConfig(call);
  if (!config) return;
  if (call.type != kTypeDictionary || !dictionaries) return AdminError(call, kMsgObjectTypeInvalid);
  std::string dictionary = call.Name();
  if (config->ObjectExists(kTypeDictionary, dictionary) != 1)
    return AdminError(call, AdminText(kMsgObjectMissing, dictionary));
  if (call.Has("AddTo")) {
    std::string word = CleanWord(call.Var("NewWord"));
    if (!ValidWord(word)) return AdminError(call, kMsgInvalidWord);
    int32_t score = 0, replace = 0;
    std::string replaceText = AdminTrim(call.Var("Replace"));
    if (!TernParseNumber(AdminTrim(call.Var("Score")), score, kDictionaryScoreMin, kDictionaryScoreMax) ||
        (!replaceText.empty() && !TernParseNumber(replaceText, replace)))
      return AdminError(call, kMsgModifyAttributesFailed);
    if (dictionaries->AddWord(word, dictionary, score, replace != 0 ? 1 : 0) != 0)
      return AdminError(call, kMsgModifyAttributesFailed);
    MemberRecord(call, true, word, dictionary);
  }
  if (call.Has("RemoveFrom")) {
    // Words are one table for all dictionaries: only this dictionary's go.
    std::vector<std::string> own = AdminSorted([&](auto& l) { dictionaries->ListWords(dictionary, l); });
    for (const std::string& word : AdminSplit(call.Var("Words")))
      if (std::find(own.begin(), own.end(), word) != own.end() && dictionaries->RemoveWord(word) == 0)
        MemberRecord(call, false, word, dictionary);
  }
  if (dictionaries->Save() != 0) return AdminError(call, kMsgModifyAttributesFailed);
  AdminNext(call);
}

// ---- Operations ----

std::string Variable(const TemplateCall& c, const std::string& name) {
  std::string value;
  c.page.request.GetVariable(name, value);
  return value;
}

int Write(const TemplateCall& c, const std::string& text) {
  c.page.request.Write(text);
  return kTemplateDone;
}

bool HasParam(const TemplateCall& c, const char* key) { return c.params.count(key) != 0; }

// ListBox list|ownerlist name=... [size] [multiple]: the members of the current
// list, or of its owner list.
int ListBox(const AdminServicesPtr& services, const TemplateCall& c) {
  std::string list = Variable(c, "objname");
  if (HasParam(c, "ownerlist")) list = AdminOwnerList(list);
  std::string out = TemplateSelectOpen(c.params);
  if (services->lists && !list.empty())
    for (const std::string& member : AdminSorted([&](auto& l) { services->lists->GetMembers(list, l); }))
      TemplateOption(out, member, false);
  return Write(c, out + "</select>\r\n");
}

// WordBox name=... [dictionary=...]: the local words of the dictionary (the
// current object when the tag names none), each shown with its score.
int WordBox(const AdminServicesPtr& services, const TemplateCall& c) {
  std::string dictionary = TemplateParam(c.params, "dictionary");
  if (dictionary.empty()) dictionary = Variable(c, "objname");
  std::string out = TemplateSelectOpen(c.params);
  DictionaryStore* store = services->dictionaries;
  if (store && !dictionary.empty()) {
    for (const std::string& word : AdminSorted([&](auto& l) { store->ListWords(dictionary, l); })) {
      int32_t score = 0, replace = 0;
      store->LookupWord(word, score, replace);
      std::string label = word + " (" + std::to_string(score) + (replace ? ", masked" : "") + ")";
      out += "<option value=\"" + AdminEscape(word) + "\">" + AdminEscape(label) + "</option>\r\n";
    }
  }
  return Write(c, out + "</select>\r\n");
}

// ObjBar: the title image of the current object type.
int ObjBar(const TemplateCall& c) {
  static const std::pair<char, const char*> kBars[] = {{kTypeCast, "castbar"}, {kTypeClient, "clientbar"},
                                                       {kTypeDictionary, "dictbar"}, {kTypeList, "listbar"},
                                                       {kTypeUser, "userbar"}, {kTypeSystem, "systembar"}};
  std::string type = TemplateParam(c.params, "objtype");
  if (type.empty()) type = Variable(c, "objtype");
  if (type.empty()) return kTemplateDone;
  for (const auto& [letter, bar] : kBars)
    if (TernUpperAscii(type[0]) == letter)
      return Write(c, std::string("<img class=\"objbar\" src=\"/images/english/") + bar +
                          ".gif\" width=\"240\" height=\"32\" alt=\"" + ConfigObject::Label(letter) + "\">");
  return kTemplateDone;
}

// CastMemberBox name=... [size] [multiple]: the users and clients whose Cast is
// the current cast, as "U:name" and "C:name".
int CastMemberBox(const TemplateCall& c) {
  std::string cast = Variable(c, "objname");
  std::string out = TemplateSelectOpen(c.params);
  Configuration* config = c.page.config;
  if (config && !cast.empty()) {
    for (char type : {kTypeUser, kTypeClient}) {
      for (const std::string& name : AdminSorted([&](auto& l) { config->ListNames(type, l, true); })) {
        std::string value;
        if (config->GetBaseAttribute(type, name, kAttrCast, value) != 0 || !TernEqualsNoCase(value, cast))
          continue;
        out += "<option value=\"" + AdminEscape(std::string(1, type) + ":" + name) + "\">" +
               AdminEscape(std::string(ConfigObject::Label(type)) + " " + name) + "</option>\r\n";
      }
    }
  }
  return Write(c, out + "</select>\r\n");
}

// PermsBox kind=method|object name=...: a multiple selection of the action or the
// type letters, those of the current user object's OstrelPerms selected.
int PermsBox(const TemplateCall& c) {
  static const std::pair<char, const char*> kMethods[] = {{'A', "Add"},      {'D', "Delete"},
                                                          {'M', "Modify"},   {'G', "Grant permissions"},
                                                          {'S', "Schedule"}, {'R', "Report"}};
  static const std::pair<char, const char*> kObjects[] = {{'U', "Users"}, {'C', "Clients"},     {'G', "Casts"},
                                                          {'L', "Lists"}, {'D', "Dictionaries"}, {'S', "System"}};
  bool methods = TemplateParam(c.params, "kind") != "object";
  std::string perms;
  if (c.page.config) c.page.config->GetBaseAttribute(kTypeUser, Variable(c, "objname"), "OstrelPerms", perms);
  std::string held = AdminPermsSide(perms, methods);
  std::string out = TemplateSelectOpen(c.params);
  for (const auto& [letter, label] : methods ? kMethods : kObjects) {
    out += "<option value=\"" + std::string(1, letter) + "\"" +
           (held.find(letter) != std::string::npos ? " selected" : "") + ">" + label + "</option>\r\n";
  }
  return Write(c, out + "</select>\r\n");
}

}  // namespace

void AdminAddMemberHandlers(WebContext& web, const AdminServicesPtr& services) {
  web.SetHandler("ModifyList", WebHandlerKind::Action, AdminHandler(services, ModifyList));
  web.SetHandler("ModifyDict", WebHandlerKind::Action, AdminHandler(services, ModifyDict));
  web.AddOperation("ListBox", [services](const TemplateCall& c) { return ListBox(services, c); });
  web.AddOperation("WordBox", [services](const TemplateCall& c) { return WordBox(services, c); });
  web.AddOperation("ObjBar", ObjBar);
  web.AddOperation("CastMemberBox", CastMemberBox);
  web.AddOperation("PermsBox", PermsBox);
  web.AddOperation("HttpPortValue", [services](const TemplateCall& c) {
    return Write(c, AdminEscape(RegistryReadSetting(services->product, "HTTPPort", "8003")));
  });
}
