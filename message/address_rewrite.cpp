// Address header rewriting through CTernMailAddress.
#include "message/address_rewrite.h"

#include <vector>

#include "net/mail_address.h"

namespace {

struct Item {
  std::string_view text;
  bool blankAfterComma;  // the comma that ended the item before this one had a blank after it
};

std::vector<Item> SplitList(std::string_view value) {
  std::vector<Item> items;
  bool quoted = false, blankAfter = false;
  int comment = 0, angle = 0;
  size_t start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\\') {
      ++i;  // the next character is taken as it stands
    } else if (quoted) {
      quoted = c != '"';
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      ++comment;
    } else if (c == ')' && comment > 0) {
      --comment;
    } else if (c == '<' && comment == 0) {
      ++angle;
    } else if (c == '>' && comment == 0 && angle > 0) {
      --angle;
    } else if (c == ',' && comment == 0 && angle == 0) {
      items.push_back({value.substr(start, i - start), blankAfter});
      blankAfter = i + 1 < value.size() && (value[i + 1] == ' ' || value[i + 1] == '\t');
      start = i + 1;
    }
  }
  items.push_back({value.substr(start < value.size() ? start : value.size()), blankAfter});
  return items;
}

std::string_view Trim(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::vector<std::string_view> TernAddressListItems(std::string_view value) {
  std::vector<std::string_view> out;
  for (const Item& item : SplitList(value)) out.push_back(Trim(item.text));
  return out;
}

std::string TernRewriteAddressList(std::string_view value) {
  std::vector<Item> items = SplitList(value);
  std::string out;
  CTernMailAddress address;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += items[i].blankAfterComma ? ", " : ",";
    std::string_view text = Trim(items[i].text);
    std::string display;
    if (!text.empty() && address.Parse(text) == 0) display = address.Form(kMailFormDisplay);
    // An item with no address in it (a lone comment) stays as written.
    out += display.empty() ? std::string(text) : display;
  }
  return out;
}
