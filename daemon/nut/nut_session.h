// One client's conversation with the server: takes request lines, keeps what the client has
// said about itself (user name, password, login) and answers in the NUT network protocol.
// No sockets here, so every answer and error can be checked line by line.
//
// The password is checked once per session (user name and password can each be given once), when
// a request first needs it. On its own the session runs that check itself; a server defers it
// (DeferPasswordChecks) to run it off its event loop, because a hashed password costs tens of
// milliseconds.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "daemon/unit_board.h"
#include "daemon/nut/users_file.h"

namespace nut {

class Session {
public:
    using Clock = qint64 (*)();                        // milliseconds, steady
    using Log = std::function<void(const std::string&)>;

    Session(UnitBoard* board, const UsersFile* users, std::string peer, Clock clock, Log log = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Appends the answer to one request line (without its line end) to *out. Returns false when
    // the connection is to be closed once the answer has gone.
    // With deferred checks, a request that needs the password's verdict first is left
    // unanswered (nothing appended) and PendingCheck() is set: the caller runs the check, passes
    // the result to SetVerdict (or calls RefuseCheck) and hands in the same line again.
    bool Handle(std::string_view line, std::string* out);

    void DeferPasswordChecks(bool defer) { deferChecks_ = defer; }

    // STARTTLS: offered answers OK STARTTLS (else FEATURE-NOT-CONFIGURED); required refuses
    // USERNAME, PASSWORD and whatever needs them until the session is under TLS.
    void SetTlsPolicy(bool offered, bool required) {
        tlsOffered_ = offered;
        tlsRequired_ = required;
    }
    // True once after OK STARTTLS was answered: what the client sends next is its handshake.
    bool TakeStartTls() { return std::exchange(startTls_, false); }
    bool UnderTls() const { return tls_; }
    const std::optional<PasswordCheck>& PendingCheck() const { return pending_; }
    void SetVerdict(bool matches);
    // Answers the waiting request ACCESS-DENIED without a verdict (its check was dropped); the
    // verdict stays open for later requests.
    void RefuseCheck();

private:
    bool Dispatch(std::string_view line, std::string* out);
    const char* Authorise();  // nullptr when user and password check out, else the error word
    const User* CurrentUser() const;

    void Get(const std::vector<std::string>& w, std::string* out);
    void List(const std::vector<std::string>& w, std::string* out);
    void Set(const std::vector<std::string>& w, std::string* out);
    void InstCmd(const std::vector<std::string>& w, std::string* out);
    void Login(const std::vector<std::string>& w, std::string* out);
    void Primary(const std::vector<std::string>& w, bool legacyName, std::string* out);
    void Fsd(const std::vector<std::string>& w, std::string* out);

    UnitBoard* board_;
    const UsersFile* users_;
    std::string peer_;
    Clock clock_;
    Log log_;
    std::string username_;
    std::string password_;
    bool hasUsername_ = false;
    bool hasPassword_ = false;
    bool deferChecks_ = false;
    std::optional<PasswordCheck> pending_;
    // The verdict on user name and password, with the stored password it was reached against:
    // a reload that changes or removes the user voids it.
    std::optional<bool> verdict_;
    bool verdictKnownUser_ = false;
    std::string verdictStored_;
    bool refuseOnce_ = false;
    bool tracking_ = false;  // SET TRACKING ON: instant commands answer with an id to follow
    bool tlsOffered_ = false;
    bool tlsRequired_ = false;
    bool tls_ = false;       // from OK STARTTLS on
    bool startTls_ = false;
    UnitBoard::Unit* loggedIn_ = nullptr;
};

}  // namespace nut
