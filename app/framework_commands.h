// The framework's file commands that the menu does not show: new document (Ctrl+N), open
// document (Ctrl+O) and printer set-up. The frame holds them as accelerators; this object
// carries them out on the one document, its frame and its panel.
#pragma once

#include <QObject>
#include <memory>

class CAlderaDoc;
class CAlderaView;
class QMainWindow;
class QPrinter;

class FrameworkCommands : public QObject {
    Q_OBJECT
public:
    FrameworkCommands(CAlderaDoc* doc, QMainWindow* frame, CAlderaView* view,
                      QObject* parent = nullptr);
    ~FrameworkCommands() override;

public slots:
    void OnFileNew();
    void OnFileOpen();
    void OnFilePrintSetup();

private:
    void ShowDocumentTitle();

    CAlderaDoc* doc_;
    QMainWindow* frame_;
    CAlderaView* view_;
    // The printer choice lasts for the session, as the framework keeps it.
    std::unique_ptr<QPrinter> printer_;
};
