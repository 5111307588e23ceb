// A NUT client for the TLS tests: plain until StartTls, then TLS with OpenSSL's client side,
// on a blocking socket whose every read has a time limit (a test that serves from its own thread
// runs it on another).
#pragma once

#include <QtGlobal>

#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace testsupport {

class NutClient {
public:
    explicit NutClient(quint16 port);  // to 127.0.0.1
    ~NutClient();
    NutClient(const NutClient&) = delete;
    NutClient& operator=(const NutClient&) = delete;

    // STARTTLS, then the handshake, without checking the certificate; maxVersion limits the
    // client (0: whatever OpenSSL offers).
    bool StartTls(int maxVersion = 0);
    // Sends the request and returns the next answer line without its line end ("(closed)" added
    // when the connection ends first).
    std::string Ask(const std::string& request);
    std::string Line();
    std::string PeerName() const;  // the common name of the server's certificate
    std::string Version() const;   // "TLSv1.3"
    // True when the server ended TLS with its closing alert.
    bool ClosedInOrder();
    // True when the server closes the connection (after whatever it sent) within the read limit.
    bool Closed();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    ssl_ctx_st* ctx_ = nullptr;
    ssl_st* ssl_ = nullptr;
};

}  // namespace testsupport
