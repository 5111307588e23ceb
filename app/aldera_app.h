// The application object: starts CAlderaDoc (and with it the link), the frame and the panel,
// and ends them in order.
#pragma once

#include <QApplication>

class CAlderaDoc;
class CAlderaView;
class CMainFrame;
class FrameworkCommands;
class SingleInstance;

// Lets the link thread show its port errors: the box appears on the window thread (no owner,
// information icon) and the link thread waits until it is closed. Once the window thread has
// stopped taking work (ClosePortErrorBoxes) a report goes to standard error instead, so a
// waiting link thread can never block the end of the program.
void InstallPortErrorBoxes();
void ClosePortErrorBoxes();

class CAlderaApp : public QApplication {
    Q_OBJECT
public:
    CAlderaApp(int& argc, char** argv);
    ~CAlderaApp() override;

    // Document, frame and panel, then the window is shown. False ends the program at once,
    // with startStatus() as its exit status.
    bool InitInstance();
    int startStatus() const { return startStatus_; }
    // After the message loop: the link is stopped before the window is destroyed.
    void ExitInstance();

    CAlderaDoc* doc() const { return doc_; }
    CMainFrame* frame() const { return frame_; }
    CAlderaView* view() const { return view_; }

    void OnAppAbout();

private:
    CAlderaDoc* doc_ = nullptr;
    CMainFrame* frame_ = nullptr;
    CAlderaView* view_ = nullptr;
    FrameworkCommands* fileCommands_ = nullptr;
    SingleInstance* instance_ = nullptr;
    int startStatus_ = 0;
};
