#include "app/aldera_view.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <cmath>
#include <cstring>
#include <ctime>
#include <optional>

#include "app/artwork.h"
#include "app/data_log.h"
#include "app/panel_math.h"
#include "app/picture_button.h"
#include "app/service_menu.h"
#include "app/state_presentation.h"
#include "link/device_lock.h"
#include "link/link_core.h"
#include "link/port/ups_event.h"
#include "ui_main_panel.h"
#include "widgets/control_ids.h"
#include "widgets/failure_dialog.h"
#include "widgets/history_dialog.h"
#include "widgets/mac_progress_ctrl.h"
#include "widgets/message_box.h"

namespace {
const QColor kGreen(0, 255, 0);
const QColor kYellow(255, 255, 0);
const QColor kRed(255, 0, 0);
// Readings kept from before a link outage: shown, but not as live.
const QColor kStale(150, 150, 150);

// Bar colour for gauges where a high value is bad: green up to and including lower, yellow
// below limit, red from there on.
QColor RatedColour(double v, double lower, double limit) {
    if (v <= lower) return kGreen;
    if (v < limit) return kYellow;
    return kRed;
}

// Fixed thresholds: already yellow at the first one. NaN is below nothing, so it ends red.
QColor ThresholdColour(double v, double yellowFrom, double redFrom) {
    if (v < yellowFrom) return kGreen;
    if (v < redFrom) return kYellow;
    return kRed;
}

QString Fixed(const char* format, double v) { return QString::asprintf(format, v); }

// The three numeric end texts: shortest general form, up to 15 significant digits.
QString Shortest(double v) { return QString::number(v, 'g', 15); }

void SetGauge(CMacProgressCtrl* bar, QColor colour, uint16_t upper, int64_t position,
              uint16_t lower = 0) {
    bar->SetColor(colour);
    bar->SetRange(lower, upper);
    bar->SetPos(ClampToInt(position));
}
}  // namespace

CAlderaView::CAlderaView(QMainWindow* frame, QWidget* parent)
    : QWidget(parent), ui_(new Ui::CAlderaView), frame_(frame) {
    ui_->setupUi(this);
    OpaqueTexts();
    connect(ui_->id_1018, &QPushButton::clicked, this, &CAlderaView::OnRecharge);
    connect(ui_->id_1014, &QPushButton::clicked, this, &CAlderaView::OnHistory);
    connect(ui_->id_1015, &QPushButton::clicked, this, &CAlderaView::OnFailureSystem);
}

// Texts paint their own background, in the colour of the group box they sit on, so repainting
// one that changed does not drag the box behind it (and its framed border) into every refresh.
void CAlderaView::OpaqueTexts() {
    const QList<QGroupBox*> boxes = findChildren<QGroupBox*>();
    QList<QColor> insides;
    for (QGroupBox* box : boxes) {
        const QImage face = box->grab().toImage();
        insides.append(face.isNull() ? palette().color(QPalette::Window)
                                     : face.pixelColor(face.width() / 2, face.height() / 2));
    }
    for (QLabel* label : findChildren<QLabel*>()) {
        QPalette pal = label->palette();
        for (int i = 0; i < boxes.size(); ++i)
            if (boxes[i]->geometry().contains(label->geometry())) pal.setColor(QPalette::Window, insides[i]);
        label->setPalette(pal);
        label->setAutoFillBackground(true);
    }
}

CAlderaView::~CAlderaView() {
    // The link must not post to a panel that is gone.
    if (RegisteredWindow() == static_cast<QObject*>(this)) SendHwnd(nullptr);
    delete ui_;
}

void CAlderaView::OnUpdate() {
    CPictureButton* picture = ui_->id_1033;
    picture->SetPicture(PanelPicture(picture->size()));
    productWord_ = QStringLiteral("Vespero");
    unitWord_ = QStringLiteral("kW");
    update();
}

