// Reading vesperod's users file at start, and both its files again on SIGHUP.
#pragma once

#include <QString>

#include "daemon/daemon_config.h"
#include "daemon/nut/users_file.h"

namespace nut {

class Server;
class UnitBoard;

// Reads the users file into *users. With `keep` (a reload), a file that cannot be read or holds
// an error leaves *users as it was; at start such a file gives what could be read safely.
void LoadUsers(const QString& path, bool keep, UsersFile* users);

// The server settings and the users file again, clients staying connected. A settings file that
// cannot be used changes nothing and is logged as FILE:LINE; the listening sockets stay as they
// are until a restart.
void ReloadSettings(const QString& configPath, bool required, bool listenFromCommandLine, DaemonConfig* config,
                    UsersFile* users, UnitBoard* board, Server* server);

}  // namespace nut
