#include "tests/support/nut_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <csignal>

namespace testsupport {

NutClient::NutClient(quint16 port) {
    // OpenSSL writes without MSG_NOSIGNAL: a server that has closed must fail the write, not end
    // the test.
    signal(SIGPIPE, SIG_IGN);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
    timeval limit{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

NutClient::~NutClient() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    close(fd_);
}

bool NutClient::StartTls(int maxVersion) {
    if (Ask("STARTTLS\n") != "OK STARTTLS") return false;
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (maxVersion) {
        SSL_CTX_set_security_level(ctx_, 0);  // lets an old protocol be offered at all
        SSL_CTX_set_min_proto_version(ctx_, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx_, maxVersion);
    }
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    const bool done = SSL_connect(ssl_) == 1;
    ERR_clear_error();
    return done;
}

std::string NutClient::Ask(const std::string& request) {
    const int n = ssl_ ? SSL_write(ssl_, request.data(), int(request.size()))
                       : int(send(fd_, request.data(), request.size(), MSG_NOSIGNAL));
    return n == int(request.size()) ? Line() : "(not sent)";
}

std::string NutClient::Line() {
    std::string line;
    char c = 0;
    while (ssl_ ? SSL_read(ssl_, &c, 1) == 1 : recv(fd_, &c, 1, 0) == 1) {
        if (c == '\n') return line;
        line += c;
    }
    return line + "(closed)";
}

std::string NutClient::PeerName() const {
    X509* peer = ssl_ ? SSL_get1_peer_certificate(ssl_) : nullptr;
    if (!peer) return {};
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, name, sizeof name);
    X509_free(peer);
    return name;
}

std::string NutClient::Version() const { return ssl_ ? SSL_get_version(ssl_) : ""; }

bool NutClient::ClosedInOrder() {
    char c = 0;
    const int n = SSL_read(ssl_, &c, 1);
    return n == 0 && SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN;
}

bool NutClient::Closed() {
    char chunk[256];
    ssize_t n = 0;
    while ((n = recv(fd_, chunk, sizeof chunk, 0)) > 0) {
    }
    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace testsupport
