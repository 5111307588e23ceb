#include "app/framework_commands.h"

#include <QCoreApplication>
#include <QMainWindow>
#include <QPageSetupDialog>
#include <QPrinter>

#include "app/aldera_doc.h"
#include "app/aldera_view.h"
#include "widgets/control_ids.h"
#include "widgets/message_box.h"

namespace {
enum { kFileNew = 57600, kFileOpen = 57601, kFilePrintSetup = 57606 };
}

FrameworkCommands::FrameworkCommands(CAlderaDoc* doc, QMainWindow* frame, CAlderaView* view,
                                     QObject* parent)
    : QObject(parent), doc_(doc), frame_(frame), view_(view) {
    if (QAction* a = FindCommand(frame_, kFileNew))
        connect(a, &QAction::triggered, this, &FrameworkCommands::OnFileNew);
    if (QAction* a = FindCommand(frame_, kFileOpen))
        connect(a, &QAction::triggered, this, &FrameworkCommands::OnFileOpen);
    if (QAction* a = FindCommand(frame_, kFilePrintSetup))
        connect(a, &QAction::triggered, this, &FrameworkCommands::OnFilePrintSetup);
}

FrameworkCommands::~FrameworkCommands() = default;

void FrameworkCommands::ShowDocumentTitle() {
    // Stands until the next refresh replaces the caption with the unit's state.
    frame_->setWindowTitle(doc_->Title() + QStringLiteral(" - ") + QCoreApplication::applicationName());
    // The panel keeps its values, its registration and the menu bar as the access level left it.
    if (view_) view_->OnUpdate();
}

void FrameworkCommands::OnFileNew() {
    if (!doc_->OnNewDocument()) return;
    ShowDocumentTitle();
}

void FrameworkCommands::OnFileOpen() {
    const QString path = ChooseFileToOpen(frame_, QStringLiteral("All Files (*)"), QString());
    if (path.isEmpty()) return;
    QString reason;
    if (!doc_->OnOpenDocument(path, &reason)) {
        ShowMessageBox(frame_, QStringLiteral("Failed to open document.\n") + reason,
                       QCoreApplication::applicationName(), BoxIcon::Exclamation);
        return;
    }
    ShowDocumentTitle();
}

void FrameworkCommands::OnFilePrintSetup() {
    if (!printer_) printer_ = std::make_unique<QPrinter>();
    QPageSetupDialog dialog(printer_.get(), frame_);
    dialog.exec();
}
