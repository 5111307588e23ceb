#include "dialogs/ruv_set.h"

#include <QLineEdit>
#include <QPushButton>

#include "dialogs/preset_file.h"
#include "ui_ruv_set.h"
#include "widgets/message_box.h"

namespace {
const char kPresetFilter[] = "Text Files (*.txt);;All Files (*.*)";
constexpr QLatin1StringView kEditPrefix("edit_");  // each edit is named edit_<preset key>
}  // namespace

CRuvSet::CRuvSet(const UpsSetup& setupRead, bool unlocked, QWidget* parent)
    : QDialog(parent), ui_(new Ui::CRuvSet), read_(setupRead), unlocked_(unlocked), fields_(this) {
    ui_->setupUi(this);
    ui_->combo_NumBatt->SetEntries(kNumBattChoices);
    ui_->combo_num_board->SetEntries(kSizeChoices);
    ui_->combo_enable->SetEntries(kFunctionChoices);
    ui_->combo_input_mode->SetEntries(kInputChoices);
    ui_->combo_rl1->SetEntries(kRl1Choices);
    ui_->combo_rl2->SetEntries(kRl2Choices);
    ui_->combo_rele_mod->SetEntries(kRelayModeChoices);

    connect(ui_->combo_NumBatt, &ChoiceCombo::choiceMade, this, [this](int i) { values_.numBatt = i; });
    connect(ui_->combo_num_board, &ChoiceCombo::choiceMade, this, [this](int i) { values_.numBoard = i; });
    connect(ui_->combo_enable, &ChoiceCombo::choiceMade, this, [this](int i) { values_.enable = i; });
    connect(ui_->combo_input_mode, &ChoiceCombo::choiceMade, this, [this](int i) { values_.inputMode = i; });
    connect(ui_->combo_rl1, &ChoiceCombo::choiceMade, this, [this](int i) { values_.rl1 = i; });
    connect(ui_->combo_rl2, &ChoiceCombo::choiceMade, this, [this](int i) { values_.rl2 = i; });
    connect(ui_->combo_rele_mod, &ChoiceCombo::choiceMade, this, [this](int i) {
        values_.releMod = i;
        ApplyEnabling();
    });

    // Field order of the read pass.
    fields_.Int(ui_->edit_Ampereh, &values_.ampereh);
    fields_.Text(ui_->edit_Vcycle, &values_.vcycle);
    fields_.Text(ui_->edit_Vstandby, &values_.vstandby);
    fields_.Double(ui_->edit_VbattTH1, &values_.vbattTh1);
    fields_.Double(ui_->edit_IbattTH1, &values_.ibattTh1);
    fields_.Double(ui_->edit_IbattTH2, &values_.ibattTh2);
    fields_.Double(ui_->edit_pwm_lin_max, &values_.pwmLinMax);
    fields_.Double(ui_->edit_pwm_lin_min, &values_.pwmLinMin);
    fields_.Double(ui_->edit_delay3, &values_.delay3);
    fields_.Int(ui_->edit_delay5, &values_.delay5);
    fields_.Double(ui_->edit_fattore, &values_.fattore);
    fields_.Int(ui_->edit_slope, &values_.slope);
    fields_.Text(ui_->edit_f_start, &values_.fStart);
    fields_.Text(ui_->edit_f_stop, &values_.fStop);
    QLineEdit* pows[8] = {ui_->edit_pow0, ui_->edit_pow1, ui_->edit_pow2, ui_->edit_pow3,
                          ui_->edit_pow4, ui_->edit_pow5, ui_->edit_pow6, ui_->edit_pow7};
    QLineEdit* pfreqs[8] = {ui_->edit_pfreq0, ui_->edit_pfreq1, ui_->edit_pfreq2, ui_->edit_pfreq3,
                            ui_->edit_pfreq4, ui_->edit_pfreq5, ui_->edit_pfreq6, ui_->edit_pfreq7};
    for (int k = 0; k < 8; ++k) fields_.Int(pows[k], &values_.pow[k]);
    for (int k = 0; k < 8; ++k) fields_.Double(pfreqs[k], &values_.pfreq[k]);

    connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &CRuvSet::accept);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CRuvSet::reject);
    connect(ui_->button_Load, &QPushButton::clicked, this, &CRuvSet::OnLoad);
    connect(ui_->button_Save, &QPushButton::clicked, this, &CRuvSet::OnSave);
    connect(ui_->button_Default, &QPushButton::clicked, this, &CRuvSet::OnDefault);
    // Enter in an edit must not slip past the checks through a default button.
    for (QPushButton* b : findChildren<QPushButton*>()) b->setAutoDefault(false);
    ui_->buttonBox->button(QDialogButtonBox::Ok)->setDefault(true);

    FillFromSetup(setupRead, values_);
    ShowValues();
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        if (edit->objectName().startsWith(kEditPrefix))
            shownTexts_.insert(edit->objectName().mid(kEditPrefix.size()), edit->text());
}

