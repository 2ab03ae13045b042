// Making the key and the self-signed certificate of a fresh installation.
#include "net/tls_certificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "net/tls_context.h"

namespace {

constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

bool AddExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  Owned<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// The text a memory BIO holds.
std::string Text(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

}  // namespace

bool TernMakeSelfSignedCertificate(const std::string& domain, std::string& certificatePem,
                                   std::string& keyPem, std::string& error) {
  if (domain.empty() || domain.find_first_of(",\r\n") != std::string::npos) {
    error = "no usable domain name";
    return false;
  }
  Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
  Owned<X509> certificate(X509_new());
  bool ok = key && certificate;
  unsigned char serial[16];
  ok = ok && RAND_bytes(serial, sizeof serial) == 1;
  if (ok) {
    serial[0] &= 0x7f;  // a positive number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    ok = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
  }
  X509_NAME* name = ok ? X509_get_subject_name(certificate.get()) : nullptr;
  ok = ok && X509_set_version(certificate.get(), 2) == 1 &&
       X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) &&
       X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds) &&
       X509_set_pubkey(certificate.get(), key.get()) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>(domain.c_str()), -1, -1,
                                  0) == 1 &&
       X509_set_issuer_name(certificate.get(), name) == 1 &&
       // It is its own authority: clients are given it as the one they trust.
       AddExtension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE") &&
       AddExtension(certificate.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") &&
       AddExtension(certificate.get(), NID_ext_key_usage, "serverAuth") &&
       AddExtension(certificate.get(), NID_subject_key_identifier, "hash") &&
       AddExtension(certificate.get(), NID_subject_alt_name,
                    "DNS:" + domain + (domain == "localhost" ? "" : ",DNS:localhost") +
                        ",IP:127.0.0.1") &&
       X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
  Owned<BIO> certificateText(BIO_new(BIO_s_mem()));
  Owned<BIO> keyText(BIO_new(BIO_s_mem()));
  ok = ok && certificateText && keyText &&
       PEM_write_bio_X509(certificateText.get(), certificate.get()) == 1 &&
       PEM_write_bio_PrivateKey(keyText.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (!ok) {
    error = TernTlsLastError();
    return false;
  }
  certificatePem = Text(certificateText.get());
  keyPem = Text(keyText.get());
  return true;
}