void CAlderaView::OnInitialUpdate() {
    UpdateControls();
    OnUpdate();
    if (frame_) {
        if (frame_->layout()) frame_->layout()->activate();
        // The form has a fixed size; the frame grows or shrinks around it.
        frame_->adjustSize();
    }
    SendHwnd(static_cast<QObject*>(this));
    if (!frame_) return;

    QMenuBar* bar = frame_->menuBar();
    const QList<QAction*> popups = bar->actions();
    if (popups.size() == 3 && popups[1]->menu()) delete popups[1]->menu();

    serviceMenu_ = new ServiceMenu(bar, this, this);
    if (QAction* a = FindCommand(frame_, 32782))
        connect(a, &QAction::triggered, serviceMenu_, &ServiceMenu::OnConfigComPort);
    if (QAction* a = FindCommand(frame_, 32784))
        connect(a, &QAction::triggered, serviceMenu_, &ServiceMenu::OnInsertPassword);
    if (QAction* a = FindCommand(frame_, 32795))
        connect(a, &QAction::triggered, serviceMenu_, &ServiceMenu::OnFirmwareVersion);
}

void CAlderaView::customEvent(QEvent* event) {
    const int type = int(event->type());
    if (type != WM_UPS_REFRESH && type != WM_UPS_EVENT) return QWidget::customEvent(event);
    const auto* message = dynamic_cast<UpsMessageEvent*>(event);
    const uintptr_t wParam = message ? message->wParam() : 0;
    const intptr_t lParam = message ? message->lParam() : 0;
    if (type == WM_UPS_REFRESH)
        OnUpsRefresh(wParam, lParam);
    else
        OnUpsEvent(wParam, lParam);
}

