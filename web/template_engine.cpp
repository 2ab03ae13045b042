// The template processor: lines, tags, the condition stack and the conditions.
#include "web/template_engine.h"

#include <vector>

#include "base/ascii.h"
#include "base/disk_file.h"
#include "base/file_ops.h"
#include "base/message_codes.h"
#include "base/messages.h"
#include "base/report.h"
#include "config/config_object.h"
#include "config/configuration.h"

namespace {

constexpr size_t kMaxIfLevels = 5;
constexpr char kTagOpen[] = "<X-";
constexpr char kSystemDefaultEvent[] = "D0000000000000";

// One open "If": its result and whether its "Else" branch is being read.
struct Level {
  bool result = true;
  bool inElse = false;
};

bool IsNameCharacter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool OutputOn(const std::vector<Level>& levels) {
  for (const Level& l : levels)
    if (l.result == l.inElse) return false;
  return true;
}

std::string Variable(const TemplatePage& page, const std::string& name) {
  std::string value;
  page.request.GetVariable(name, value);
  return value;
}

// Compares by a statement's operator; an unknown operator is false, and logged
// when both sides have text.
bool Compare(bool defined, const std::string& value, const std::string& op, const std::string& operand) {
  TemplateCompareResult r = TemplateCompare(defined, value, op, operand);
  if (r == TemplateCompareResult::UnknownOperator && !value.empty() && !operand.empty())
    TernReportEventF(TernEventType::Error, kMsgMetaOperationNotFound, op);
  return r == TemplateCompareResult::True;
}

// The operand with "$name" replaced by that request variable when it exists.
std::string Operand(const TemplatePage& page, const TemplateStatement& s) {
  if (s.operand.size() > 1 && s.operand[0] == '$') {
    std::string value;
    if (page.request.GetVariable(s.operand.substr(1), value)) return value;
  }
  return s.operand;
}

bool VariableStatement(const TemplatePage& page, const std::string& text) {
  TemplateStatement s = TemplateSplitStatement(text);
  std::string value;
  bool defined = page.request.GetVariable(s.name, value);
  return Compare(defined, value, s.op, Operand(page, s));
}

enum class AttributeSource { Object, Event, EventOrSystemDefault };

// An attribute statement on the object named by the request variables `objtype`
// and `objname` (or on its event `Event`).
bool AttributeStatement(const TemplatePage& page, const std::string& text, AttributeSource source) {
  TemplateStatement s = TemplateSplitStatement(text);
  std::string value;
  bool defined = false;
  std::string type = Variable(page, "objtype");
  if (page.config && !type.empty()) {
    char letter = TernUpperAscii(type[0]);
    std::string name = Variable(page, "objname");
    std::string event = Variable(page, "Event");
    switch (source) {
      case AttributeSource::Object:
        defined = page.config->GetValue(letter, name, s.name, value) == 0;
        break;
      case AttributeSource::Event:
        defined = page.config->GetEventValue(letter, name, event, s.name, value) == 0;
        break;
      case AttributeSource::EventOrSystemDefault:
        defined = page.config->GetEventValue(letter, name, event, s.name, value) == 0 ||
                  page.config->GetEventValue(kTypeSystem, "", kSystemDefaultEvent, s.name, value) == 0;
        break;
    }
  }
  return Compare(defined, value, s.op, Operand(page, s));
}

bool ConditionHolds(const TemplatePage& page, const std::string& key, const std::string& value) {
  if (key == "perms") return TemplatePermissionTest(value, page.userPerms);
  if (key == "objperms") return TemplatePermissionTest(value, page.objectPerms);
  if (key == "platform") return value == "NT";
  if (key == "varstmt") return VariableStatement(page, value);
  if (key == "attrstmt") return AttributeStatement(page, value, AttributeSource::Object);
  if (key == "eventstmt") return AttributeStatement(page, value, AttributeSource::Event);
  if (key == "varEventChain") return AttributeStatement(page, value, AttributeSource::EventOrSystemDefault);
  if (key == "CanEditPerms") {
    std::string name = Variable(page, "objname");
    return !TernEqualsNoCase(name, page.user) && name != "Administrator";
  }
  return true;  // other keys are no conditions
}

class Processor {
 public:
  Processor(const TemplatePage& page, std::string path) : m_Page(page), m_Path(std::move(path)) {}

