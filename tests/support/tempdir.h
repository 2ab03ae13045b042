// Test helper: a fresh directory under /tmp, removed with everything in it when the
// object goes away.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_Path; }
  // Path of a name inside the directory.
  std::string File(const std::string& name) const { return m_Path + "/" + name; }
  // Writes a whole file (binary) inside the directory; returns its path.
  std::string Write(const std::string& name, const std::string& contents) const;
  // Reads a whole file; empty when it cannot be read.
  static std::string Read(const std::string& path);

 private:
  std::string m_Path;
};
