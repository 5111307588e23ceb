// Who may do what on the server, in the form of NUT's upsd.users:
//
//   [name]
//       password = secret            (or a salted hash made by `vesperod --hash-password`)
//       actions = SET FSD
//       instcmds = test.battery.start   (or ALL; the line may repeat)
//       upsmon primary               (or secondary; master and slave are the old words)
//
// '#' starts a comment outside double quotes; inside them it is part of the value, as is a
// quote or backslash written \" or \\. A quote left open is an error: its user is refused.
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
    QStringList errors;    // lines that could not be read safely; each refuses its user
    int hashIterations = 0;  // the most among the hashed passwords: what a check should cost
};

// Messages name their line as "NAME:LINE: ..." ("line LINE: ..." without a name).
UsersFile ParseUsersFile(const QByteArray& text, const QString& name = {});

// Compares a password given by a client with the stored one, in constant time for plain text.
bool PasswordMatches(const std::string& stored, const std::string& given);

// One login's password check, holding copies of all it needs so that it may run on any thread.
// It costs the same for an unknown user, a plain-text one and a hashed one (with the file's
// iteration count): all but a hashed user are also run through a key derivation that is thrown
// away, so the time taken does not tell which user names exist.
struct PasswordCheck {
    std::string user;
    bool known = false;
    std::string stored;
    std::string given;
    int decoyIterations = 0;

    bool Run() const;
    int Iterations() const;  // key-derivation rounds Run() spends
};

PasswordCheck MakePasswordCheck(const UsersFile& users, const std::string& name, const std::string& given);

// "$pbkdf2-sha256$<iterations>$<salt>$<key>" (salt and key in base64) for a new password.
std::string HashPassword(const std::string& plain, int iterations = 20000);

}  // namespace nut
