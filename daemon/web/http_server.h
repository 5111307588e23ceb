// The web side's HTTP server: Boost.Beast on a thread of its own, so that no browser, however
// slow or hostile, holds up the NUT clients on the server's thread. Requests go to the Api; a
// GET of /api/v1/stream becomes a Server-Sent Events stream that every refresh and event is
// pushed to.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daemon/history/history_store.h"
#include "daemon/nut/password_checker.h"
#include "daemon/nut/users_file.h"
#include "daemon/web/web_api.h"

namespace web {

struct Endpoint {
    std::string address;  // numeric IPv4 or IPv6
    uint16_t port = 0;    // 0: any free port (tests)
};

struct HttpOptions {
    std::vector<Endpoint> listen;
    std::string certificateFile;  // both set: every listener speaks TLS only
    std::string keyFile;
    size_t maxConnections = 2048;
    size_t maxStreams = 1500;
    // One address must not be able to take every slot from the others.
    size_t maxConnectionsPerAddress = 64;
    size_t maxStreamsPerAddress = 16;
    // Names the Host header may carry besides the listen addresses, IP literals of loopback and
    // "localhost"; anything else is refused (421), so that a rebound DNS name cannot reach us.
    std::vector<std::string> allowedHosts;
    uint32_t maxHeaderBytes = 16 * 1024;
    uint64_t maxBodyBytes = 16 * 1024;
    int requestTimeoutSeconds = 10;  // to read one whole request (headers and body)
    int idleTimeoutSeconds = 60;     // between requests on a kept-alive connection
    int writeTimeoutSeconds = 30;    // a write (or a stream's reader) making no progress this long
    size_t maxStreamBacklog = 512 * 1024;  // unsent bytes before a stream's reader is dropped
    int keepaliveSeconds = 15;  // a comment on every stream, for proxies and scripts
    int pingSeconds = 5;        // an "event: ping" the page's watchdog can see (comments it cannot)
    // The NUT side's, so that both take turns on one worker; without one the web has its own.
    std::shared_ptr<nut::PasswordChecker> passwordChecker;
};

class HttpServer {
public:
    HttpServer(HttpOptions options, MainSide* main);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds every address (on the calling thread, so that a failure is known at once), then starts
    // the web thread. False with *error set when an address cannot be used or TLS cannot be set up.
    bool Start(std::string* error);
    void Stop();
    // "ADDR:PORT" of each listener, as bound.
    std::vector<std::string> Bound() const;

    // From any thread: the units after a refresh (changed: the indexes of the units to push to
    // the streams), the users file after a reload, a new event, the history file.
    void Publish(std::shared_ptr<const Snapshot> snapshot, std::vector<int> changed);
    void SetUsers(std::shared_ptr<const nut::UsersFile> users);
    void PublishEvent(const history::Event& event);
    void SetHistoryPath(std::string path);
    // Runs task on the web thread.
    void Post(std::function<void()> task);

    // Counts for the benchmarks and tests (read on the web thread's behalf; approximate).
    size_t OpenConnections() const;
    size_t OpenStreams() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace web
