#include "app/trend/trend_load.h"

#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QLabel>
#include <QThread>
#include <QTimer>

#include "app/trend/trend_series.h"
#include "widgets/message_box.h"

void CTrendWindow::OnOpenLog() {
    const QString path = ChooseFileToOpen(this, QStringLiteral("Data log (*.txt);;All Files (*)"),
                                          QStringLiteral("txt"));
    if (!path.isEmpty()) OpenLog(path);
}

void CTrendWindow::OpenLog(const QString& path) {
    if (loader_) CancelLoad();
    loader_ = std::make_unique<Load>();
    loader_->path = path;
    Load* load = loader_.get();
    const int blocks = blocks_;
    load->thread = QThread::create([load, blocks] {
        load->result = LoadDataLogFile(load->path, kLogPoints, &load->progress, blocks);
    });
    // A load cancelled and replaced may still report its end: only the current one counts.
    connect(load->thread, &QThread::finished, this, [this, load] {
        if (loader_.get() == load) LoadFinished();
    });
    progress_->setValue(0);
    progress_->setVisible(true);
    cancel_->setVisible(true);
    status_->setText(QStringLiteral("Reading %1...").arg(QFileInfo(path).fileName()));
    load->thread->start(QThread::LowPriority);
    // The bar follows the bytes read; the window stays responsive meanwhile.
    auto* poll = new QTimer(load->thread);
    connect(poll, &QTimer::timeout, this, [this, load] {
        if (loader_.get() != load) return;
        const int64_t total = load->progress.total;
        if (total > 0) progress_->setValue(int(load->progress.done * 1000 / total));
    });
    poll->start(100);
}

void CTrendWindow::CancelLoad() {
    if (!loader_) return;
    loader_->progress.cancel = true;
    loader_->thread->wait();
    LoadFinished();
}

void CTrendWindow::LoadFinished() {
    if (!loader_) return;
    std::unique_ptr<Load> load = std::move(loader_);
    load->thread->wait();
    delete load->thread;  // its poll timer goes with it
    progress_->setVisible(false);
    cancel_->setVisible(false);
    LogLoadResult& r = load->result;
    if (r.cancelled) {
        status_->setText(QStringLiteral("Reading cancelled"));
        return;
    }
    if (!r.error.isEmpty()) {
        status_->setText(QString());
        ShowMessageBox(this, r.error, QStringLiteral("Trend"), BoxIcon::Stop);
        return;
    }
    logPoints_ = std::move(r.points);
    logSpread_ = std::move(r.spread);
    logFolded_ = r.rows > int64_t(logPoints_.size());
    logRows_ = r.rows;
    logSkipped_ = r.skipped;
    showingLog_ = true;
    following_ = false;
    source_ = QFileInfo(load->path).fileName();
    SourceRange(from_, to_);
    if (to_ <= from_) to_ = from_ + kMinSpan;
    FillSpans();
    Redraw();
}

