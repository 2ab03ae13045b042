// The attribute list of configuration file lines: items "name=value" separated by
// ','. The separator is found by a scan that skips a ',' preceded by '\', a ','
// between double quotes (a '"' outside parentheses toggles quoting) and a ','
// inside parentheses (a '(' outside quotes opens, a ')' outside quotes closes; they
// do not nest). In a value, "\," stands for ','; every other backslash is itself.
//
// Not every text survives that format: an item that leaves the scan inside quotes
// or parentheses, or that ends with a backslash, runs on into the next one. The
// writer puts such an item (there is at most one in a line that was read) last, and
// the store refuses to take new ones.
#pragma once

#include <string>
#include <string_view>

#include "config/attribute_table.h"

// Reads an attribute list into table (entries added, later names replacing earlier
// ones). An empty text is an empty list; a ',' at the very end ends the list.
// False when an item has no '=' (table then holds the items before it).
bool ParseAttributeList(std::string_view text, AttributeTable& table);

// The text of an attribute list that ParseAttributeList reads back as the same
// table: items in table order joined by ',', each value with '\' before every ','.
// An item that would run on into the next one goes last.
std::string FormatAttributeList(const AttributeTable& table);

// Whether a name may be an attribute's: letters, digits, '_' and '-'; a list
// setting ('S' or 'R', 'L', then a list's name) may also hold '.' and ' ' in the
// list's name.
bool ValidAttributeName(std::string_view name);

// Whether an attribute may be stored: the name is valid (above); the value has no
// CR, LF or NUL; and the written item closes cleanly (outside quotes and
// parentheses, not ending with a backslash), so that it can stand anywhere in a
// line.
bool WritableAttribute(std::string_view name, std::string_view value);
