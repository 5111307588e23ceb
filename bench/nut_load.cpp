// nut_load: the same load for any NUT network server. N clients, each on its own connection and
// thread, send one request, wait for its whole answer, and send the next, for a fixed time.
// Prints requests per second and latency percentiles, and optionally the server's resident
// memory taken while every client is still connected.
//
// Usage: nut_load PORT UPS VAR CLIENTS SECONDS get|list [SERVER-PID]
//        nut_load PORT UPS VAR CLIENTS SECONDS flood USER
// flood: CLIENTS flooders each log in as USER with a wrong password and send 1,000 INSTCMD lines in
// one write, read all the answers, and start again on a new connection; meanwhile one prober opens
// a new connection, asks GET VAR and closes it, every 10 ms. The latencies are the prober's.
//        nut_load PORT UPS VAR ADDRESSES SECONDS owner USER PASSWORD [SERVER-PID]
// owner: 8 connections (2 beyond ten addresses) from each of ADDRESSES loopback addresses (127.0.0.1 up) send wrong
// passwords for USER as fast as the answers come; meanwhile the owner logs in from 127.0.0.1 with
// the right one, first unknown to the server (its time is the wait for a check) and then again
// (let in from the record of it). Also the prober's GET VAR latencies and the server's CPU.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct ClientResult {
    std::vector<double> latencyUs;
    long errors = 0;
};

