// Media types and the mapping of request paths onto files.
#include "web/http_files.h"

#include <filesystem>
#include <system_error>

#include "base/ascii.h"
#include "web/http_form.h"

std::string HttpMediaType(std::string_view path) {
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('/');
  std::string extension;
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash))
    extension = TernLoweredAscii(path.substr(dot + 1));
  if (extension == "gif") return "image/gif";
  if (extension == "jpg" || extension == "jpeg") return "image/jpeg";
  if (extension == "html") return "text/html";
  if (extension == "pdf") return "application/pdf";
  if (extension == "css") return "text/css";
  return "application/octet-stream";
}

bool HttpResolveFile(const std::string& directory, std::string_view rest, std::string& file) {
  namespace fs = std::filesystem;
  // "/imagesX" must not reach a sibling of the images directory.
  if (!rest.empty() && rest.front() != '/') return false;
  std::string decoded = HttpPercentDecode(rest);
  if (decoded.find("..") != std::string::npos || decoded.find('\\') != std::string::npos ||
      decoded.find('\0') != std::string::npos)
    return false;
  std::error_code error;
  fs::path base = fs::canonical(directory, error);
  if (error) return false;
  fs::path resolved = fs::canonical(directory + decoded, error);
  if (error || !fs::is_regular_file(resolved, error) || error) return false;
  // With links followed, the file must still lie below the directory.
  std::string inside = base.string();
  if (inside.empty() || inside.back() != '/') inside += '/';
  std::string found = resolved.string();
  if (found.compare(0, inside.size(), inside) != 0) return false;
  file = found;
  return true;
}
