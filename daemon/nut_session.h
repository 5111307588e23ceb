// One client's conversation with the server: takes request lines, keeps what the client has
// said about itself (user name, password, login) and answers in the NUT network protocol.
// No sockets here, so every answer and error can be checked line by line.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "daemon/unit_board.h"
#include "daemon/users_file.h"

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
    bool Handle(std::string_view line, std::string* out);

private:
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
    bool authorised_ = false;  // user and password have been checked once and matched
    UnitBoard::Unit* loggedIn_ = nullptr;
};

}  // namespace nut
