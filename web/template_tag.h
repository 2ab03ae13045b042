// The pure pieces of the template engine: reading a meta tag into its name and
// parameters, the permission test, the comparisons of variable and attribute
// statements, and HTML escaping.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

// The parameters of a tag: key to unquoted value (a word without "=" has an empty
// value). A key given twice keeps its last value.
using TemplateParams = std::map<std::string, std::string>;

// Reads the text between "<X-" and ">" into the tag's name and parameters. Words are
// separated by runs of spaces and tabs; a double-quoted stretch or one in (nested)
// parentheses is not split, and a backslash keeps the next character from being a
// separator or a quote. A parameter word splits at its first "="; its value loses
// its double quotes, and outside them a backslash is dropped and the character
// after it kept. False when the tag has no name.
bool TemplateParseTag(std::string_view tag, std::string& name, TemplateParams& params);

// Whether the permission list (items separated by ",": a two-letter code, or
// letters ":" letters standing for every pair of one letter before and one after
// the ":") grants the required code. "**" asks for any permission at all, "*X" for
// any permission whose second letter is X, "X*" for any whose first letter is X.
// Letter case does not matter.
bool TemplatePermissionTest(std::string_view required, std::string_view list);

// The outcome of a comparison operator.
enum class TemplateCompareResult { True, False, UnknownOperator };

// Compares a value with an operand by an operator of the statements (DEF, DEFWV,
// UNDEF, UNDEFNV, EQ, NE, ~EQ, ~NE, SW, ~SW, CONTAIN, CONTAINS, ==, !=, LT, GT, LE,
// GE; names compared exactly). defined says whether the value exists. Numbers are
// read as whole numbers; text that is not a number reads as 0. LT, GT, LE and GE
// are false unless both texts are non-empty.
TemplateCompareResult TemplateCompare(bool defined, const std::string& value, std::string_view op,
                                      const std::string& operand);

// A statement of three words at the most: name, operator, optional operand.
struct TemplateStatement {
  std::string name, op, operand;
  bool hasOperand = false;
};
TemplateStatement TemplateSplitStatement(std::string_view text);

// Replaces "&", "<", ">" and the double quote by their character references.
std::string TemplateEscape(std::string_view text);
// The non-empty pieces of text between separators.
std::vector<std::string> TemplateSplit(std::string_view text, char separator);
// Only the double quote (hidden variables as first written).
std::string TemplateEscapeQuotes(std::string_view text);
