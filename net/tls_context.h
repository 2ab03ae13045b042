// The server side of TLS: a context made once from a PEM certificate chain and its
// private key, shared by every encrypted connection of every server. It allows TLS
// 1.2 and 1.3 only, with forward-secret AEAD cipher suites, no compression, no
// renegotiation, and the server's order of preference.
//
// The installation names its files in two values of the product's registry key
// (TLSCertificateFile, TLSKeyFile). TernLoadTlsContext reads them at start-up and
// reports a missing or unusable certificate once in the event log; the servers then
// run without encryption.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

// Registry values of the product key naming the certificate chain and the key.
inline constexpr char kTernTlsCertificateValue[] = "TLSCertificateFile";
inline constexpr char kTernTlsKeyValue[] = "TLSKeyFile";

class CTernTlsContext {
 public:
  // Loads the chain and the key and checks that they belong together; null with a
  // reason in error (the library's words) when they cannot be used.
  static std::shared_ptr<CTernTlsContext> Load(const std::string& certificateFile,
                                               const std::string& keyFile, std::string& error);
  ~CTernTlsContext();
  CTernTlsContext(const CTernTlsContext&) = delete;
  CTernTlsContext& operator=(const CTernTlsContext&) = delete;

  // The library's context, for the sessions made from it.
  ssl_ctx_st* Handle() const { return m_Context; }
  const std::string& CertificateFile() const { return m_CertificateFile; }

 private:
  CTernTlsContext(ssl_ctx_st* context, std::string certificateFile)
      : m_Context(context), m_CertificateFile(std::move(certificateFile)) {}

  ssl_ctx_st* m_Context;
  std::string m_CertificateFile;
};

// The context of the files that the product key names, or null: when the values
// are missing (a warning, 472) or the files cannot be used (an error, 473), which
// is reported here, once for the caller's start-up.
std::shared_ptr<CTernTlsContext> TernLoadTlsContext(const std::string& product);

// The library's reason for the last failure on this thread (and the queue of
// reasons emptied), for messages and records.
std::string TernTlsLastError();
