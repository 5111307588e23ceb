#include "daemon/users_file.h"

#include <QCryptographicHash>
#include <QList>
#include <QPasswordDigestor>
#include <QRandomGenerator>

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

QByteArray Unquote(QByteArray v) {
    v = v.trimmed();
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.mid(1, v.size() - 2);
    return v;
}

bool ConstantTimeEqual(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

UsersFile ParseUsersFile(const QByteArray& text) {
    UsersFile out;
    User* current = nullptr;
    int lineNumber = 0;
    for (QByteArray line : text.split('\n')) {
        ++lineNumber;
        const qsizetype hash = line.indexOf('#');
        if (hash >= 0) line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty()) continue;
        auto warn = [&](const char* why) {
            out.warnings << QStringLiteral("line %1: %2").arg(lineNumber).arg(QLatin1String(why));
        };
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) {
                warn("a section name must stand in [brackets]");
                current = nullptr;
                continue;
            }
            current = &out.users[line.mid(1, line.size() - 2).trimmed().toStdString()];
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
        const QByteArray value = Unquote(line.mid(eq + 1));
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
    const QByteArray derived = QPasswordDigestor::deriveKeyPbkdf2(
        QCryptographicHash::Sha256, QByteArray::fromStdString(given), salt, iterations, quint64(key.size()));
    return ConstantTimeEqual(derived, key);
}

std::string HashPassword(const std::string& plain, int iterations) {
    QByteArray salt(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(salt.data()), salt.size() / 4);
    const QByteArray key = QPasswordDigestor::deriveKeyPbkdf2(
        QCryptographicHash::Sha256, QByteArray::fromStdString(plain), salt, iterations, kKeyBytes);
    return std::string(kHashPrefix) + std::to_string(iterations) + "$" + salt.toBase64().toStdString() + "$" +
           key.toBase64().toStdString();
}

}  // namespace nut
