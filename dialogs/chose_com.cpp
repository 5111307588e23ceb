#include "dialogs/chose_com.h"

#include <QHeaderView>
#include <QStandardItemModel>
#include <QTreeView>

#include "dialogs/dialog_fields.h"
#include "link/port/port_directory.h"
#include "link/port/serial_port.h"
#include "ui_chose_com.h"
#include "widgets/message_box.h"

namespace {
constexpr int kMaxPorts = 400;
constexpr int kMaxNameLength = 399;
}  // namespace

CChoseCom::CChoseCom(int comPort, QWidget* parent)
    : QDialog(parent), ui_(new Ui::CChoseCom), port_(comPort), startPort_(comPort) {
    ui_->setupUi(this);

    // Two columns in the drop-down: the name the choice is made by, and the device behind it.
    auto* model = new QStandardItemModel(0, 2, this);
    const QList<ComPortEntry> ports = ListComPorts();
    for (const ComPortEntry& p : ports) {
        if (model->rowCount() >= kMaxPorts) break;
        auto* name = new QStandardItem(p.name.left(kMaxNameLength));
        name->setData(p.devicePath, Qt::ToolTipRole);
        auto* path = new QStandardItem(p.devicePath);
        model->appendRow({name, path});
    }
    auto* view = new QTreeView(ui_->combo_ComPort);
    view->setHeaderHidden(true);
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setAllColumnsShowFocus(true);
    ui_->combo_ComPort->setModel(model);
    ui_->combo_ComPort->setView(view);
    ui_->combo_ComPort->setModelColumn(0);
    view->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view->setMinimumWidth(view->header()->length() + 24);

    const QString current = QStringLiteral("COM%1").arg(comPort);
    int selected = -1;
    for (int i = 0; i < model->rowCount(); ++i)
        if (model->item(i, 0)->text() == current) {
            selected = i;
            break;
        }
    ui_->combo_ComPort->setCurrentIndex(selected);
    ShowDevicePath();

    connect(ui_->combo_ComPort, &QComboBox::activated, this, &CChoseCom::OnChoice);
    connect(ui_->combo_ComPort, &QComboBox::currentIndexChanged, this, &CChoseCom::ShowDevicePath);
    connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &CChoseCom::accept);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CChoseCom::reject);
}

CChoseCom::~CChoseCom() { delete ui_; }

void CChoseCom::OnChoice(int index) {
    const QString name = ui_->combo_ComPort->itemText(index);
    if (name.size() < 4) return;
    const QByteArray digits = name.mid(3).toLatin1();
    if (auto n = ScanInt32(digits.constData(), size_t(digits.size()))) port_ = *n;
}

void CChoseCom::ShowDevicePath() {
    const int i = ui_->combo_ComPort->currentIndex();
    ui_->label_DevicePath->setText(i < 0 ? QString() : ui_->combo_ComPort->itemData(i, Qt::ToolTipRole).toString());
}

void CChoseCom::accept() {
    if (!(startPortOpen_ && port_ == startPort_)) {
        QString reason;
        if (!TryComPort(port_, baudRate_, &reason)) {  // the reason names the port and its device
            ShowMessageBox(this, reason, windowTitle(), BoxIcon::Stop);
            return;
        }
    }
    QDialog::accept();
}
