// A self-signed certificate for a fresh installation, so that its servers can
// offer encryption before the administrator installs a certificate from an
// authority: an ECDSA P-256 key and a certificate for the mail domain (also valid
// for localhost and 127.0.0.1), ten years long, both as PEM text.
#pragma once

#include <string>

// Makes a key and a self-signed certificate naming domain. False with the
// library's reason in error when the domain is empty or making them fails.
bool TernMakeSelfSignedCertificate(const std::string& domain, std::string& certificatePem,
                                   std::string& keyPem, std::string& error);
