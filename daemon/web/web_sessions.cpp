#include "daemon/web/web_sessions.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace web {

std::string RandomToken() {
    unsigned char bytes[32];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        // Without the kernel's randomness no token may be made at all.
        if (n <= 0) throw std::runtime_error("getrandom failed");
        got += size_t(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    token.reserve(64);
    for (unsigned char b : bytes) {
        token.push_back(digits[b >> 4]);
        token.push_back(digits[b & 15]);
    }
    return token;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string_view CookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const size_t end = header.find(';');
        std::string_view pair = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        const size_t eq = pair.find('=');
        if (eq == std::string_view::npos || pair.substr(0, eq) != name) continue;
        std::string_view value = pair.substr(eq + 1);
        while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

std::string SessionTable::Create(const std::string& user, const std::string& password, int64_t nowMs) {
    while (sessions_.size() >= kMaxSessions && !order_.empty()) {
        sessions_.erase(order_.front());
        order_.pop_front();
    }
    std::string token = RandomToken();
    sessions_[token] = WebLogin{user, RandomToken(), password, nowMs + kLifetimeMs};
    order_.push_back(token);
    // Tokens of logins already gone are dropped from the front as they come up.
    while (!order_.empty() && !sessions_.count(order_.front())) order_.pop_front();
    return token;
}

const WebLogin* SessionTable::Find(std::string_view token, int64_t nowMs) {
    if (token.empty()) return nullptr;
    const auto it = sessions_.find(token);
    if (it == sessions_.end()) return nullptr;
    if (it->second.expiresMs <= nowMs) {
        sessions_.erase(it);
        return nullptr;
    }
    return &it->second;
}

void SessionTable::Remove(std::string_view token) {
    const auto it = sessions_.find(token);
    if (it != sessions_.end()) sessions_.erase(it);
}

}  // namespace web
