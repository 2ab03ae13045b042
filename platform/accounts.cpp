// crypt(3) hashing and checking, PAM logons and the listing of login accounts.
#include "platform/accounts.h"

#include <crypt.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr uid_t kFirstLoginUid = 1000;

// crypt_r's work area is large (tens of kilobytes): on the heap, one per call.
std::string Crypt(const std::string& phrase, const char* setting) {
  auto data = std::make_unique<crypt_data>();
  memset(data.get(), 0, sizeof(crypt_data));
  const char* out = crypt_r(phrase.c_str(), setting, data.get());
  // libxcrypt reports failure with a string beginning with "*".
  if (!out || out[0] == '*') return "";
  return out;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// PAM asks for the password through the conversation function.
int Converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto* replies = static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (!replies) return PAM_BUF_ERR;
  const auto* password = static_cast<const std::string*>(data);
  for (int i = 0; i < count; ++i) {
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF || messages[i]->msg_style == PAM_PROMPT_ECHO_ON) {
      replies[i].resp = strdup(password->c_str());
      if (!replies[i].resp) {
        for (int k = 0; k < i; ++k) free(replies[k].resp);
        free(replies);
        return PAM_BUF_ERR;
      }
    }
  }
  *responses = replies;
  return PAM_SUCCESS;
}

// The account's uid; false when the machine has no such account.
bool AccountUid(const std::string& account, uid_t& uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwnam_r(account.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return false;
  uid = found->pw_uid;
  return true;
}

bool LoginShell(const char* shell) {
  if (!shell || !*shell) return false;
  const char* base = strrchr(shell, '/');
  base = base ? base + 1 : shell;
  return strcmp(base, "nologin") != 0 && strcmp(base, "false") != 0;
}

}  // namespace

std::string PlatformHashPassword(const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  for (const char* prefix : {"$y$", "$6$"}) {
    if (!crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting)) continue;
    std::string hash = Crypt(password, setting);
    if (!hash.empty()) return hash;
  }
  return "";
}

bool PlatformPasswordMatches(const std::string& password, const std::string& hash) {
  // Hashes of crypt(3) start with "$" (or are old DES hashes of 13 characters);
  // "!" and "*" lock an account.
  if (hash.empty() || hash[0] == '!' || hash[0] == '*') return false;
  std::string computed = Crypt(password, hash.c_str());
  return !computed.empty() && SameText(computed, hash);
}

PlatformPamResult PlatformPamLogon(const std::string& account, const std::string& password) {
  uid_t uid = 0;
  if (!AccountUid(account, uid)) return PlatformPamResult::Refused;
  if (uid < kFirstLoginUid) return PlatformPamResult::SystemAccount;
  pam_conv conversation{Converse, const_cast<std::string*>(&password)};
  pam_handle_t* handle = nullptr;
  int rc = pam_start("ostrel", account.c_str(), &conversation, &handle);
  if (rc == PAM_SUCCESS) rc = pam_set_item(handle, PAM_RHOST, "localhost");
  if (rc == PAM_SUCCESS) rc = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (handle) pam_end(handle, rc);
  return rc == PAM_SUCCESS ? PlatformPamResult::Ok : PlatformPamResult::Refused;
}

std::vector<std::string> PlatformLoginAccounts() {
  std::vector<std::string> names;
  // getpwent is not thread-safe; the listing is rare (an administration page), and
  // the reentrant walk over the same database is fgetpwent_r on the passwd file.
  FILE* file = fopen("/etc/passwd", "re");
  if (!file) return names;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  while (fgetpwent_r(file, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    if (found->pw_uid >= kFirstLoginUid && found->pw_uid != static_cast<uid_t>(65534) &&
        LoginShell(found->pw_shell))
      names.emplace_back(found->pw_name);
  }
  fclose(file);
  std::sort(names.begin(), names.end());
  return names;
}

std::string PlatformMachineName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "";
  std::string name(host);
  return name.substr(0, name.find('.'));
}
