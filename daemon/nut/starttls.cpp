#include "daemon/nut/starttls.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <vector>

namespace nut {
namespace {

// A certificate file with its chain is a few kilobytes; anything near this is not one.
constexpr qint64 kMaxFileBytes = 1 << 20;

struct Free {
    void operator()(BIO* b) const { BIO_free(b); }
    void operator()(X509* x) const { X509_free(x); }
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// OpenSSL would otherwise ask for a passphrase on the terminal, which a service has not got.
int NoPassphrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return 0;
}

std::string LastReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : "protocol error";
}

QString Summarise(X509* leaf) {
    QString subject;
    if (Owned<BIO> out{BIO_new(BIO_s_mem())}) {
        X509_NAME_print_ex(out.get(), X509_get_subject_name(leaf), 0, XN_FLAG_RFC2253);
        char* data = nullptr;
        const long n = BIO_get_mem_data(out.get(), &data);
        subject = QString::fromUtf8(data, qsizetype(n));
    }
    const ASN1_TIME* notAfter = X509_get0_notAfter(leaf);
    std::tm until{};
    QString date = QStringLiteral("?");
    if (ASN1_TIME_to_tm(notAfter, &until) == 1)
        date = QString::asprintf("%04d-%02d-%02d", until.tm_year + 1900, until.tm_mon + 1, until.tm_mday);
    const bool expired = X509_cmp_current_time(notAfter) < 0;
    return QStringLiteral("%1, %2 %3").arg(subject, expired ? QStringLiteral("EXPIRED on") : QStringLiteral("valid until"), date);
}

}  // namespace

std::shared_ptr<const TlsContext> TlsContext::Load(const QString& path, QString* error) {
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists()) {
        *error = QStringLiteral("no such file");
        return {};
    }
    if (!info.isFile()) {
        *error = QStringLiteral("not a file");
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot be read (%1)").arg(file.errorString());
        return {};
    }
    const QByteArray text = file.read(kMaxFileBytes + 1);
    if (text.size() > kMaxFileBytes) {
        *error = QStringLiteral("larger than 1 MiB, not a PEM certificate and key");
        return {};
    }
    ERR_clear_error();
    bool asked = false;
    Owned<BIO> certs{BIO_new_mem_buf(text.constData(), int(text.size()))};
    Owned<X509> leaf{PEM_read_bio_X509(certs.get(), nullptr, NoPassphrase, &asked)};
    if (!leaf) {
        ERR_clear_error();
        *error = QStringLiteral("holds no certificate (a PEM block \"BEGIN CERTIFICATE\")");
        return {};
    }
    std::vector<Owned<X509>> chain;
    while (X509* next = PEM_read_bio_X509(certs.get(), nullptr, NoPassphrase, &asked)) chain.emplace_back(next);
    ERR_clear_error();  // the end of the file, as a failed read
    Owned<BIO> keys{BIO_new_mem_buf(text.constData(), int(text.size()))};
    Owned<EVP_PKEY> key{PEM_read_bio_PrivateKey(keys.get(), nullptr, NoPassphrase, &asked)};
    if (!key) {
        ERR_clear_error();
        *error = asked ? QStringLiteral("its private key is encrypted; vesperod needs it without a passphrase")
                       : QStringLiteral("holds no private key (a PEM block \"BEGIN PRIVATE KEY\" after the certificate)");
        return {};
    }
    if (X509_check_private_key(leaf.get(), key.get()) != 1) {
        ERR_clear_error();
        *error = QStringLiteral("its private key does not match its certificate (the first one in the file)");
        return {};
    }
    Owned<SSL_CTX> ctx{SSL_CTX_new(TLS_server_method())};
    if (!ctx) {
        *error = QStringLiteral("OpenSSL cannot make a TLS context: %1").arg(QString::fromStdString(LastReason()));
        return {};
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // Client renegotiation only costs the server; no client of ours needs it.
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // An idle upsmon connection then holds no record buffers.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
    if (SSL_CTX_use_certificate(ctx.get(), leaf.get()) != 1) {
        *error = QStringLiteral("its certificate cannot be used: %1").arg(QString::fromStdString(LastReason()));
        return {};
    }
    for (const Owned<X509>& c : chain) {
        if (SSL_CTX_add1_chain_cert(ctx.get(), c.get()) != 1) {
            *error = QStringLiteral("a certificate of its chain cannot be used: %1").arg(QString::fromStdString(LastReason()));
            return {};
        }
    }
    if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1 || SSL_CTX_check_private_key(ctx.get()) != 1) {
        *error = QStringLiteral("its private key cannot be used: %1").arg(QString::fromStdString(LastReason()));
        return {};
    }
    std::shared_ptr<TlsContext> context(new TlsContext);
    context->ctx_ = ctx.release();
    context->path_ = info.absoluteFilePath();
    context->summary_ = Summarise(leaf.get());
    return context;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

TlsChannel::TlsChannel(const TlsContext& context) : ssl_(SSL_new(context.ctx_)) {
    if (!ssl_) return;
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in, -1);  // nothing buffered means "wait for more", not the end
    SSL_set_bio(ssl_, in, out);
    SSL_set_accept_state(ssl_);
}

TlsChannel::~TlsChannel() { SSL_free(ssl_); }

void TlsChannel::Fail() {
    error_ = LastReason();
    closed_ = true;  // no closing alert after a fatal one
}

void TlsChannel::Drain(std::string* out) {
    if (!ssl_) return;
    BIO* pending = SSL_get_wbio(ssl_);
    char chunk[16384];
    int n = 0;
    while ((n = BIO_read(pending, chunk, sizeof chunk)) > 0) out->append(chunk, size_t(n));
}

TlsChannel::Result TlsChannel::Receive(std::string_view bytes, std::string* plain, std::string* out) {
    if (!ssl_) {
        error_ = "OpenSSL cannot make a TLS session";
        return Result::Failed;
    }
    if (!error_.empty()) return Result::Failed;
    ERR_clear_error();
    if (!bytes.empty()) BIO_write(SSL_get_rbio(ssl_), bytes.data(), int(bytes.size()));
    if (!established_) {
        const int r = SSL_do_handshake(ssl_);
        if (r == 1) {
            established_ = true;
        } else if (const int e = SSL_get_error(ssl_, r); e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            Fail();
            Drain(out);
            return Result::Failed;
        }
    }
    Result result = Result::Ok;
    while (established_) {
        char chunk[16384];
        const int n = SSL_read(ssl_, chunk, sizeof chunk);
        if (n > 0) {
            plain->append(chunk, size_t(n));
            continue;
        }
        const int e = SSL_get_error(ssl_, n);
        if (e == SSL_ERROR_WANT_READ) break;
        if (e == SSL_ERROR_ZERO_RETURN) {
            result = Result::Closed;
        } else {
            Fail();
            result = Result::Failed;
        }
        break;
    }
    Drain(out);
    return result;
}

void TlsChannel::Seal(std::string_view plain, std::string* out) {
    if (!established_ || closed_ || plain.empty()) return;
    ERR_clear_error();
    if (SSL_write(ssl_, plain.data(), int(plain.size())) <= 0) Fail();
    Drain(out);
}

void TlsChannel::Close(std::string* out) {
    if (!established_ || closed_) return;
    closed_ = true;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    Drain(out);
}

std::string TlsChannel::Description() const {
    if (!established_) return {};
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

}  // namespace nut
