// Reading vesperod's users file at start, and both its files again on SIGHUP.
#pragma once

#include <QString>
#include <QStringList>

#include "daemon/daemon_config.h"
#include "daemon/nut/users_file.h"

namespace nut {

class Server;
class UnitBoard;

// Reads the users file into *users. With `keep` (a reload), a file that cannot be read or holds
// an error leaves *users as it was; at start such a file gives what could be read safely.
void LoadUsers(const QString& path, bool keep, UsersFile* users);

// Every fault of the settings file at configPath (its [battery] group only as a whole, without a
// line) and of the users file it names: what --check-config prints. Empty when both are usable.
// required: a missing settings file is a fault.
QStringList CheckSettings(const QString& configPath, bool required);

// What the NUT side offers for STARTTLS, for the log: the certificate file and its summary.
QString DescribeTls(const DaemonConfig& config);

// The server settings and the users file again, clients staying connected. A settings file that
// cannot be used changes nothing and each of its faults is logged as FILE:LINE; the listening sockets stay as they
// are until a restart.
void ReloadSettings(const QString& configPath, bool required, bool listenFromCommandLine, DaemonConfig* config,
                    UsersFile* users, UnitBoard* board, Server* server);

}  // namespace nut
