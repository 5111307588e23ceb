#include "daemon/web/http_server.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "daemon/web/json_text.h"

namespace web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using beast::error_code;

namespace {

using Message = std::shared_ptr<const std::string>;

// What a connection turned into an event stream takes from the server.
class StreamSink {
public:
    virtual ~StreamSink() = default;
    virtual void Push(const Message& message) = 0;
    virtual bool Full() const = 0;  // its events carry user names and addresses
};

const std::string kStreamHead =
    "HTTP/1.1 200 OK\r\nServer: vesperod\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
    "X-Accel-Buffering: no\r\nConnection: close\r\n\r\nretry: 2000\n\n";

// Sent to a connection over the limit without reading its request.
const std::string kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nServer: vesperod\r\nContent-Type: application/json\r\n"
    "Retry-After: 5\r\nConnection: close\r\nContent-Length: 34\r\n\r\n{\"error\":\"too many connections\"}\r\n";

bool IsHttpError(const error_code& ec) {
    return ec.category() == http::make_error_code(http::error::bad_method).category();
}

// The host part of a Host header: "name", "name:port", "[v6]:port".
std::string HostName(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        return std::string(host.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    }
    host = host.substr(0, host.find(':'));
    std::string name(host);
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (!name.empty() && name.back() == '.') name.pop_back();
    return name;
}

std::string Describe(const tcp::endpoint& e) {
    const std::string address = e.address().to_string();
    return (e.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(e.port());
}

}  // namespace

struct HttpServer::Impl {
    HttpOptions options;
    MainSide* main;
    // Declared before the I/O context: connections still pending when it is destroyed look here.
    std::atomic<size_t> connections{0};
    std::atomic<size_t> streamCount{0};
    std::unordered_map<StreamSink*, std::weak_ptr<StreamSink>> streams;
    struct PeerCount {
        size_t connections = 0, streams = 0;
    };
    std::unordered_map<std::string, PeerCount> peers;  // by address; web thread only
    // Refusals are told at most once a second, with their count: a flood must not flood the log.
    std::map<std::string, size_t> refusals;  // by reason
    size_t refusalsOther = 0;
    std::optional<asio::steady_timer> refusalTimer;
    std::optional<asio::ssl::context> ssl;  // outlives the streams that use it
    asio::io_context ioc{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::optional<asio::steady_timer> keepalive;
    std::optional<asio::steady_timer> ping;
    std::optional<asio::steady_timer> acceptPause;
    std::unique_ptr<Api> api;
    std::thread thread;
    bool acceptFailureLogged = false;

    Impl(HttpOptions o, MainSide* m) : options(std::move(o)), main(m) {}

    void Accept(tcp::acceptor* acceptor);
    // anonymous, when given, goes to the streams of readers not logged in.
    void Broadcast(const Message& message, const Message& anonymous = nullptr) {
        for (auto it = streams.begin(); it != streams.end();) {
            if (std::shared_ptr<StreamSink> sink = it->second.lock()) {
                ++it;
                sink->Push(anonymous && !sink->Full() ? anonymous : message);
            } else {
                it = streams.erase(it);
            }
        }
        streamCount = streams.size();
    }
    void Keepalive() {
        keepalive->expires_after(std::chrono::seconds(options.keepaliveSeconds));
        keepalive->async_wait([this](error_code ec) {
            if (ec) return;
            static const Message comment = std::make_shared<const std::string>(": keepalive\n\n");
            Broadcast(comment);
            Keepalive();
        });
    }
    // A page cannot see comments; this it can, and so tell a live stream from a silent one.
    void Ping() {
        ping->expires_after(std::chrono::seconds(options.pingSeconds));
        ping->async_wait([this](error_code ec) {
            if (ec) return;
            const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
            Broadcast(std::make_shared<const std::string>("event: ping\ndata: " + std::to_string(now) + "\n\n"));
            if (api) api->Tick();
            Ping();
        });
    }
    void Refused(const std::string& reason) {
        // Bounded: a crowd of addresses is summed up rather than listed.
        if (refusals.size() < 8 || refusals.count(reason))
            ++refusals[reason];
        else
            ++refusalsOther;
        if (refusalTimer->expiry() > std::chrono::steady_clock::now()) return;
        refusalTimer->expires_after(std::chrono::seconds(1));
        refusalTimer->async_wait([this](error_code ec) {
            if (ec) return;
            size_t total = refusalsOther;
            std::string why;
            for (const auto& [reason, count] : refusals) {
                total += count;
                why += (why.empty() ? "" : "; ") + std::to_string(count) + " " + reason;
            }
            if (refusalsOther) why += "; " + std::to_string(refusalsOther) + " for other reasons or addresses";
            main->Log("web: refused " + std::to_string(total) + " in the last second: " + why);
            refusals.clear();
            refusalsOther = 0;
        });
    }
    bool HostAllowed(std::string_view header) const {
        const std::string name = HostName(header);
        if (name == "localhost" || (name.size() > 10 && name.substr(name.size() - 10) == ".localhost")) return true;
        error_code ec;
        const asio::ip::address address = asio::ip::make_address(name, ec);
        if (!ec) {
            // An address cannot be rebound: a page that names it is on it. Only ours are answered.
            if (address.is_loopback()) return true;
            for (const Endpoint& e : options.listen) {
                const asio::ip::address mine = asio::ip::make_address(e.address, ec);
                if (!ec && (mine == address || mine.is_unspecified())) return true;
            }
            return false;
        }
        for (const std::string& allowed : options.allowedHosts)
            if (name == allowed) return true;
        return false;
    }
    // Null for a unit too large to send: no one message may take more than a quarter of a
    // stream's backlog, so that only a reader that stopped reading is ever dropped, never one
    // that met a big unit.
    Message UnitMessage(const UnitSnapshot& unit) {
        if (unit.json.size() + 32 > options.maxStreamBacklog / 4) {
            if (oversized.insert(unit.name).second && main)
                main->Log("web: " + unit.name + " is too large (" + std::to_string(unit.json.size()) +
                          " bytes) to send to the dashboards");
            return nullptr;
        }
        return std::make_shared<const std::string>("event: ups\ndata: " + unit.json + "\n\n");
    }
    std::set<std::string> oversized;  // units whose size was logged
};

namespace {

template <class Stream>
class Connection : public StreamSink, public std::enable_shared_from_this<Connection<Stream>> {
public:
    Connection(HttpServer::Impl* server, Stream stream, std::string peer)
        : server_(server), stream_(std::move(stream)), buffer_(server->options.maxHeaderBytes + server->options.maxBodyBytes + 8192),
          timer_(server->ioc), peer_(std::move(peer)) {
        ++server_->connections;
        ++server_->peers[peer_].connections;
    }
    ~Connection() override {
        --server_->connections;
        const auto it = server_->peers.find(peer_);
        if (it != server_->peers.end() && --it->second.connections == 0) server_->peers.erase(it);
    }