CRuvSet::~CRuvSet() { delete ui_; }

void CRuvSet::ShowValues() {
    fields_.Show();
    ui_->combo_NumBatt->SetChoice(values_.numBatt);
    ui_->combo_num_board->SetChoice(values_.numBoard);
    ui_->combo_enable->SetChoice(values_.enable);
    ui_->combo_input_mode->SetChoice(values_.inputMode);
    ui_->combo_rl1->SetChoice(values_.rl1);
    ui_->combo_rl2->SetChoice(values_.rl2);
    ui_->combo_rele_mod->SetChoice(values_.releMod);
    ApplyEnabling();
}

bool CRuvSet::ReadValues() {
    const bool ok = fields_.Read();
    ApplyEnabling();
    return ok;
}

void CRuvSet::ApplyEnabling() {
    const bool mechanical = ClampChoice(kRelayModeChoices, values_.releMod) == 0;
    ui_->edit_delay5->setEnabled(mechanical);
    ui_->edit_f_start->setEnabled(mechanical);
    ui_->edit_f_stop->setEnabled(mechanical);
    ui_->combo_NumBatt->setEnabled(unlocked_);
    ui_->combo_num_board->setEnabled(unlocked_);
    ui_->combo_rele_mod->setEnabled(unlocked_);
    ui_->edit_Vcycle->setEnabled(false);
    ui_->edit_Vstandby->setEnabled(false);
}

void CRuvSet::accept() {
    const bool firstRead = ReadValues();
    const QString problem = CheckPowerCurve(values_);
    if (!problem.isEmpty()) {
        ShowMessageBox(this, problem, QStringLiteral("Vespero"), BoxIcon::Exclamation);
        return;
    }
    // A field that failed has already said so; reading again would only repeat its message.
    if (!firstRead || !ReadValues()) return;
    const SetupBaseline baseline = Baseline();
    const WireWordProblem wire = CheckWireWords(values_, &baseline);
    if (!wire.key.isEmpty()) {
        ShowMessageBox(this, wire.message, QStringLiteral("Vespero"), BoxIcon::Exclamation);
        if (auto* edit = findChild<QLineEdit*>(kEditPrefix + wire.key)) {
            edit->setFocus(Qt::OtherFocusReason);
            edit->selectAll();
        }
        return;
    }
    QDialog::accept();
}

SetupBaseline CRuvSet::Baseline() const {
    SetupBaseline b;
    b.read = read_;
    for (auto it = shownTexts_.cbegin(); it != shownTexts_.cend(); ++it) {
        const auto* edit = findChild<QLineEdit*>(kEditPrefix + it.key());
        if (edit && edit->text() == it.value()) b.untouched.insert(it.key());
    }
    return b;
}

void CRuvSet::StoreInto(UpsSetup& write) const {
    const SetupBaseline baseline = Baseline();
    StoreToSetup(values_, write, &baseline);
}

void CRuvSet::LoadPreset(const QString& path) {
    QByteArray bytes;
    QString error;
    if (!ReadPresetFile(path, &bytes, &error)) {
        ShowMessageBox(this, error, QStringLiteral("Error loading set"), BoxIcon::Stop);
        return;
    }
    // Start from what the controls show, so lines that do not match keep the user's edits.
    fields_.ReadQuiet();
    SetupValues loaded = values_;
    if (ParsePreset(bytes.constData(), size_t(bytes.size()), loaded) != PresetParse::Complete) {
        ShowMessageBox(this, QStringLiteral("Argomento non corretto."), QStringLiteral("Vespero"),
                       BoxIcon::Stop);
        return;
    }
    values_ = loaded;
    ShowValues();
}

void CRuvSet::SavePreset(const QString& path) {
    PresetWriter writer;
    QString error;
    if (!writer.Create(path, &error)) {
        ShowMessageBox(this, error, QStringLiteral("Error saving set"), BoxIcon::Stop);
        return;
    }
    ReadValues();  // a field that does not read says so; the file still gets what stands
    if (!writer.Write(values_, &error))
        ShowMessageBox(this, error, QStringLiteral("Error saving set"), BoxIcon::Stop);
}

void CRuvSet::OnLoad() {
    const QString path = ChooseFileToOpen(this, QString::fromLatin1(kPresetFilter), QStringLiteral("txt"));
    if (!path.isEmpty()) LoadPreset(path);
}

void CRuvSet::OnSave() {
    const QString path = ChooseFileToSave(this, QString::fromLatin1(kPresetFilter), QStringLiteral("txt"));
    if (!path.isEmpty()) SavePreset(path);
}

void CRuvSet::OnDefault() { LoadPreset(QStringLiteral("preset1.txt")); }
