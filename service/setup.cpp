// ostrel -setup: the registry values and directories of a ready installation.
#include "service/setup.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "base/disk_file.h"
#include "base/file_ops.h"
#include "base/number.h"
#include "base/registry.h"
#include "config/accounts_file.h"
#include "config/initial_config.h"
#include "config/list_dict_file.h"
#include "net/tls_certificate.h"
#include "net/tls_context.h"
#include "platform/eventsink.h"
#include "platform/file.h"
#include "platform/random.h"
#include "platform/registry_file.h"
#include "transport/approval.h"
#include "service/host.h"

namespace {

// mkdir -p; true when the directory exists afterwards.
bool MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    int err = PlatformMakeDir(part);
    if (err != 0 && err != EEXIST) {
      printf("Cannot make directory %s - %s\n", part.c_str(), strerror(err));
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

bool ValidPort(const char* text) {
  long port = 0;
  return TernParseNumber(text, port, 1L, 65535L);
}

// Sets a value unless the key already has it.
bool SetIfMissing(const std::string& key, const std::string& name, const std::string& value) {
  std::string existing;
  if (PlatformRegistryGetValue(key, name, existing).Ok()) {
    printf("  %s\\%s kept: %s\n", key.c_str(), name.c_str(), existing.c_str());
    return true;
  }
  PlatformRegResult r = PlatformRegistrySetValue(key, name, value);
  if (!r.Ok()) {
    printf("Cannot write %s\\%s - %s\n", key.c_str(), name.c_str(), strerror(r.error ? r.error : EIO));
    return false;
  }
  printf("  %s\\%s = %s\n", key.c_str(), name.c_str(), value.c_str());
  return true;
}

std::string Absolute(const char* dir) {
  if (dir[0] == '/') return dir;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return dir;
  return PathJoin(cwd, dir);
}

// A name made of letters, digits, '-' and '.' only, lower-cased; empty otherwise.
std::string DomainName(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return "";
  }
  return text;
}

// The local mail domains of a fresh installation: the machine's DNS domain, else
// its host name, else "localhost"; the machine's full name and "localhost" are
// further local domains (separated by the byte 0x1C).
void MachineDomains(std::string& domain, std::string& others) {
  std::string host, dns;
  PlatformRegistryGetValue(kPlatformTcpipKey, "Hostname", host);
  PlatformRegistryGetValue(kPlatformTcpipKey, "Domain", dns);
  host = DomainName(host);
  dns = DomainName(dns);
  domain = !dns.empty() ? dns : !host.empty() ? host : "localhost";
  others.clear();
  std::string full = host.empty() || dns.empty() ? host : host + "." + dns;
  for (const std::string& name : {full, std::string("localhost")}) {
    if (name.empty() || name == domain) continue;
    if (!others.empty()) others += '\x1c';
    others += name;
  }
}

// The shared and local configuration files, unless they exist.
bool WriteConfiguration(const COstrelPaths& paths) {
  std::string sharedDir = PathSplit(paths.sharedConfigFile).directory;
  if (!sharedDir.empty() && !MakeDirs(sharedDir)) return false;
  InitialConfigFiles files{paths.sharedConfigFile, paths.localConfigFile, "", ""};
  MachineDomains(files.domain, files.otherDomains);
  InitialConfigOutcome outcome = WriteInitialConfiguration(files);
  const std::pair<const std::string*, InitialFileResult> results[] = {
      {&files.sharedPath, outcome.shared}, {&files.localPath, outcome.local}};
  for (const auto& [path, result] : results) {
    if (result == InitialFileResult::kFailed) {
      printf("Cannot write the configuration file %s (see %s)\n", path->c_str(),
             PlatformEventFile().c_str());
      return false;
    }
    printf("  configuration %s %s\n", path->c_str(),
           result == InitialFileResult::kKept ? "kept" : "written");
  }
  if (outcome.shared == InitialFileResult::kWritten)
    printf("  local mail domain %s; administrator %s\n", files.domain.c_str(), kFirstAdministrator);
  return true;
}

// Writes text to a new file for its owner alone (an existing one is replaced).
bool WritePrivateFile(const std::string& path, const std::string& text) {
  CTernDiskFile file(path, TernFileMode::Create | TernFileMode::Truncate | TernFileMode::Private);
  bool ok = file.Open() && PlatformChangeMode(path, 0600) == 0 &&
            file.Write(text) == static_cast<int32_t>(text.size());
  return file.Close() && ok;
}

// The certificate of the encrypted servers: kept when the registry names one;
// otherwise a self-signed one for the mail domain, made in the local directory.
bool SetUpCertificate(const std::string& product, const COstrelPaths& paths) {
  std::string certificate, key;
  PlatformRegistryGetValue(product, kTernTlsCertificateValue, certificate);
  PlatformRegistryGetValue(product, kTernTlsKeyValue, key);
  if (!certificate.empty() && !key.empty()) {
    printf("  certificate %s kept\n", certificate.c_str());
    return true;
  }
  std::string domain, others, pem, keyPem, error;
  MachineDomains(domain, others);
  certificate = PathJoin(paths.localDir, "certificate.pem");
  key = PathJoin(paths.localDir, "certificate-key.pem");
  if (!TernMakeSelfSignedCertificate(domain, pem, keyPem, error)) {
    printf("Cannot make a certificate for %s: %s\n", domain.c_str(), error.c_str());
    return false;
  }
  if (!WritePrivateFile(key, keyPem) || !WritePrivateFile(certificate, pem)) {
    printf("Cannot write the certificate files in %s\n", paths.localDir.c_str());
    return false;
  }
  bool ok = SetIfMissing(product, kTernTlsCertificateValue, certificate);
  ok = SetIfMissing(product, kTernTlsKeyValue, key) && ok;
  printf("  self-signed certificate for %s: %s (key %s)\n", domain.c_str(), certificate.c_str(),
         key.c_str());
  return ok;
}

// The PAM service file "ostrel", when this machine has none yet and it may be
// written (as root). Without it PAM uses the machine's "other" service.
void InstallPamService(const std::string& installDir) {
  const std::string target = "/etc/pam.d/ostrel";
  if (FileExists(target, false)) {
    printf("  PAM service %s kept\n", target.c_str());
    return;
  }
  CTernDiskFile source(PathJoin(installDir, "pam/ostrel"), TernFileMode::ReadOnly);
  std::string text;
  bool read = source.Open() && source.Read(text) >= 0;
  source.Close();
  if (!read || access("/etc/pam.d", W_OK) != 0) {
    printf("  PAM service %s not installed (as root, copy it from %s/pam/ostrel)\n",
           target.c_str(), installDir.c_str());
    return;
  }
  CTernDiskFile file(target, TernFileMode::Create | TernFileMode::Exclusive);
  bool written = file.Open() && file.Write(text) == static_cast<int32_t>(text.size());
  written = file.Close() && written;
  printf("  PAM service %s %s\n", target.c_str(), written ? "written" : "could not be written");
}

// The product's own files in InstallDir: the vendor configuration and dictionaries,
// and the page templates (one folder per language), images and documents the HTTP
// server serves. When InstallDir is not the program's own data directory, the
// shipped files missing there are copied in; files already there are kept.
bool InstallShippedFiles(const COstrelPaths& paths) {
  namespace fs = std::filesystem;
  const std::pair<const char*, const std::string*> folders[] = {{"vendor", &paths.vendorDir},
                                                                {"html", &paths.templatesDir},
                                                                {"images", &paths.imagesDir},
                                                                {"docs", &paths.docsDir}};
  for (const auto& [name, target] : folders) {
    fs::path shipped = fs::path(OstrelDataDir()) / name;
    std::error_code error;
    if (fs::equivalent(shipped, *target, error)) {
      printf("  %s: %s\n", name, target->c_str());
      continue;
    }
    if (!fs::is_directory(shipped, error)) {
      printf("  %s: nothing shipped in %s\n", name, shipped.c_str());
      continue;
    }
    if (!MakeDirs(*target)) return false;
    int copied = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(shipped, error)) {
      fs::path to = fs::path(*target) / fs::relative(entry.path(), shipped, error);
      if (entry.is_directory() && !MakeDirs(to.string())) return false;
      if (!entry.is_regular_file() || fs::exists(to, error)) continue;
      if (!fs::copy_file(entry.path(), to, error)) {
        printf("Cannot copy %s to %s - %s\n", entry.path().c_str(), to.c_str(), error.message().c_str());
        return false;
      }
      ++copied;
    }
    printf("  %s: %s (%d shipped files copied)\n", name, target->c_str(), copied);
  }
  return true;
}

