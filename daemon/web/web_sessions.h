// Who is logged in on the web side: session tokens carried in an HttpOnly cookie, each with the
// CSRF token a state-changing request must repeat in a header. Lives on the web thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

namespace web {

// 32 random bytes from the kernel, as 64 hex digits.
std::string RandomToken();
bool ConstantTimeEquals(std::string_view a, std::string_view b);
// The value of one cookie in a Cookie header; empty when it is not there.
std::string_view CookieValue(std::string_view header, std::string_view name);

struct WebLogin {
    std::string user;
    std::string csrf;
    std::string password;  // the users file's entry when the login was made: a changed one ends it
    int64_t expiresMs = 0;
};

class SessionTable {
public:
    static constexpr int64_t kLifetimeMs = 12 * 3600 * 1000LL;
    static constexpr size_t kMaxSessions = 4096;

    // A new login; the oldest one goes when the table is full. Returns its token.
    std::string Create(const std::string& user, const std::string& password, int64_t nowMs);
    // The login behind a token, or null when it is unknown or has expired.
    const WebLogin* Find(std::string_view token, int64_t nowMs);
    void Remove(std::string_view token);
    size_t size() const { return sessions_.size(); }

private:
    std::map<std::string, WebLogin, std::less<>> sessions_;
    std::deque<std::string> order_;  // tokens, oldest first (may name removed ones)
};

}  // namespace web
