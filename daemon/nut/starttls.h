// TLS for NUT clients that ask for it with STARTTLS, over OpenSSL.
//
// TlsContext is the certificate on offer: one PEM file holding the certificate, any
// intermediates after it, and its private key (the layout of upsd's CERTFILE). It is loaded and
// checked whole when the settings are read, so a file that cannot serve is named with its reason
// at start, by --check-config and on a reload, never at a client's handshake.
//
// TlsChannel is one connection's TLS over memory buffers: the server hands it what the socket
// gave and sends what it returns. It never touches the socket, so a slow or hostile peer can
// never block the event loop inside OpenSSL.
#pragma once

#include <QString>

#include <memory>
#include <string>
#include <string_view>

struct ssl_ctx_st;
struct ssl_st;

namespace nut {

class TlsContext {
public:
    // The context for the PEM file at path; nullptr with *error set (the reason, without the
    // file's name) when it cannot be used.
    static std::shared_ptr<const TlsContext> Load(const QString& path, QString* error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    const QString& Path() const { return path_; }
    // "CN=ups.example.org, valid until 2030-01-01", or with "EXPIRED" instead.
    const QString& Summary() const { return summary_; }

private:
    TlsContext() = default;
    friend class TlsChannel;
    ssl_ctx_st* ctx_ = nullptr;
    QString path_, summary_;
};

class TlsChannel {
public:
    enum class Result { Ok, Closed, Failed };

    explicit TlsChannel(const TlsContext& context);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Takes bytes from the peer: the plain text they complete goes to *plain, what must go back
    // (handshake messages, alerts) to *out. Closed: the peer ended TLS in order. Failed: the peer
    // broke the protocol; Error() says how.
    Result Receive(std::string_view bytes, std::string* plain, std::string* out);
    // Plain text to the peer, sealed into *out.
    void Seal(std::string_view plain, std::string* out);
    // The closing alert into *out, once.
    void Close(std::string* out);

    bool Established() const { return established_; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" once established.
    std::string Description() const;
    const std::string& Error() const { return error_; }

private:
    void Drain(std::string* out);
    void Fail();

    ssl_st* ssl_ = nullptr;
    bool established_ = false;
    bool closed_ = false;
    std::string error_;
};

}  // namespace nut
