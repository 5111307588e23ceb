#include "all_forms.h"

#include <type_traits>

#include "ui_about.h"
#include "ui_change_password.h"
#include "ui_chose_com.h"
#include "ui_corrad.h"
#include "ui_failure.h"
#include "ui_history.h"
#include "ui_main_panel.h"
#include "ui_manage.h"
#include "ui_ruv_set.h"
#include "ui_set_parameters.h"

namespace {
template <class Ui, class W>
W* TopLevelOf(void (Ui::*)(W*));

template <class Ui>
std::unique_ptr<QWidget> MakeForm() {
    using W = std::remove_pointer_t<decltype(TopLevelOf(&Ui::setupUi))>;
    // The Ui object only points at the widgets; it lives as long as the form.
    struct Holder : QObject {
        Ui ui;
    };
    auto form = std::make_unique<W>();
    auto* holder = new Holder;
    holder->setParent(form.get());
    holder->ui.setupUi(form.get());
    return form;
}
}  // namespace

const std::vector<FormEntry>& AllForms() {
    static const std::vector<FormEntry> forms = {
        {"about", &MakeForm<Ui::CAboutDlg>},
        {"change_password", &MakeForm<Ui::CChangePassword>},
        {"chose_com", &MakeForm<Ui::CChoseCom>},
        {"corrad", &MakeForm<Ui::CCorrad>},
        {"failure", &MakeForm<Ui::CFailure>},
        {"history", &MakeForm<Ui::CHistory>},
        {"main_panel", &MakeForm<Ui::CAlderaView>},
        {"manage", &MakeForm<Ui::CManage>},
        {"ruv_set", &MakeForm<Ui::CRuvSet>},
        {"set_parameters", &MakeForm<Ui::CSetParameters>},
    };
    return forms;
}
