// Rewriting the value of an address header (From, To, CC, ...) into the forms the
// system's address parser gives: every address of the list is replaced by its
// display form (the text as written with the address part made canonical).
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The items of an address list, each without its surrounding blanks (empty items
// included), cut at commas as TernRewriteAddressList below cuts them.
std::vector<std::string_view> TernAddressListItems(std::string_view value);

// The list is cut at commas that stand outside double quotes, comments and angle
// brackets and are not preceded by a backslash, so "Bloggs, Jo" <jo@example.org>
// stays one address. Each item loses its surrounding blanks and is parsed; an item
// that does not parse, or holds no address (a lone comment), is kept as written.
// The rewritten items are joined with ", " where the text had a blank after the
// comma, else with ",".
std::string TernRewriteAddressList(std::string_view value);
