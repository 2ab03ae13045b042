// The template engine: turns a ".mhtml" template into the page of a request.
//
// A template is HTML in which meta tags, "<X-" name parameters ">" on one line,
// stand for conditional sections ("If" with conditions, "Else", "Fi", at most five
// levels deep) and for generated pieces. A tag that is not "If", "Else" or "Fi" is
// an operation: first the application's table is asked (the web pages register the
// mailbox, message and object widgets there), then the engine's own operations
// (ShowVar, PlaceHiddenVars, ObjBox, TimeBox ...). Every text taken from a request,
// a mail or the configuration is HTML-escaped where it is written; ShowVar's
// "noescape" is honoured only for a variable holding HTML that the server built
// (TemplateRequest::ServerHtml).
#pragma once

#include <functional>
#include <map>
#include <string>

#include "web/template_request.h"
#include "web/template_tag.h"

class Configuration;
struct TemplatePage;

// What an operation returns.
enum TemplateOpResult {
  kTemplateNotMine = 0,  // not an operation of this table
  kTemplateDone = 1,     // done; the page goes on
  kTemplateStop = 2,     // done, and the operation has answered the whole request
};

// One call of an operation: the tag's parameters and the page being produced.
struct TemplateCall {
  const std::string& name;
  const TemplateParams& params;
  const TemplatePage& page;
};
using TemplateOperation = std::function<int(const TemplateCall& call)>;

// A table of operations by name (names compare exactly). Filled before use, then
// only read, by any number of threads.
class TemplateOperationTable {
 public:
  void Register(const std::string& name, TemplateOperation operation);
  // kTemplateNotMine when no operation has the name.
  int Call(const TemplateCall& call) const;
  bool Has(const std::string& name) const { return m_Operations.count(name) != 0; }

 private:
  std::map<std::string, TemplateOperation> m_Operations;
};

// Answers the request with an error page carrying the text.
using TemplateErrorRoutine = std::function<void(TemplateRequest& request, const std::string& text)>;

// Everything one page is made with.
struct TemplatePage {
  TemplateRequest& request;
  std::string templateDir;   // the language's template directory
  std::string user;          // the logged-in user (empty before a login)
  std::string client;        // the client's address, for activity records
  std::string userPerms;     // the user's permission list
  std::string objectPerms;   // the permission list of the user named by `objname`
  Configuration* config = nullptr;                 // null: attribute tests fail
  const TemplateOperationTable* operations = nullptr;  // the application's table
  TemplateErrorRoutine error;
};

// A template name the engine opens: letters, digits, "_" and "-", then ".mhtml".
// Anything else (a path, "..") is answered as a missing file.
bool TemplateValidName(const std::string& name);

// Produces the page named by the request variable `what` into the request's
// response. The caller finishes the response afterwards. Without `what` the error
// routine gets "Error: Missing filename to display."; a template that cannot be
// read gets "Error: Missing file " followed by its name, or by nothing when the
// name is not a valid template name.
void TemplateProcess(const TemplatePage& page);

// The condition of an "If" tag: true when every condition parameter holds.
bool TemplateCondition(const TemplatePage& page, const TemplateParams& params);

// The engine's own operations (the table TemplateProcess falls back to).
const TemplateOperationTable& TemplateEngineOperations();

// Pieces the engine's widgets share with the application's operations.
// A tag parameter's value; empty when the tag does not give it.
std::string TemplateParam(const TemplateParams& params, const char* key);
// The opening select tag from the parameters `name`, `size` and `multiple`.
std::string TemplateSelectOpen(const TemplateParams& params);
// Appends an option whose value is also its label (escaped), selected or not.
void TemplateOption(std::string& out, const std::string& value, bool selected);