    void Start() {
        if constexpr (kTls) {
            auto self = this->shared_from_this();
            Lowest().expires_after(std::chrono::seconds(server_->options.requestTimeoutSeconds));
            stream_.async_handshake(asio::ssl::stream_base::server, [self](error_code ec) {
                self->Lowest().expires_never();
                if (ec) return self->Close();
                self->ReadRequest(true);
            });
        } else {
            ReadRequest(true);
        }
    }

    bool Full() const override { return full_; }

    void Push(const Message& message) override {
        if (closed_) return;
        if (queued_ + message->size() > server_->options.maxStreamBacklog) {
            // A reader this far behind is gone or hostile; its backlog must not grow without end.
            return Close();
        }
        queue_.push_back(message);
        queued_ += message->size();
        if (!writing_) WriteNext();
    }

private:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

    void ReadRequest(bool first) {
        parser_.emplace();
        parser_->header_limit(server_->options.maxHeaderBytes);
        parser_->body_limit(server_->options.maxBodyBytes);
        timedOut_ = false;
        auto self = this->shared_from_this();
        // A whole request must arrive in time, so a client that trickles its headers (slowloris)
        // holds its slot for seconds, not forever.
        timer_.expires_after(std::chrono::seconds(first ? server_->options.requestTimeoutSeconds
                                                        : server_->options.idleTimeoutSeconds));
        timer_.async_wait([self](error_code ec) {
            if (ec || self->closed_) return;
            self->timedOut_ = true;
            error_code ignored;
            self->Lowest().socket().cancel(ignored);
        });
        http::async_read(stream_, buffer_, *parser_, [self](error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(error_code ec) {
        timer_.cancel();
        if (closed_) return;
        if (timedOut_) return parser_->got_some() ? Fail(408, "the request took too long to arrive") : Close();
        if (ec == http::error::end_of_stream) return Close();
        if (ec == http::error::header_limit) return Fail(431, "request headers too large");
        if (ec == http::error::body_limit) return Fail(413, "request body too large");
        if (ec == http::error::buffer_overflow) return Fail(413, "request too large");
        if (ec && IsHttpError(ec)) return Fail(400, "malformed request");
        if (ec) return Close();

        const auto& req = parser_->get();
        const std::string_view host(req[http::field::host].data(), req[http::field::host].size());
        if (req.version() >= 11 && req.find(http::field::host) == req.end())
            return Fail(400, "an HTTP/1.1 request needs a Host header");
        if (!host.empty() && !server_->HostAllowed(host)) {
            // A name that is not ours: most likely a DNS name rebound to this address.
            return Respond(JsonError(421, "this server does not answer to the host " + HostName(host) +
                                              " (http_allowed_hosts lists the names it does)"),
                           false, req.version(), false);
        }
        Request request;
        request.method = std::string_view(req.method_string().data(), req.method_string().size());
        request.target = std::string_view(req.target().data(), req.target().size());
        request.body = req.body();
        const auto header = [&req](auto field) {
            const auto v = req[field];
            return std::string_view(v.data(), v.size());
        };
        request.cookie = header(http::field::cookie);
        request.csrf = header("X-CSRF-Token");
        request.contentType = header(http::field::content_type);
        request.ifNoneMatch = header(http::field::if_none_match);
        request.acceptEncoding = header(http::field::accept_encoding);
        request.peer = peer_;
        request.tls = kTls;
        const bool keepAlive = req.keep_alive();
        const unsigned version = req.version();
        const bool head = req.method() == http::verb::head;
        auto self = this->shared_from_this();
        server_->api->Handle(request, [self, keepAlive, version, head](Reply reply) {
            self->Respond(std::move(reply), keepAlive, version, head);
        });
    }

    void Fail(int status, std::string_view message) { Respond(JsonError(status, message), false, 11, false); }

    void Respond(Reply reply, bool keepAlive, unsigned version, bool head) {
        if (closed_) return;
        if (reply.stream) {
            const size_t mine = server_->peers[peer_].streams;
            if (server_->streams.size() < server_->options.maxStreams && mine < server_->options.maxStreamsPerAddress) {
                full_ = reply.streamFull;
                return StartStream();
            }
            const bool own = mine >= server_->options.maxStreamsPerAddress;
            server_->Refused(own ? "streams over " + std::to_string(server_->options.maxStreamsPerAddress) + " from " + peer_
                                 : "streams over " + std::to_string(server_->options.maxStreams) + " in all");
            reply = JsonError(503, own ? "too many open streams from this address" : "too many open streams");
            reply.headers.emplace_back("Retry-After", "5");
            keepAlive = false;
        }
        auto res = std::make_shared<http::response<http::string_body>>(http::int_to_status(unsigned(reply.status)), version);
        res->set(http::field::server, "vesperod");
        res->set(http::field::content_type, reply.contentType);
        res->set("X-Content-Type-Options", "nosniff");
        res->set("Referrer-Policy", "no-referrer");
        if (reply.contentType.rfind("text/html", 0) == 0) {
            res->set("Content-Security-Policy",
                     "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                     "frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
            res->set("X-Frame-Options", "DENY");
        }
        if (reply.contentType.rfind("application/json", 0) == 0) res->set(http::field::cache_control, "no-store");
        for (const auto& [name, value] : reply.headers) res->insert(name, value);
        if (reply.staticBody)
            res->body().assign(reply.staticBody, reply.staticSize);
        else
            res->body() = std::move(reply.body);
        const size_t length = res->body().size();
        res->keep_alive(keepAlive);
        if (head && reply.status != 304) {
            res->body().clear();
            res->content_length(length);
        } else {
            res->prepare_payload();
        }
        auto self = this->shared_from_this();
        Lowest().expires_after(std::chrono::seconds(server_->options.writeTimeoutSeconds));
        http::async_write(stream_, *res, [self, res](error_code ec, size_t) {
            self->Lowest().expires_never();
            if (ec || !res->keep_alive()) return self->Close();
            self->ReadRequest(false);
        });
    }

    void StartStream() {
        streaming_ = true;
        parser_.reset();
        ++server_->peers[peer_].streams;
        // A stream is open for as long as its reader wants: no deadline of the socket's may cover
        // the read that watches for its end. Its writes have a stall watch of their own.
        Lowest().expires_never();
        auto self = this->shared_from_this();
        server_->streams[this] = std::static_pointer_cast<StreamSink>(self);
        server_->streamCount = server_->streams.size();
        static const Message head = std::make_shared<const std::string>(kStreamHead);
        Push(head);
        for (const UnitSnapshot& unit : server_->api->snapshot()->units)
            if (Message m = server_->UnitMessage(unit)) Push(m);
        WatchClose();
    }

    // A stream's reader sends nothing more; a read that ends tells that it has gone.
    void WatchClose() {
        auto self = this->shared_from_this();
        stream_.async_read_some(asio::buffer(discard_), [self](error_code ec, size_t) {
            if (ec) return self->Close();
            self->WatchClose();
        });
    }

    void WriteNext() {
        if (closed_) return;
        if (queue_.empty()) {
            writing_ = false;
            return;
        }
        if (!writing_) lastProgress_ = std::chrono::steady_clock::now();
        writing_ = true;
        WatchStall();
        auto self = this->shared_from_this();
        // The message stays in the queue, and so alive, until its write is over.
        asio::async_write(stream_, asio::buffer(*queue_.front()), [self](error_code ec, size_t) {
            self->writing_ = false;
            if (ec || self->closed_) {
                self->queue_.clear();
                return self->Close();
            }
            self->lastProgress_ = std::chrono::steady_clock::now();
            self->queued_ -= self->queue_.front()->size();
            self->queue_.pop_front();
            self->WriteNext();
        });
    }

    // Drops a reader that has taken nothing for the write timeout while something waited for it.
    void WatchStall() {
        if (stallWatched_) return;
        stallWatched_ = true;
        const auto limit = std::chrono::seconds(server_->options.writeTimeoutSeconds);
        timer_.expires_at(lastProgress_ + limit);
        auto self = this->shared_from_this();
        timer_.async_wait([self, limit](error_code ec) {
            self->stallWatched_ = false;
            if (ec || self->closed_ || !self->writing_) return;
            if (std::chrono::steady_clock::now() - self->lastProgress_ >= limit) return self->Close();
            self->WatchStall();
        });
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        timer_.cancel();
        if (streaming_) {
            server_->streams.erase(this);
            server_->streamCount = server_->streams.size();
            const auto it = server_->peers.find(peer_);
            if (it != server_->peers.end() && it->second.streams) --it->second.streams;
        }
        if (!writing_) queue_.clear();  // else the write in flight still reads its message
        error_code ignored;
        Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
        Lowest().socket().close(ignored);
    }

    HttpServer::Impl* server_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    asio::steady_timer timer_;
    std::string peer_;
    bool timedOut_ = false;
    bool closed_ = false;
    bool streaming_ = false;
    bool writing_ = false;
    bool full_ = false;
    bool stallWatched_ = false;
    std::chrono::steady_clock::time_point lastProgress_;
    std::deque<Message> queue_;
    size_t queued_ = 0;
    char discard_[512];
};

}  // namespace

void HttpServer::Impl::Accept(tcp::acceptor* acceptor) {
    acceptor->async_accept([this, acceptor](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, most likely: wait a second rather than spin on the error.
            if (!acceptFailureLogged) main->Log("web: cannot accept a connection: " + ec.message() + "; pausing");
            acceptFailureLogged = true;
            acceptPause->expires_after(std::chrono::seconds(1));
            acceptPause->async_wait([this, acceptor](error_code e) {
                if (!e) Accept(acceptor);
            });
            return;
        }
        acceptFailureLogged = false;
        error_code peerError;
        const tcp::endpoint remote = socket.remote_endpoint(peerError);
        asio::ip::address address = remote.address();
        if (address.is_v6() && address.to_v6().is_v4_mapped())
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
        const std::string peer = peerError ? std::string("?") : address.to_string();
        const auto mine = peers.find(peer);
        const bool own = mine != peers.end() && mine->second.connections >= options.maxConnectionsPerAddress;
        if (own || connections >= options.maxConnections) {
            Refused(own ? "connections over " + std::to_string(options.maxConnectionsPerAddress) + " from " + peer
                        : "connections over " + std::to_string(options.maxConnections) + " in all");
            error_code ignored;
            socket.non_blocking(true, ignored);
            socket.write_some(asio::buffer(kBusy), ignored);
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
            return Accept(acceptor);
        }
        if (ssl) {
            using Tls = beast::ssl_stream<beast::tcp_stream>;
            std::make_shared<Connection<Tls>>(this, Tls(beast::tcp_stream(std::move(socket)), *ssl), peer)->Start();
        } else {
            std::make_shared<Connection<beast::tcp_stream>>(this, beast::tcp_stream(std::move(socket)), peer)->Start();
        }
        Accept(acceptor);
    });
}

HttpServer::HttpServer(HttpOptions options, MainSide* main) : impl_(std::make_unique<Impl>(std::move(options), main)) {
    Impl* impl = impl_.get();
    impl_->api = std::make_unique<Api>(
        main, [impl](std::function<void()> task) { asio::post(impl->ioc, std::move(task)); },
        [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        },
        impl_->options.passwordChecker);
    impl_->api->SetStreamCount([impl] { return impl->streams.size(); });
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string* error) {
    Impl& s = *impl_;
    if (!s.options.certificateFile.empty() || !s.options.keyFile.empty()) {
        try {
            s.ssl.emplace(asio::ssl::context::tls_server);
            s.ssl->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                               asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                               asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
            s.ssl->use_certificate_chain_file(s.options.certificateFile);
            s.ssl->use_private_key_file(s.options.keyFile, asio::ssl::context::pem);
        } catch (const boost::system::system_error& e) {
            *error = "web: cannot use the TLS certificate " + s.options.certificateFile + " and key " +
                     s.options.keyFile + ": " + e.code().message();
            s.ssl.reset();
            return false;
        }
    }
    for (const Endpoint& e : s.options.listen) {
        error_code ec;
        const asio::ip::address address = asio::ip::make_address(e.address, ec);
        const std::string name = (address.is_v6() ? "[" + e.address + "]" : e.address) + ":" + std::to_string(e.port);
        if (ec) {
            *error = "web: " + e.address + " is not a numeric address";
            return false;
        }
        auto acceptor = std::make_unique<tcp::acceptor>(s.ioc);
        const tcp::endpoint endpoint(address, e.port);
        if (!acceptor->open(endpoint.protocol(), ec) && !acceptor->set_option(asio::socket_base::reuse_address(true), ec) &&
            (!address.is_v6() || !acceptor->set_option(asio::ip::v6_only(true), ec)) && !acceptor->bind(endpoint, ec) &&
            !acceptor->listen(asio::socket_base::max_listen_connections, ec)) {
            s.acceptors.push_back(std::move(acceptor));
            continue;
        }
        *error = "web: cannot listen on " + name + ": " + ec.message();
        s.acceptors.clear();
        return false;
    }
    s.work.emplace(s.ioc.get_executor());
    s.keepalive.emplace(s.ioc);
    s.ping.emplace(s.ioc);
    s.refusalTimer.emplace(s.ioc);
    s.acceptPause.emplace(s.ioc);
    for (auto& a : s.acceptors) s.Accept(a.get());
    s.Keepalive();
    s.Ping();
    s.thread = std::thread([&s] { s.ioc.run(); });
    return true;
}

void HttpServer::Stop() {
    Impl& s = *impl_;
    if (!s.thread.joinable()) return;
    s.ioc.stop();
    s.thread.join();
    s.api.reset();  // waits for its password check running; its verdict is dropped
    s.acceptors.clear();
}

std::vector<std::string> HttpServer::Bound() const {
    std::vector<std::string> out;
    for (const auto& a : impl_->acceptors) {
        error_code ec;
        const tcp::endpoint e = a->local_endpoint(ec);
        if (!ec) out.push_back(Describe(e));
    }
    return out;
}

void HttpServer::Post(std::function<void()> task) { asio::post(impl_->ioc, std::move(task)); }

void HttpServer::Publish(std::shared_ptr<const Snapshot> snapshot, std::vector<int> changed) {
    Impl* s = impl_.get();
    Post([s, snapshot = std::move(snapshot), changed = std::move(changed)] {
        if (!s->api) return;
        s->api->SetSnapshot(snapshot);
        for (int i : changed)
            if (i >= 0 && size_t(i) < snapshot->units.size())
                if (Message m = s->UnitMessage(snapshot->units[size_t(i)])) s->Broadcast(m);
    });
}

void HttpServer::SetUsers(std::shared_ptr<const nut::UsersFile> users) {
    Impl* s = impl_.get();
    Post([s, users = std::move(users)] {
        if (s->api) s->api->SetUsers(users);
    });
}

void HttpServer::SetHistoryPath(std::string path) {
    Impl* s = impl_.get();
    Post([s, path = std::move(path)] {
        if (s->api) s->api->SetHistoryPath(path);
    });
}

void HttpServer::PublishEvent(const history::Event& event) {
    std::string full = "event: event\ndata: ", anonymous = full;
    AppendEventJson(&full, event, true);
    AppendEventJson(&anonymous, event, false);
    full += "\n\n";
    anonymous += "\n\n";
    Impl* s = impl_.get();
    Post([s, full = std::make_shared<const std::string>(std::move(full)),
          anonymous = std::make_shared<const std::string>(std::move(anonymous))] { s->Broadcast(full, anonymous); });
}

size_t HttpServer::OpenConnections() const { return impl_->connections; }
size_t HttpServer::OpenStreams() const { return impl_->streamCount; }

}  // namespace web
