// The one way the program shows a message box or a file dialog. Tests install an answerer, so
// no box is ever left open waiting for a person.
#pragma once

#include <QString>
#include <functional>

class QWidget;

enum class BoxIcon { None, Information, Exclamation, Stop };

struct ShownBox {
    QString text;
    QString caption;
    BoxIcon icon;
    bool owned;      // shown over a parent window
    bool modeless;   // the rest of the program stays usable while it is open
};

// Shows a box with one OK button and returns when it is closed. With an owner the box is modal
// to it; modeless boxes leave every window usable while a local event loop waits for OK.
void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                    bool modeless = false);

// Tests: every box goes to the answerer instead of the screen. Pass nullptr to restore.
using BoxAnswerer = std::function<void(const ShownBox&)>;
void SetMessageBoxAnswerer(BoxAnswerer answerer);

// File dialogs. filter uses Qt's form ("Text Files (*.txt);;All Files (*)"). An empty result
// means the user cancelled.
QString ChooseFileToOpen(QWidget* parent, const QString& filter, const QString& defaultSuffix);
QString ChooseFileToSave(QWidget* parent, const QString& filter, const QString& defaultSuffix);

// Tests: answer file dialogs with a path (or an empty text for Cancel). save says which dialog.
using FileAnswerer = std::function<QString(bool save)>;
void SetFileDialogAnswerer(FileAnswerer answerer);
