// Writing a fresh installation's configuration files.
#include "config/initial_config.h"

#include <cstdio>

#include "base/disk_file.h"
#include "base/file_ops.h"
#include "config/attribute_list.h"
#include "config/attribute_table.h"
#include "platform/clock.h"

namespace {

std::string Header() {
  char header[64];
  snprintf(header, sizeof header, "# 2 %ld\r\n", static_cast<long>(PlatformNow()));
  return header;
}

// One definition line: "D", the key, ",", the attribute list, CR LF.
std::string Definition(const std::string& key, const AttributeTable& attributes) {
  return "D" + key + "," + FormatAttributeList(attributes) + "\r\n";
}

bool Writable(const AttributeTable& table) {
  bool ok = true;
  table.ForEach([&](const std::string& name, const std::string& value) {
    ok = ok && WritableAttribute(name, value);
  });
  return ok;
}

InitialFileResult WriteIfMissing(const std::string& path, const std::string& text) {
  if (FileExists(path, false)) return InitialFileResult::kKept;
  std::string fresh = path + "_new";
  {
    CTernDiskFile file(fresh, TernFileMode::Create | TernFileMode::Truncate);
    if (!file.Open()) return InitialFileResult::kFailed;
    bool written = file.Write(text) == static_cast<int32_t>(text.size()) && file.Sync();
    if (!file.Close() || !written) {
      FileRemove(fresh, false);
      return InitialFileResult::kFailed;
    }
  }
  // The rename never replaces a file that appeared meanwhile.
  if (FileRename(fresh, path, false)) return InitialFileResult::kWritten;
  FileRemove(fresh, false);
  return FileExists(path, false) ? InitialFileResult::kKept : InitialFileResult::kFailed;
}

}  // namespace

InitialConfigOutcome WriteInitialConfiguration(const InitialConfigFiles& files) {
  InitialConfigOutcome outcome;
  AttributeTable system;
  system.Set("Domain", files.domain);
  if (!files.otherDomains.empty()) system.Set("OtherDomains", files.otherDomains);
  AttributeTable administrator;
  administrator.Set("RealAcct", kFirstAdministrator);
  administrator.Set("OstrelPerms", kAllPermissions);
  administrator.Set("OstrelUser", "1");
  // Bounces and notifications come from the postmaster, and courtesy copies of
  // bounces go there: its mail has a home from the start, read with the
  // administrator's account.
  AttributeTable postmaster;
  postmaster.Set("RealAcct", kFirstAdministrator);
  postmaster.Set("OstrelUser", "1");
  if (FileExists(files.sharedPath, false)) {
    outcome.shared = InitialFileResult::kKept;
  } else if (Writable(system)) {
    std::string shared = Header() + Definition("S", system) +
                         Definition(std::string("U") + kFirstAdministrator, administrator) +
                         Definition(std::string("U") + kPostmasterUser, postmaster);
    outcome.shared = WriteIfMissing(files.sharedPath, shared);
  }
  outcome.local = WriteIfMissing(files.localPath, Header());
  return outcome;
}