  // Runs the lines; false when an operation answered the whole request.
  bool Run(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end + 1;
      if (!Line(std::string_view(text).substr(start, end - start))) return false;
      start = end;
    }
    if (!m_Levels.empty()) BadSequence();
    return true;
  }

 private:
  void Write(std::string_view text) {
    if (!text.empty() && OutputOn(m_Levels)) m_Page.request.Write(text);
  }

  void BadSequence() { TernReportEventF(TernEventType::Error, kMsgBadIfElseFi, m_Path); }

  bool Line(std::string_view line) {
    size_t pos = 0;
    for (;;) {
      size_t open = line.find(kTagOpen, pos);
      if (open == std::string_view::npos) break;
      size_t close = line.find('>', open + 3);
      if (close == std::string_view::npos) break;  // the rest is written as text
      Write(line.substr(pos, open - pos));
      pos = close + 1;
      if (!Tag(line.substr(open + 3, close - open - 3))) return false;
    }
    Write(line.substr(pos));
    return true;
  }

  bool Tag(std::string_view text) {
    std::string name;
    TemplateParams params;
    if (!TemplateParseTag(text, name, params)) return true;
    if (name == "If") {
      if (m_Levels.size() >= kMaxIfLevels) {
        BadSequence();
        return true;
      }
      // Conditions inside a section that is not shown are not evaluated.
      Level level;
      if (OutputOn(m_Levels)) level.result = TemplateCondition(m_Page, params);
      m_Levels.push_back(level);
    } else if (name == "Else") {
      if (m_Levels.empty()) BadSequence();
      else m_Levels.back().inElse = true;
    } else if (name == "Fi") {
      if (m_Levels.empty()) BadSequence();
      else m_Levels.pop_back();
    } else if (OutputOn(m_Levels)) {
      TemplateCall call{name, params, m_Page};
      int r = m_Page.operations ? m_Page.operations->Call(call) : kTemplateNotMine;
      if (r == kTemplateNotMine) r = TemplateEngineOperations().Call(call);
      if (r == kTemplateStop) return false;
    }
    return true;
  }

  const TemplatePage& m_Page;
  std::string m_Path;
  std::vector<Level> m_Levels;
};

}  // namespace

void TemplateOperationTable::Register(const std::string& name, TemplateOperation operation) {
  m_Operations[name] = std::move(operation);
}

int TemplateOperationTable::Call(const TemplateCall& call) const {
  auto it = m_Operations.find(call.name);
  return it == m_Operations.end() ? kTemplateNotMine : it->second(call);
}

bool TemplateValidName(const std::string& name) {
  constexpr std::string_view kExtension = ".mhtml";
  if (name.size() <= kExtension.size() || name.size() > 128 ||
      name.compare(name.size() - kExtension.size(), kExtension.size(), kExtension) != 0)
    return false;
  for (size_t i = 0; i < name.size() - kExtension.size(); ++i) {
    if (!IsNameCharacter(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

bool TemplateCondition(const TemplatePage& page, const TemplateParams& params) {
  for (const auto& [key, value] : params)
    if (!ConditionHolds(page, key, value)) return false;
  return true;
}

void TemplateProcess(const TemplatePage& page) {
  CTernMessages messages;
  std::string what;
  if (!page.request.GetVariable("what", what)) {
    page.error(page.request, messages.Text(kMsgMissingDisplayFileName));
    return;
  }
  // Only a plain template name is joined to the directory; the error names the
  // template asked for, never a path of this machine.
  std::string path = PathJoin(page.templateDir, what);
  std::string text;
  bool read = false;
  if (TemplateValidName(what) && FileExists(path, false)) {
    CTernDiskFile file(path, TernFileMode::ReadOnly | TernFileMode::NoLock);
    read = file.Open() && file.Read(text) >= 0;
    file.Close();
  }
  if (!read) {
    // A name that is no template name is not repeated: it may be a path.
    std::string text = messages.Text(kMsgMissingFile);
    page.error(page.request, TemplateValidName(what) ? text + what : text);
    return;
  }
  Processor(page, path).Run(text);
}