// The secret that signs approval requests: random bytes for this installation's
// eyes only, made once and never replaced (requests already sent must still
// verify).
bool WriteApprovalSecret(const std::string& path) {
  if (FileExists(path, false)) {
    printf("  approval secret %s kept\n", path.c_str());
    return true;
  }
  std::string secret(kApprovalSecretSize, '\0');
  CTernDiskFile file(path, TernFileMode::Create | TernFileMode::Exclusive | TernFileMode::Private);
  bool ok = PlatformRandomBytes(secret.data(), secret.size()) && file.Open() &&
            file.Write(secret) == static_cast<int32_t>(secret.size()) && file.Sync();
  ok = file.Close() && ok;
  if (!ok) {
    if (FileExists(path, false)) FileRemove(path, false);
    printf("Cannot write the approval secret %s\n", path.c_str());
    return false;
  }
  printf("  approval secret %s written\n", path.c_str());
  return true;
}

}  // namespace

bool OstrelSetup(const char* dirArg, char** ports, char** tlsPorts) {
  if ((ports && !(ValidPort(ports[0]) && ValidPort(ports[1]) && ValidPort(ports[2]))) ||
      (tlsPorts && !(ValidPort(tlsPorts[0]) && ValidPort(tlsPorts[1]) && ValidPort(tlsPorts[2])))) {
    printf("Ports must be numbers from 1 to 65535.\n");
    return false;
  }
  std::string dir = Absolute(dirArg);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::string registry = PlatformRegistryFile();
  size_t slash = registry.rfind('/');
  if (!MakeDirs(dir) || (slash != std::string::npos && slash > 0 && !MakeDirs(registry.substr(0, slash))))
    return false;

  printf("Registry file %s:\n", registry.c_str());
  std::string product = RegistryProductKey(kOstrelServiceName);
  for (const std::string& key : {std::string(kTernMakerKey), product}) {
    PlatformRegResult r = PlatformRegistryCreateKey(key);
    if (!r.Ok()) {
      printf("Cannot create key %s - %s\n", key.c_str(), strerror(r.error ? r.error : EIO));
      return false;
    }
  }
  const std::pair<const char*, std::string> dirs[] = {
      {"MailDir", PathJoin(dir, "mail")},
      {"BoxDir", PathJoin(dir, "boxes")},
      {"LocalDir", PathJoin(dir, "local")},
      {"LogDir", PathJoin(dir, "log")},
  };
  bool ok = true;
  for (const auto& [name, path] : dirs) ok = SetIfMissing(product, name, path) && ok;
  ok = SetIfMissing(kTernMakerKey, "SharedConfigFile", PathJoin(dir, "shared-config")) && ok;
  // The encrypted listeners' defaults go into a fresh installation only: running
  // -setup again on one laid out before turns nothing new on.
  std::string existing;
  bool fresh = !PlatformRegistryGetValue(product, "SMTPPort", existing).Ok();
  ok = SetIfMissing(product, "SMTPPort", ports ? ports[0] : "25") && ok;
  ok = SetIfMissing(product, "POPPort", ports ? ports[1] : "110") && ok;
  ok = SetIfMissing(product, "HTTPPort", ports ? ports[2] : "8003") && ok;
  if (tlsPorts || (!ports && fresh)) {
    ok = SetIfMissing(product, "SMTPSPort", tlsPorts ? tlsPorts[0] : "465") && ok;
    ok = SetIfMissing(product, "POPSPort", tlsPorts ? tlsPorts[1] : "995") && ok;
    ok = SetIfMissing(product, "HTTPSPort", tlsPorts ? tlsPorts[2] : "8443") && ok;
  }
  if (!ok) return false;

  // The directories the registry names now (kept values included).
  COstrelPaths paths = OstrelReadPaths();
  for (const std::string& d : {paths.mailDir, paths.boxDir, paths.localDir, paths.logDir})
    if (!MakeDirs(d)) return false;
  if (!WriteConfiguration(paths)) return false;
  // The lists file and the local dictionary file, empty but for their header.
  for (const std::string& path : {paths.listsFile, paths.localDictionaries}) {
    InitialFileResult result = TernWriteEmptyListDictFile(path);
    if (result == InitialFileResult::kFailed) {
      printf("Cannot write %s (see %s)\n", path.c_str(), PlatformEventFile().c_str());
      return false;
    }
    printf("  %s %s\n", path.c_str(), result == InitialFileResult::kKept ? "kept" : "written");
  }
  // The accounts file of the password test, empty: `ostrel -passwd` fills it.
  if (!CTernAccountsFile(paths.accountsFile).CreateEmpty()) {
    printf("Cannot create the accounts file %s\n", paths.accountsFile.c_str());
    return false;
  }
  printf("  accounts file %s (set a password with: ostrel -passwd Administrator)\n",
         paths.accountsFile.c_str());
  if (!WriteApprovalSecret(paths.approvalSecretFile)) return false;
  if (!SetUpCertificate(product, paths)) return false;
  InstallPamService(paths.installDir);
  if (!InstallShippedFiles(paths)) return false;
  printf("Installation ready in %s.\n", dir.c_str());
  printf("  program data (InstallDir): %s\n", paths.installDir.c_str());
  printf("  events: %s\n", PathJoin(paths.logDir, "events.log").c_str());
  return true;
}
