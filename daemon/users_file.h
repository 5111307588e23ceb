// Who may do what on the server, in the form of NUT's upsd.users:
//
//   [name]
//       password = secret            (or a salted hash made by `vesperod --hash-password`)
//       actions = SET FSD
//       instcmds = test.battery.start   (or ALL; the line may repeat)
//       upsmon primary               (or secondary; master and slave are the old words)
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <set>
#include <string>

namespace nut {

enum class UpsmonRole { None, Secondary, Primary };

struct User {
    std::string password;  // as written: plain text or a "$pbkdf2-sha256$..." hash
    std::set<std::string> actions;   // upper case: SET, FSD
    std::set<std::string> instcmds;  // lower case; "all" grants every command
    UpsmonRole upsmon = UpsmonRole::None;
};

struct UsersFile {
    std::map<std::string, User> users;
    QStringList warnings;  // lines that were not understood, with their numbers
};

UsersFile ParseUsersFile(const QByteArray& text);

// Compares a password given by a client with the stored one, in constant time for plain text.
bool PasswordMatches(const std::string& stored, const std::string& given);

// "$pbkdf2-sha256$<iterations>$<salt>$<key>" (salt and key in base64) for a new password.
std::string HashPassword(const std::string& plain, int iterations = 20000);

}  // namespace nut
