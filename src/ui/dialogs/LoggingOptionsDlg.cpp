#include "ui/dialogs/LoggingOptionsDlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include "ui/dialogs/EntryDialogs.h"
#include "ui/dialogs/ListEditor.h"
#include "ui/dialogs/OptionsCommon.h"

namespace tarvik {
namespace {

constexpr std::array<LogCategory, 3> kCategories = {LogCategory::Inbound, LogCategory::Outbound,
                                                    LogCategory::Unknown};

std::size_t IndexOf(LogCategory category) {
    switch (category) {
        case LogCategory::Inbound:
            return 0;
        case LogCategory::Outbound:
            return 1;
        case LogCategory::Unknown:
            return 2;
    }
    return 0;
}

}  // namespace

CLoggingPage::CLoggingPage(const QString& switchText, QWidget* parent)
    : QWidget(parent), modeGroup_(new QButtonGroup(this)) {
    ui_.enabled = new QCheckBox(switchText, this);
    const std::array<QString, 3> modeTexts = {tr("Log All Connections"),
                                              tr("Log All Connections Except Specified Ports"),
                                              tr("Only on Specified Ports")};
    auto* modes = new QVBoxLayout;
    modes->addWidget(new QLabel(tr("Which Connections Should be Logged?"), this));
    for (std::size_t i = 0; i < ui_.modes.size(); ++i) {
        ui_.modes[i] = new QRadioButton(modeTexts[i], this);
        modeGroup_->addButton(ui_.modes[i], static_cast<int>(i) + 1);
        modes->addWidget(ui_.modes[i]);
    }
    modes->addStretch();

    ui_.ports = new CListEditor(std::make_unique<CPortEntryDlg>(), DuplicateRule::SameNumber,
                                ListOrder::SortedAsText, this);
    auto* filterRow = new QHBoxLayout;
    filterRow->addLayout(modes, 2);
    filterRow->addWidget(ui_.ports, 1);

    ui_.folder = new QLineEdit(this);
    ui_.folder->setReadOnly(true);
    ui_.browse = new QPushButton(tr("Browse"), this);
    ui_.rotation = new QComboBox(this);
    ui_.rotation->addItems({tr("Daily"), tr("Weekly"), tr("Monthly")});

    auto* fileRows = new QGridLayout;
    fileRows->addWidget(new QLabel(tr("Folder to Store Files:"), this), 0, 0);
    fileRows->addWidget(ui_.folder, 0, 1);
    fileRows->addWidget(ui_.browse, 0, 2);
    fileRows->addWidget(new QLabel(tr("Rotate Logfile:"), this), 1, 0);
    fileRows->addWidget(ui_.rotation, 1, 1, Qt::AlignLeft);
    fileRows->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(ui_.enabled);
    layout->addLayout(filterRow, 1);
    layout->addLayout(fileRows);

    connect(ui_.enabled, &QCheckBox::clicked, this, &CLoggingPage::ApplyEnablingRule);
    connect(modeGroup_, &QButtonGroup::idClicked, this, &CLoggingPage::ApplyEnablingRule);
    connect(ui_.browse, &QPushButton::clicked, this, &CLoggingPage::Browse);
}

int CLoggingPage::Mode() const {
    return modeGroup_->checkedId();
}

void CLoggingPage::SetMode(int mode) {
    if (mode >= 1 && mode <= static_cast<int>(ui_.modes.size())) {
        ui_.modes[static_cast<std::size_t>(mode) - 1]->setChecked(true);
        return;
    }
    // An exclusive group cannot be emptied button by button.
    modeGroup_->setExclusive(false);
    for (QRadioButton* button : ui_.modes) {
        button->setChecked(false);
    }
    modeGroup_->setExclusive(true);
}

void CLoggingPage::Load(const CSettingsStore& settings, LogCategory category) {
    ui_.enabled->setChecked(settings.GetLogEnabled(category) == 1);
    SetMode(settings.GetLogType(category));
    ui_.folder->setText(QString::fromStdString(settings.GetLogFolder(category)));
    const int rotation = settings.GetLogRotation(category);
    ui_.rotation->setCurrentIndex(rotation >= 0 && rotation < ui_.rotation->count() ? rotation
                                                                                    : -1);
    ui_.ports->SetEntries(ToStringList(settings.GetLogPorts(category)));
    ApplyEnablingRule();
}

void CLoggingPage::Store(CSettingsStore& settings, LogCategory category) const {
    settings.SetLogEnabled(category, ui_.enabled->isChecked() ? 1 : 0);
    settings.SetLogType(category, Mode());
    settings.SetLogFolder(category, ui_.folder->text().toStdString());
    settings.SetLogRotation(category, ui_.rotation->currentIndex());
    settings.SetLogPorts(category, ToPortList(ui_.ports->Entries()));
}

void CLoggingPage::ApplyEnablingRule() {
    const bool on = ui_.enabled->isChecked();
    for (QRadioButton* button : ui_.modes) {
        button->setEnabled(on);
    }
    ui_.folder->setEnabled(on);
    ui_.browse->setEnabled(on);
    ui_.rotation->setEnabled(on);
    ui_.ports->setEnabled(on && Mode() != kModeAll);
}

void CLoggingPage::Browse() {
    const QString folder = pickFolder_(this, tr("Select a folder in which to store the logfiles:"),
                                       ui_.folder->text());
    if (!folder.isEmpty()) {
        ui_.folder->setText(folder);
    }
    setFocus();
}

CLoggingOptionsDlg::CLoggingOptionsDlg(CSettingsStore& settings, QWidget* parent)
    : QDialog(parent), settings_(settings), tabs_(new QTabWidget(this)) {
    setWindowTitle(tr("Logging Options"));
    const std::array<QString, 3> tabTexts = {tr("Inbound"), tr("Outbound"), tr("Unknown")};
    // Whole sentences, so that each language can word them its own way.
    const std::array<QString, 3> switchTexts = {tr("Log Inbound Connections"),
                                                tr("Log Outbound Connections"),
                                                tr("Log Unknown Connections")};
    for (std::size_t i = 0; i < pages_.size(); ++i) {
        pages_[i] = new CLoggingPage(switchTexts[i]);
        tabs_->addTab(pages_[i], tabTexts[i]);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &CLoggingOptionsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CLoggingOptionsDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_, 1);
    layout->addWidget(buttons);
}

CLoggingPage* CLoggingOptionsDlg::Page(LogCategory category) const {
    return pages_[IndexOf(category)];
}

void CLoggingOptionsDlg::SetFolderPicker(const FolderPicker& picker) {
    for (CLoggingPage* page : pages_) {
        page->SetFolderPicker(picker);
    }
}

void CLoggingOptionsDlg::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        tabs_->setCurrentIndex(0);
        for (LogCategory category : kCategories) {
            Page(category)->Load(settings_, category);
        }
    }
    QDialog::showEvent(event);
}

void CLoggingOptionsDlg::accept() {
    for (LogCategory category : kCategories) {
        Page(category)->Store(settings_, category);
    }
    QDialog::accept();
    SaveOrReport(settings_, parentWidget(), showMessage_);
}

}  // namespace tarvik
