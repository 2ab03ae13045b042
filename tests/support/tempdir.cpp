// Temporary directories for tests.
#include "tests/support/tempdir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir() {
  char path[] = "/tmp/ostrel-test-XXXXXX";
  if (mkdtemp(path)) m_Path = path;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!m_Path.empty()) std::filesystem::remove_all(m_Path, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& contents) const {
  std::string path = File(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  return path;
}

std::string TempDir::Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