int Connect(int port, uint32_t from = INADDR_LOOPBACK) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (from != INADDR_LOOPBACK) {
        const int on = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(from);
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the answer is complete: one line, or a list up to its END line.
bool ReadAnswer(int fd, bool list, std::string* buffer, const std::string& endLine) {
    for (;;) {
        if (!list) {
            if (buffer->find('\n') != std::string::npos) break;
        } else {
            if (buffer->rfind("ERR", 0) == 0 && buffer->find('\n') != std::string::npos) break;
            if (buffer->size() >= endLine.size() && buffer->compare(buffer->size() - endLine.size(), endLine.size(), endLine) == 0) break;
        }
        char chunk[16384];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer->append(chunk, size_t(n));
    }
    return true;
}

long RssKb(long pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Connection plus GET VAR on a new connection while flooders keep the server busy.
int Flood(int port, const std::string& ups, const std::string& var, int flooders, double seconds,
          const std::string& user) {
    std::string batch = "USERNAME " + user + "\nPASSWORD wrong-" + std::to_string(getpid()) + "\n";
    for (int i = 0; i < 1000; ++i) batch += "INSTCMD " + ups + " test.battery.start\n";
    std::atomic<bool> stop{false};
    std::atomic<long> batches{0}, floodErrors{0};
    std::vector<std::thread> threads;
    for (int f = 0; f < flooders; ++f) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                const int fd = Connect(port);
                if (fd < 0) {
                    ++floodErrors;
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                timeval tv{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                if (send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) == ssize_t(batch.size())) {
                    long lines = 0;
                    char chunk[16384];
                    while (lines < 1002 && !stop.load()) {
                        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
                        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
                        if (n > 0) lines += std::count(chunk, chunk + n, '\n');
                    }
                    if (lines >= 1002) ++batches;
                }
                close(fd);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the first batch is in
    const std::string request = "GET VAR " + ups + " " + var + "\n";
    std::vector<double> latencyUs;
    long errors = 0;
    const auto start = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
        const auto t0 = Clock::now();
        const int fd = Connect(port);
        std::string buffer;
        if (fd < 0 || send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()) ||
            !ReadAnswer(fd, false, &buffer, "") || buffer.rfind("VAR ", 0) != 0) {
            ++errors;
        } else {
            latencyUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        if (fd >= 0) close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop.store(true);
    for (std::thread& t : threads) t.join();
    std::sort(latencyUs.begin(), latencyUs.end());
    auto pct = [&](double p) {
        return latencyUs.empty() ? 0.0 : latencyUs[std::min(latencyUs.size() - 1, size_t(p * double(latencyUs.size())))];
    };
    std::printf("flood flooders %d: %zu probes, p50 %.0f us, p99 %.0f us, max %.0f us, errors %ld, flood batches %ld\n",
                flooders, latencyUs.size(), pct(0.50), pct(0.99), latencyUs.empty() ? 0.0 : latencyUs.back(), errors,
                batches.load());
    return errors ? 1 : 0;
}

// Seconds of CPU the process has used (user + system), from /proc.
double CpuSeconds(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size()) {
        const size_t space = text.find(' ', at);
        fields.push_back(text.substr(at, space - at));
        if (space == std::string::npos) break;
        at = space + 1;
    }
    if (fields.size() < 13) return -1;
    return double(std::atol(fields[11].c_str()) + std::atol(fields[12].c_str())) / double(sysconf(_SC_CLK_TCK));
}

// One login on a new connection: USERNAME, PASSWORD, LOGIN; true when LOGIN is answered OK.
bool LogIn(int port, uint32_t from, const std::string& ups, const std::string& user, const std::string& password) {
    const int fd = Connect(port, from);
    if (fd < 0) return false;
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const std::string request = "USERNAME " + user + "\nPASSWORD " + password + "\nLOGIN " + ups + "\n";
    std::string got;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char chunk[256];
        while (std::count(got.begin(), got.end(), '\n') < 3) {
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            got.append(chunk, size_t(n));
        }
    }
    close(fd);
    return got == "OK\nOK\nOK\n";
}

int Owner(int port, const std::string& ups, const std::string& var, int addresses, double seconds, const std::string& user,
          const std::string& password, long serverPid) {
    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0};
    std::vector<std::thread> threads;
    const int perAddress = addresses > 10 ? 2 : 8;  // within the server's connection cap
    for (int a = 0; a < addresses; ++a)
        for (int f = 0; f < perAddress; ++f)
            threads.emplace_back([&, a, f] {
                const uint32_t from = INADDR_LOOPBACK + uint32_t(a);
                for (long n = 0; !stop.load(); ++n)
                    if (!LogIn(port, from, ups, user, "wrong-" + std::to_string(f) + "-" + std::to_string(n))) ++wrong;
            });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // every queue is full by now
    const double cpu0 = serverPid > 0 ? CpuSeconds(serverPid) : 0;
    const auto t0 = Clock::now();
    auto since = [](Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); };
    const bool first = LogIn(port, INADDR_LOOPBACK, ups, user, password);
    const double firstMs = since(t0);
    std::vector<double> againMs, probeUs;
    long errors = first ? 0 : 1;
    const std::string request = "GET VAR " + ups + " " + var + "\n";
    while (std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
        const auto t1 = Clock::now();
        if (LogIn(port, INADDR_LOOPBACK, ups, user, password))
            againMs.push_back(since(t1));
        else
            ++errors;
        const auto t2 = Clock::now();
        const int fd = Connect(port, INADDR_LOOPBACK + uint32_t(addresses));
        std::string buffer;
        if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()) &&
            ReadAnswer(fd, false, &buffer, "") && buffer.rfind("VAR ", 0) == 0)
            probeUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t2).count());
        else
            ++errors;
        if (fd >= 0) close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = serverPid > 0 ? (CpuSeconds(serverPid) - cpu0) / wall : -1;
    stop.store(true);
    for (std::thread& t : threads) t.join();
    auto pct = [](std::vector<double>& v, double p) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
    };
    std::printf("owner addresses %d: first login %.0f ms, again p50 %.2f ms p99 %.2f ms (%zu), probe p99 %.0f us, "
                "wrong %ld, errors %ld, server CPU %.2f s per s\n",
                addresses, firstMs, pct(againMs, 0.5), pct(againMs, 0.99), againMs.size(), pct(probeUs, 0.99), wrong.load(),
                errors, cpu);
    return errors ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: nut_load PORT UPS VAR CLIENTS SECONDS get|list [SERVER-PID]\n"
                             "       nut_load PORT UPS VAR CLIENTS SECONDS flood USER\n"
                             "       nut_load PORT UPS VAR ADDRESSES SECONDS owner USER PASSWORD [SERVER-PID]\n");
        return 2;
    }
    if (std::strcmp(argv[6], "owner") == 0) {
        if (argc < 9) {
            std::fprintf(stderr, "nut_load: owner needs a user name and its password\n");
            return 2;
        }
        return Owner(std::atoi(argv[1]), argv[2], argv[3], std::atoi(argv[4]), std::atof(argv[5]), argv[7], argv[8],
                     argc > 9 ? std::atol(argv[9]) : 0);
    }
    if (std::strcmp(argv[6], "flood") == 0) {
        if (argc < 8) {
            std::fprintf(stderr, "nut_load: flood needs a user name\n");
            return 2;
        }
        return Flood(std::atoi(argv[1]), argv[2], argv[3], std::atoi(argv[4]), std::atof(argv[5]), argv[7]);
    }
    const int port = std::atoi(argv[1]);
    const std::string ups = argv[2], var = argv[3];
    const int clients = std::atoi(argv[4]);
    const double seconds = std::atof(argv[5]);
    const bool list = std::strcmp(argv[6], "list") == 0;
    const long serverPid = argc > 7 ? std::atol(argv[7]) : 0;
    const std::string request = list ? "LIST VAR " + ups + "\n" : "GET VAR " + ups + " " + var + "\n";
    const std::string endLine = "END LIST VAR " + ups + "\n";

    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        const int fd = Connect(port);
        if (fd < 0) {
            std::fprintf(stderr, "nut_load: cannot connect client %d: %s\n", i, std::strerror(errno));
            return 1;
        }
        fds.push_back(fd);
    }
    std::atomic<bool> go{false}, stop{false};
    std::vector<ClientResult> results(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            ClientResult& r = results[size_t(i)];
            r.latencyUs.reserve(1 << 16);
            std::string buffer;
            while (!stop.load()) {
                const auto t0 = Clock::now();
                if (send(fds[size_t(i)], request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
                    ++r.errors;
                    return;
                }
                buffer.clear();
                if (!ReadAnswer(fds[size_t(i)], list, &buffer, endLine)) {
                    ++r.errors;
                    return;
                }
                if (buffer.rfind("ERR", 0) == 0) ++r.errors;
                r.latencyUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
        });
    }
    const auto start = Clock::now();
    go.store(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long rss = serverPid > 0 ? RssKb(serverPid) : -1;  // every client still connected
    stop.store(true);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (std::thread& t : threads) t.join();
    for (int fd : fds) close(fd);

    std::vector<double> all;
    long errors = 0;
    for (const ClientResult& r : results) {
        all.insert(all.end(), r.latencyUs.begin(), r.latencyUs.end());
        errors += r.errors;
    }
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) { return all.empty() ? 0.0 : all[std::min(all.size() - 1, size_t(p * double(all.size())))]; };
    std::printf("%s clients %d: %.0f requests/s, p50 %.0f us, p99 %.0f us, errors %ld, server rss %ld kB\n",
                list ? "list" : "get", clients, double(all.size()) / elapsed, pct(0.50), pct(0.99), errors, rss);
    return errors ? 1 : 0;
}
