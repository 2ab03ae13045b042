// The TCP/IP parameters key answered from gethostname() and resolv.conf.
#include "platform/registry_file_tcpip.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

// The words of a line up to a comment.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) {
    if (word.front() == '#' || word.front() == ';') break;
    words.push_back(word);
  }
  return words;
}

std::string WithoutTrailingDots(std::string name) {
  while (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

// A dotted IPv4 address, optionally followed by ":" and a port from 1 to 65535
// (a name server on another port than 53, such as a local resolver).
bool IsIpv4Server(const std::string& entry) {
  size_t colon = entry.find(':');
  in_addr parsed;
  if (inet_pton(AF_INET, entry.substr(0, colon).c_str(), &parsed) != 1) return false;
  if (colon == std::string::npos) return true;
  std::string port = entry.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  long value = std::stol(port);
  return value >= 1 && value <= 65535;
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : " ") + item;
  return out;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace

PlatformResolverConf PlatformParseResolvConf(const std::string& text) {
  PlatformResolverConf conf;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> words = Words(line);
    if (words.size() < 2) continue;
    if (words[0] == "nameserver") {
      if (IsIpv4Server(words[1])) conf.nameServers.push_back(words[1]);
    } else if (words[0] == "domain") {
      conf.domain = WithoutTrailingDots(words[1]);
    } else if (words[0] == "search") {
      conf.search.clear();
      for (size_t i = 1; i < words.size(); ++i) {
        std::string domain = WithoutTrailingDots(words[i]);
        if (!domain.empty()) conf.search.push_back(domain);
      }
    }
  }
  return conf;
}

std::vector<PlatformRegValue> PlatformTcpipParameters(const std::string& resolvConfPath) {
  std::ifstream file(resolvConfPath, std::ios::binary);
  std::stringstream text;
  if (file) text << file.rdbuf();
  PlatformResolverConf conf = PlatformParseResolvConf(text.str());

  std::string host = WithoutTrailingDots(HostName());
  size_t dot = host.find('.');
  std::string label = host.substr(0, dot);
  std::string domain = conf.domain;
  if (domain.empty() && dot != std::string::npos) domain = host.substr(dot + 1);
  return {{"Hostname", label},
          {"Domain", domain},
          {"NameServer", Join(conf.nameServers)},
          {"SearchList", Join(conf.search)}};
}
