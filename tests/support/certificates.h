// Self-signed server certificates made by the openssl program, for the TLS tests.
#pragma once

#include <QString>

namespace testsupport {

// Writes NAME.crt (the certificate, for localhost and 127.0.0.1), NAME.key (its unencrypted
// private key) and NAME.pem (both, certificate first) into dir, with the given common name.
// False, with the reason on standard error, when openssl fails.
bool MakeCertificate(const QString& dir, const QString& name, const QString& commonName);

}  // namespace testsupport
