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

bool IsIpv4(const std::string& address) {
  in_addr parsed;
  return inet_pton(AF_INET, address.c_str(), &parsed) == 1;
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
      if (IsIpv4(words[1])) conf.nameServers.push_back(words[1]);
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
