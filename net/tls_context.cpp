// The TLS server context: protocol versions, cipher suites and options, loading of
// the certificate chain and key, and the start-up's reading of the registry values.
#include "net/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "base/message_codes.h"
#include "base/registry.h"
#include "base/report.h"

namespace {

// TLS 1.2 suites with forward secrecy and authenticated encryption only; TLS 1.3's
// own suites are all of that kind and keep the library's defaults.
constexpr char kCipherList[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

}  // namespace

std::string TernTlsLastError() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "unknown failure" : text;
}

std::shared_ptr<CTernTlsContext> CTernTlsContext::Load(const std::string& certificateFile,
                                                       const std::string& keyFile,
                                                       std::string& error) {
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context) {
    error = TernTlsLastError();
    return nullptr;
  }
  bool ok = SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set_cipher_list(context, kCipherList) == 1;
  // A peer that drops the connection without the closing alert has just closed it.
  SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                   SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET |
                                   SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Sessions are not resumed, so no tickets are handed out after a handshake.
  SSL_CTX_set_num_tickets(context, 0);
  // Writes may be taken in part (the endpoints send within time limits) and retried
  // from a buffer that has moved on.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (ok && SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1) ok = false;
  if (ok && SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) ok = false;
  if (ok && SSL_CTX_check_private_key(context) != 1) ok = false;
  if (!ok) {
    error = TernTlsLastError();
    SSL_CTX_free(context);
    return nullptr;
  }
  return std::shared_ptr<CTernTlsContext>(new CTernTlsContext(context, certificateFile));
}

CTernTlsContext::~CTernTlsContext() { SSL_CTX_free(m_Context); }

std::shared_ptr<CTernTlsContext> TernLoadTlsContext(const std::string& product) {
  std::string certificate = RegistryReadSetting(product, kTernTlsCertificateValue, "");
  std::string key = RegistryReadSetting(product, kTernTlsKeyValue, "");
  if (certificate.empty() || key.empty()) {
    TernReportEventF(TernEventType::Warning, kMsgTlsNoCertificate,
                     std::string(kTernTlsCertificateValue) + ", " + kTernTlsKeyValue);
    return nullptr;
  }
  std::string error;
  auto context = CTernTlsContext::Load(certificate, key, error);
  if (!context) TernReportEventF(TernEventType::Error, kMsgTlsCertificateFailed, certificate, error);
  return context;
}
