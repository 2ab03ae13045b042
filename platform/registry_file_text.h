// The registry file held in memory: parsing it, looking keys and values up, editing
// it and writing it back out.
//
// The file is INI-like text. A line "[HKEY_LOCAL_MACHINE\KEY\PATH]" starts the
// section of a key; the lines "Name=value" below it are the key's string values.
// Key and value names compare without regard to case (ASCII). Blank lines, comment
// lines (";" or "#" first) and lines the parser does not understand are kept
// verbatim in place, so a rewrite changes only the lines that were edited. A line
// beginning with "[" always starts a section, even when it is not a well-formed
// header or names another root: the values under it then belong to no reachable
// key, rather than slipping into the key above.
//
// Values. The data is everything after the first "=" (so it may contain "="), with
// spaces and tabs around it dropped; data enclosed in double quotes loses the one
// pair of quotes. Writing quotes data that begins or ends with a space or tab or
// begins with a double quote, so every value without CR or LF reads back exactly.
// Data with CR or LF cannot be held on one line and is refused.
//
// Lines end with LF, or CR LF: a file whose first line ends with CR LF is written
// back with CR LF. Not thread-safe; each caller holds its own copy.
#pragma once

#include <string>
#include <vector>

struct PlatformRegValue {
  std::string name;
  std::string value;
};

class PlatformRegistryText {
 public:
  // Parses text; never fails.
  explicit PlatformRegistryText(const std::string& text = "");

  // The file's text, with every unedited line as it was read.
  std::string Text() const;

  // Whether the key has a section.
  bool HasKey(const std::string& key) const;
  // The value's data; false when the key has no section or the value is missing.
  bool GetValue(const std::string& key, const std::string& name, std::string& value) const;
  // The values of a key in file order (the first of duplicated names); false
  // without a section.
  bool ListValues(const std::string& key, std::vector<PlatformRegValue>& values) const;
  // The names of the keys one level below key (as first spelt in the file); false
  // when neither key nor anything below it has a section.
  bool ListSubkeys(const std::string& key, std::vector<std::string>& names) const;

  // Sets a value of an existing key: an existing value keeps its place and the
  // spelling of its name, a new one follows the key's last value. False, changing
  // nothing, when the key has no section.
  // REQUIRES: ValidKeyName(key), ValidValueName(name), ValidValueData(value).
  bool SetValue(const std::string& key, const std::string& name, const std::string& value);
  // False when the key has no section or the value is missing.
  bool DeleteValue(const std::string& key, const std::string& name);
  // Adds a section for the key at the end of the file; nothing when it has one.
  // REQUIRES: ValidKeyName(key).
  void CreateKey(const std::string& key);
  // Removes the key's section and the sections of every key below it, with their
  // lines. False when there was none.
  bool DeleteKey(const std::string& key);

  // What the file can hold. Key: non-empty, no control characters, no empty path
  // component, no space or tab at either end. Value name: non-empty, no "=" or
  // control characters, no space or tab at either end, not beginning with "[",
  // ";" or "#". Value data: no CR or LF.
  static bool ValidKeyName(const std::string& key);
  static bool ValidValueName(const std::string& name);
  static bool ValidValueData(const std::string& value);

 private:
  enum class Kind { Header, Value, Other };
  struct Line {
    Kind kind = Kind::Other;
    std::string raw;    // the line as read or last rendered, without its line end
    std::string key;    // Header: the key below the root; empty when unreachable
    std::string name;   // Value: the name as spelt
    std::string value;  // Value: the data
  };

  static Line ParseLine(const std::string& raw);
  static std::string RenderValue(const std::string& name, const std::string& value);
  // The end of the section whose header is at index header (exclusive).
  size_t SectionEnd(size_t header) const;
  // Header indexes of the key's sections, in file order.
  std::vector<size_t> Sections(const std::string& key) const;
  // Value line indexes of name in the key's sections, in file order.
  std::vector<size_t> ValueLines(const std::string& key, const std::string& name) const;
  void EraseLines(std::vector<size_t> indexes);

  std::vector<Line> m_Lines;
  bool m_CrLf = false;
};

// ASCII comparison without regard to case.
bool PlatformRegistryNameEqual(const std::string& a, const std::string& b);
