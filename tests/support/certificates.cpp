#include "tests/support/certificates.h"

#include <QDir>
#include <QFile>

#include <cstdio>

#include "tests/support/child_process.h"
#include "tests/support/files_and_waits.h"

namespace testsupport {

bool MakeCertificate(const QString& dir, const QString& name, const QString& commonName) {
    const QDir folder(dir);
    const QString crt = folder.filePath(name + QStringLiteral(".crt")), key = folder.filePath(name + QStringLiteral(".key"));
    const QString err = folder.filePath(name + QStringLiteral(".openssl.err"));
    // P-256: made in milliseconds, and as good a server key as any.
    const pid_t openssl = Spawn(QStringLiteral("/usr/bin/openssl"),
                                {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                                 QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes"),
                                 QStringLiteral("-keyout"), key, QStringLiteral("-out"), crt, QStringLiteral("-days"), QStringLiteral("30"),
                                 QStringLiteral("-subj"), QStringLiteral("/CN=") + commonName, QStringLiteral("-addext"),
                                 QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"), QStringLiteral("-addext"),
                                 QStringLiteral("basicConstraints=critical,CA:FALSE")},
                                err, err);
    if (openssl <= 0 || WaitExit(openssl, 30000) != 0) {
        std::fprintf(stderr, "openssl req failed: %s\n", ReadAll(err).toLocal8Bit().constData());
        return false;
    }
    WriteFile(folder.filePath(name + QStringLiteral(".pem")), ReadAll(crt).toUtf8() + ReadAll(key).toUtf8());
    return true;
}

}  // namespace testsupport