int CAlderaView::OnUpsRefresh(uintptr_t, intptr_t) {
    // One consistent copy: the link thread may be storing the next reply meanwhile.
    const _ZozeUps ups = SnapshotDevice(0);
    const UpsStatusBlock& s = ups.status;
    // While the unit does not answer the record keeps its last readings; they stay on the
    // panel, greyed, so nobody takes them for live ones. Before its first answer there are none.
    const bool timeout = std::strncmp(ups.stateText, "Timeout", sizeof ups.stateText) == 0;
    if (!timeout) lastGood_ = clock_ ? clock_() : std::time(nullptr);
    const bool stale = timeout && lastGood_ != 0;
    auto shade = [stale](QColor c) { return stale ? kStale : c; };

    // 1. Rating and the limits derived from it.
    const double r = double(s.powerUnits);
    if (r != cachedRating_) {
        cachedRating_ = r;
        if (r == 0) return 1;
        const int64_t units = TruncSat(r);  // powerUnits is 32-bit: no overflow below
        const int64_t watts = units * 5000;
        ratingLine_ = QStringLiteral("%1 %2 %3").arg(productWord_).arg(watts / 1000).arg(unitWord_);
        integerRating_ = ClampToInt(units);
        const double n = std::trunc(double(watts) / 50.0);
        update();
        lowerCurrentLimit_ = 0.8 * n;
        currentLimit_ = n;
        currentBarMax_ = 1 - std::trunc(n * (-1.1));
        const double w = double(watts);
        lowerPowerLimit_ = 0.8 * w;
        powerLimit_ = w;
        powerBarMax_ = (1 - std::trunc(w * 1.1 / (-100))) * 100;
        haveLimits_ = true;
    }

    // The ten gauges below repaint together when this scope ends, at once but in one pass.
    std::optional<CMacProgressCtrl::RepaintBatch> gaugeRepaints(std::in_place);

    // 2. Battery current, 3. output current: amperes from the auxiliary answer.
    const double ibatt = ups.auxWord[1];
    const double iout = ups.auxWord[6];
    ibattText_ = Fixed("%.0f", ibatt);
    ioutText_ = Fixed("%.0f", iout);
    // 4. Output power: tenths of a volt times amperes (64-bit, so large words cannot overflow).
    const double pout = double(int64_t(ups.auxWordB[2]) * int64_t(ups.auxWord[6])) / 10.0;
    poutText_ = Fixed("%.0f", pout);
    if (haveLimits_) {
        const uint16_t currentTop = Low16(10 * TruncSat(currentBarMax_));
        ibattMaxText_ = Fixed("%.0f", currentBarMax_);
        SetGauge(ui_->id_1025, shade(RatedColour(ibatt, lowerCurrentLimit_, currentLimit_)), currentTop,
                 int64_t(ups.auxWord[1]) * 10);
        ioutMaxText_ = Fixed("%.0f", currentBarMax_);
        SetGauge(ui_->id_1044, shade(RatedColour(iout, lowerCurrentLimit_, currentLimit_)), currentTop,
                 int64_t(ups.auxWord[6]) * 10);
        const int64_t powerTop = TruncSat(powerBarMax_);
        SetGauge(ui_->id_1027, shade(RatedColour(pout, lowerPowerLimit_, powerLimit_)), Low16(powerTop),
                 TruncSat(pout));
        poutMaxText_ = QString::number(powerTop);
    }

    // 5. Battery voltage: low is bad, so the order of the colours is reversed.
    const double vbatt = ups.auxWordB[2] / 10.0;
    const uint32_t blocks = s.currentUnits;
    const QColor vbattColour = vbatt < 10.5 * blocks ? kRed : vbatt < 11.0 * blocks ? kYellow : kGreen;
    vbattHigh_ = std::trunc(15.0 * blocks);
    SetGauge(ui_->id_1024, shade(vbattColour), Low16(int64_t(15) * blocks), TruncSat(vbatt));
    vbattText_ = Fixed("%6.1f", vbatt);

    // 6. Generator frequency, in tenths of a hertz on the bar.
    const double f = s.outputFrequency;
    SetGauge(ui_->id_1028, shade(kGreen), 4000, TruncSat(f * 10), 20);
    freqText_ = f < 2.0 ? QStringLiteral("NO freq") : Fixed("%.1f", f);
    freqLow_ = 2;
    freqHigh_ = 400;

    // 7. Battery temperature: the bar spans -25 to 60 degrees.
    const double tbatt = s.batteryTemperature;
    SetGauge(ui_->id_1032, shade(ThresholdColour(tbatt, 35, 40)), 85,
             int64_t(ClampToInt(TruncSat(tbatt))) + 25);
    tbattText_ = Fixed("%.0f", tbatt);

    // 8. Heat sink, 9. case temperature.
    const double theat = s.inverterTemperature;
    SetGauge(ui_->id_1030, shade(ThresholdColour(theat, 65, 70)), 80, TruncSat(theat));
    theatText_ = Fixed("%.1f", theat);
    const double tcase = s.caseTemperature;
    SetGauge(ui_->id_1031, shade(ThresholdColour(tcase, 70, 75)), 60, TruncSat(tcase));
    tcaseText_ = Fixed("%.1f", tcase);

    // 10. VHP, judged by its integer part; a value that is not a number counts as high.
    const double u = s.internalVoltage1;
    const int64_t ui = TruncSat(u);
    const QColor vhpColour = std::isnan(u) ? kRed : ui < 150 ? kGreen : ui < 160 ? kYellow : kRed;
    SetGauge(ui_->id_1034, shade(vhpColour), 200, ui);
    vhpText_ = Fixed("%6.0f", u);

    // 11. Output load in percent.
    const uint32_t load = s.powerPercent;
    SetGauge(ui_->id_1039, shade(load < 80 ? kGreen : load < 100 ? kYellow : kRed), 100, int64_t(load));
    loadText_ = QString::number(load);
    gaugeRepaints.reset();

    // 12. Caption, charge and status lines, confirmed menu commands.
    PresentState(ups);

    // 13. Every text at once.
    UpdateControls();
    ShowStale(stale);

    // 14. Data log: the 11th refresh, then every 1001st.
    if (logCountdown_ != 0) {
        --logCountdown_;
    } else {
        logCountdown_ = 1000;
        WriteDataLog(s);
    }
    emit Refreshed(ups);
    return 0;
}

void CAlderaView::PresentState(const _ZozeUps& ups) {
    const QString caption = CaptionText(ups.stateText, ups.status.flags12);
    if (frame_)
        frame_->setWindowTitle(caption);
    else
        window()->setWindowTitle(caption);
    if (ups.adReadFlags == 3) EnableInPopup1(32793);
    chargeLine_ = ChargeLineText(ups.status.ccbStatus);
    statusLine_ = StatusLineText(ups.status.stateCode);
    if (ups.setupValid == 1) EnableInPopup1(32792);
}

void CAlderaView::EnableInPopup1(int commandId) {
    // Whatever popup stands at position 1: without the "User" popup that is "Help", which holds
    // neither command.
    if (!frame_) return;
    const QList<QAction*> popups = frame_->menuBar()->actions();
    if (popups.size() < 2 || !popups[1]->menu()) return;
    const QString name = CommandName(commandId);
    for (QAction* item : popups[1]->menu()->actions())
        if (item->objectName() == name) item->setEnabled(true);
}

