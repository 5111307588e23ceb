// The CSV data log "log.txt": one row of device 0's main measurements per call.
#pragma once

#include <QByteArray>
#include <QString>
#include <ctime>

#include "link/ups_link.h"

extern const char kDataLogHeader[];

// The row for status read at time now (local time), CR LF included. Integer columns are the
// values truncated toward zero; a value that is not a number is written as "nan" or "inf".
QByteArray FormatLogRow(const UpsStatusBlock& status, std::time_t now);

// Appends row to the file at path; a file that did not exist is created and gets the header
// first. The bytes go out in one write: on a failed or short write the file is cut back to its
// previous length (a file created by this call is removed), so a row is written whole or not at
// all. Returns an empty text on success, else the system's text for the error.
QString AppendLogRow(const char* path, const QByteArray& row);

// Started from the desktop's menu (vespero --desktop) the working directory is whatever the
// session had, often the home folder: log.txt and valori.txt go to $XDG_DATA_HOME/Tralvane
// (default ~/.local/share/Tralvane) instead. From a terminal they stay in the working directory.
QString DesktopDataFolder();
// Makes the folder (private to the user) and moves into it; the system's text on failure.
QString EnterDesktopDataFolder();
