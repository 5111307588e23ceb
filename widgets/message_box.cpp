#include "widgets/message_box.h"

#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>

namespace {
BoxAnswerer boxAnswerer;
FileAnswerer fileAnswerer;

QMessageBox::Icon ToQtIcon(BoxIcon icon) {
    switch (icon) {
    case BoxIcon::Information: return QMessageBox::Information;
    case BoxIcon::Exclamation: return QMessageBox::Warning;
    case BoxIcon::Stop: return QMessageBox::Critical;
    case BoxIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QString ChooseFile(QWidget* parent, const QString& filter, const QString& suffix, bool save) {
    if (fileAnswerer) return fileAnswerer(save);
    QFileDialog dialog(parent);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(suffix.startsWith('.') ? suffix.mid(1) : suffix);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (save) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}
}  // namespace

void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                    bool modeless) {
    if (boxAnswerer) {
        boxAnswerer(ShownBox{text, caption, icon, owner != nullptr, modeless});
        return;
    }
    QMessageBox box(ToQtIcon(icon), caption, text, QMessageBox::Ok, owner);
    if (!modeless) {
        box.exec();
        return;
    }
    box.setWindowModality(Qt::NonModal);
    QEventLoop loop;
    QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    box.show();
    loop.exec();
}

void SetMessageBoxAnswerer(BoxAnswerer answerer) { boxAnswerer = std::move(answerer); }

QString ChooseFileToOpen(QWidget* parent, const QString& filter, const QString& defaultSuffix) {
    return ChooseFile(parent, filter, defaultSuffix, false);
}

QString ChooseFileToSave(QWidget* parent, const QString& filter, const QString& defaultSuffix) {
    return ChooseFile(parent, filter, defaultSuffix, true);
}

void SetFileDialogAnswerer(FileAnswerer answerer) { fileAnswerer = std::move(answerer); }
