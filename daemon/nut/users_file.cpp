#include "daemon/nut/users_file.h"

#include <QList>
#include <QRandomGenerator>

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace nut {
namespace {

constexpr char kHashPrefix[] = "$pbkdf2-sha256$";
constexpr int kKeyBytes = 32;

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Splits "a b, c" style lists.
QList<QByteArray> Items(const QByteArray& value) {
    QByteArray v = value;
    v.replace(',', ' ');
    QList<QByteArray> out;
    for (const QByteArray& item : v.simplified().split(' '))
        if (!item.isEmpty()) out.push_back(item);
    return out;
}

// The line up to a '#' that stands outside quotes; false when a quote is left open.
bool StripComment(const QByteArray& line, QByteArray* content) {
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == '#' && !quoted) {
            *content = line.left(i);
            return true;
        }
    }
    *content = line;
    return !quoted;
}

// A value as written, or the text between its quotes with \" and \\ undone. Null with *why set
// when something follows the closing quote.
QByteArray Unquote(QByteArray v, const char** why) {
    v = v.trimmed();
    if (!v.startsWith('"')) return v;
    QByteArray out;
    for (qsizetype i = 1; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '\\' && i + 1 < v.size()) {
            out += v[++i];
        } else if (c == '"') {
            if (i + 1 != v.size()) {
                *why = "text after the closing quote";
                return {};
            }
            return out.isNull() ? QByteArray("") : out;
        } else {
            out += c;
        }
    }
    *why = "a quote is left open";
    return {};
}

// The iteration count of a "$pbkdf2-sha256$..." hash; 0 for anything else.
int HashIterations(const std::string& stored) {
    if (stored.rfind(kHashPrefix, 0) != 0) return 0;
    const QList<QByteArray> parts = QByteArray::fromStdString(stored.substr(sizeof kHashPrefix - 1)).split('$');
    bool ok = false;
    const int iterations = parts.size() == 3 ? parts[0].toInt(&ok) : 0;
    return ok && iterations >= 1 && iterations <= 10'000'000 ? iterations : 0;
}

// PBKDF2-HMAC-SHA256 by OpenSSL: several times quicker than Qt's for the same key, so that the
// one checker thread gets through a flood's attempts that much sooner. Empty on failure.
QByteArray DeriveKey(const std::string& password, const QByteArray& salt, int iterations, int bytes) {
    QByteArray key(bytes, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), reinterpret_cast<const unsigned char*>(salt.constData()),
                          int(salt.size()), iterations, EVP_sha256(), bytes, reinterpret_cast<unsigned char*>(key.data())) != 1)
        return {};
    return key;
}

bool ConstantTimeEqual(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

UsersFile ParseUsersFile(const QByteArray& text, const QString& name) {
    UsersFile out;
    User* current = nullptr;
    std::string currentName;
    std::map<std::string, int> refused;  // user -> the first line that refuses it
    int lineNumber = 0;
    for (QByteArray line : text.split('\n')) {
        ++lineNumber;
        const QString where = name.isEmpty() ? QStringLiteral("line %1").arg(lineNumber)
                                             : QStringLiteral("%1:%2").arg(name).arg(lineNumber);
        auto warn = [&](const char* why) { out.warnings << QStringLiteral("%1: %2").arg(where, QLatin1String(why)); };
        auto fail = [&](const char* why) {
            QString text = QStringLiteral("%1: %2").arg(where, QLatin1String(why));
            if (current) {
                text += QStringLiteral("; user \"%1\" is refused").arg(QString::fromStdString(currentName));
                refused.emplace(currentName, lineNumber);
            }
            out.errors << text;
        };
        if (!StripComment(line, &line)) {
            fail("a quote is left open");
            continue;
        }
        line = line.trimmed();
        if (line.isEmpty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) {
                warn("a section name must stand in [brackets]");
                current = nullptr;
                continue;
            }
            currentName = line.mid(1, line.size() - 2).trimmed().toStdString();
            current = &out.users[currentName];
            continue;
        }
        if (!current) {
            warn("setting outside a [user] section");
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (eq < 0) {
            const QList<QByteArray> words = Items(line);
            if (words.size() == 2 && words[0].toLower() == "upsmon") {
                const QByteArray role = words[1].toLower();
                if (role == "primary" || role == "master") {
                    current->upsmon = UpsmonRole::Primary;
                    continue;
                }
                if (role == "secondary" || role == "slave") {
                    current->upsmon = UpsmonRole::Secondary;
                    continue;
                }
            }
            warn("not understood");
            continue;
        }
        const QByteArray key = line.left(eq).trimmed().toLower();
        const char* why = nullptr;
        const QByteArray value = Unquote(line.mid(eq + 1), &why);
        if (why) {
            fail(why);
            continue;
        }
        if (key == "password") {
            current->password = value.toStdString();
        } else if (key == "actions") {
            for (const QByteArray& a : Items(value)) current->actions.insert(Upper(a.toStdString()));
        } else if (key == "instcmds") {
            for (const QByteArray& c : Items(value)) current->instcmds.insert(Lower(c.toStdString()));
        } else {
            warn("unknown setting");
        }
    }
    for (const auto& [user, line] : refused) out.users.erase(user);
    for (const auto& [userName, user] : out.users) out.hashIterations = std::max(out.hashIterations, HashIterations(user.password));
    return out;
}

bool PasswordMatches(const std::string& stored, const std::string& given) {
    if (stored.empty()) return false;  // a user without a password cannot log in
    if (stored.rfind(kHashPrefix, 0) != 0)
        return ConstantTimeEqual(QByteArray::fromStdString(stored), QByteArray::fromStdString(given));
    const QList<QByteArray> parts =
        QByteArray::fromStdString(stored.substr(sizeof kHashPrefix - 1)).split('$');
    if (parts.size() != 3) return false;
    bool ok = false;
    const int iterations = parts[0].toInt(&ok);
    if (!ok || iterations < 1 || iterations > 10'000'000) return false;
    const QByteArray salt = QByteArray::fromBase64(parts[1]);
    const QByteArray key = QByteArray::fromBase64(parts[2]);
    if (salt.isEmpty() || key.isEmpty()) return false;
    const QByteArray derived = DeriveKey(given, salt, iterations, int(key.size()));
    return !derived.isEmpty() && ConstantTimeEqual(derived, key);
}

bool PasswordCheck::Run() const {
    if (!known || HashIterations(stored) == 0) {
        // The decoy: the same work as for a hashed user, its result unused.
        static const QByteArray salt(16, 'v');
        if (decoyIterations > 0) {
            if (DeriveKey(given, salt, decoyIterations, kKeyBytes).isEmpty()) return false;
        }
        if (!known) return false;
    }
    return PasswordMatches(stored, given);
}

int PasswordCheck::Iterations() const {
    const int own = known ? HashIterations(stored) : 0;
    return own > 0 ? own : decoyIterations;
}

PasswordCheck MakePasswordCheck(const UsersFile& users, const std::string& name, const std::string& given) {
    PasswordCheck check;
    check.user = name;
    const auto it = users.users.find(name);
    check.known = it != users.users.end();
    if (check.known) check.stored = it->second.password;
    check.given = given;
    check.decoyIterations = users.hashIterations;
    return check;
}

std::string HashPassword(const std::string& plain, int iterations) {
    QByteArray salt(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(salt.data()), salt.size() / 4);
    const QByteArray key = DeriveKey(plain, salt, iterations, kKeyBytes);
    return std::string(kHashPrefix) + std::to_string(iterations) + "$" + salt.toBase64().toStdString() + "$" +
           key.toBase64().toStdString();
}

}  // namespace nut
