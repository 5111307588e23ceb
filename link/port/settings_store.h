// The link settings on QSettings: organisation "Tralvane", application "Ups", group "Orbo",
// string values. On Linux the INI file $XDG_CONFIG_HOME/Tralvane/Ups.ini (default ~/.config).
#pragma once

#include <QString>

#include "link/link_core.h"

const LinkSettingsStore* QtSettingsStore();

// The file (or, on Windows, registry key) the store uses right now.
QString LinkSettingsLocation();