void CAlderaView::UpdateControls() {
    ui_->id_1000->setText(freqText_);
    ui_->id_1006->setText(vbattText_);
    ui_->id_1005->setText(ibattText_);
    ui_->id_1042->setText(ioutText_);
    ui_->id_1009->setText(poutText_);
    ui_->id_1038->setText(loadText_);
    ui_->id_1017->setText(tbattText_);
    ui_->id_1001->setText(vhpText_);
    ui_->id_1012->setText(theatText_);
    ui_->id_1016->setText(tcaseText_);
    ui_->id_1043->setText(ibattMaxText_);
    ui_->id_1215->setText(ioutMaxText_);
    ui_->id_1041->setText(poutMaxText_);
    ui_->id_1150->setText(Shortest(freqLow_));
    ui_->id_1151->setText(Shortest(freqHigh_));
    ui_->id_1152->setText(Shortest(vbattHigh_));
    ui_->id_1146->setText(ratingLine_);
    ui_->id_1163->setText(chargeLine_);
    ui_->id_1162->setText(statusLine_);
}

void CAlderaView::ShowStale(bool stale) {
    if (stale == shownStale_ && !stale) return;
    shownStale_ = stale;
    // Every value and state text greyed with its gauge, the panel's own text colour back with live
    // data; each keeps the background it paints.
    const QColor text = stale ? kStale : palette().color(QPalette::WindowText);
    for (QLabel* label : {ui_->id_1000, ui_->id_1006, ui_->id_1005, ui_->id_1042, ui_->id_1009, ui_->id_1038,
                          ui_->id_1017, ui_->id_1001, ui_->id_1012, ui_->id_1016, ui_->id_1163, ui_->id_1162}) {
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, text);
        label->setPalette(p);
    }
    QLabel* pane = frame_ ? frame_->findChild<QLabel*>(QStringLiteral("messagePane")) : nullptr;
    if (!pane) return;
    if (!stale) {
        pane->setText(QStringLiteral("Pronto"));
    } else {
        const QDateTime at = QDateTime::fromSecsSinceEpoch(lastGood_);
        const QDateTime now = QDateTime::fromSecsSinceEpoch(clock_ ? clock_() : std::time(nullptr));
        pane->setText(QStringLiteral("No data since %1")
                          .arg(at.toString(at.date() == now.date() ? QStringLiteral("HH:mm:ss")
                                                                   : QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    }
}

void CAlderaView::WriteDataLog() { WriteDataLog(SnapshotDevice(0).status); }

void CAlderaView::WriteDataLog(const UpsStatusBlock& status) {
    const std::time_t now = clock_ ? clock_() : std::time(nullptr);
    const QString error = AppendLogRow("log.txt", FormatLogRow(status, now));
    if (!error.isEmpty())
        ShowMessageBox(this, error, QStringLiteral("Error while logging"), BoxIcon::Stop);
}

int CAlderaView::OnUpsEvent(uintptr_t code, intptr_t) {
    const char* text = nullptr;
    switch (code) {
    case 0: text = "Comunication with the EX resumed"; break;
    case 1: text = "Comunication with the Ex Lost"; break;
    case 2: text = "Cannot open Serial Interface\nExiting"; break;
    default: return 0;  // 3 to 7 name shutdown schedules this program never runs
    }
    // No owner: the panel stays usable and goes on refreshing while the box is open.
    ShowMessageBox(nullptr, QString::fromLatin1(text), QStringLiteral("Ex"), BoxIcon::None, true);
    if (code == 2) {
        if (exitHandler_)
            exitHandler_(0);
        else
            QCoreApplication::exit(0);
    }
    return 0;
}

void CAlderaView::OnRecharge() { KeybCommand(KEYB_RECHARGE, 0, 0, 0); }

void CAlderaView::OnHistory() {
    CHistory dialog(SnapshotDevice(0), this);
    dialog.exec();
}

void CAlderaView::OnFailureSystem() {
    integerRating_ = ClampToInt(TruncSat(cachedRating_));
    CFailure dialog(SnapshotDevice(0), integerRating_, this);
    dialog.exec();
}
