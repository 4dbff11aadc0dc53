#include "ui/window/InterfaceFilterBar.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include "settings/SettingsStore.h"

namespace tarvik {

QString InterfaceEntryText(const std::string& address,
                           const std::vector<LocalInterface>& interfaces) {
    const QString text = QString::fromStdString(address);
    for (const LocalInterface& interface : interfaces) {
        if (interface.address == address && !interface.name.empty()) {
            return QString::fromStdString(interface.name) + QStringLiteral(" \u2014 ") + text;
        }
    }
    return text;
}

CInterfaceFilterBar::CInterfaceFilterBar(CSettingsStore& settings, QWidget* parent,
                                         InterfaceNamer names)
    : QWidget(parent),
      settings_(settings),
      names_(std::move(names)),
      combo_(new QComboBox(this)),
      search_(new QLineEdit(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->addWidget(new QLabel(tr("Network Interface:"), this));
    layout->addWidget(combo_);
    combo_->setMinimumContentsLength(15);
    combo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    connect(combo_, &QComboBox::activated, this, &CInterfaceFilterBar::OnActivated);

    layout->addSpacing(12);
    layout->addWidget(new QLabel(tr("Search:"), this));
    layout->addWidget(search_);
    search_->setPlaceholderText(tr("Filter rows (Ctrl+F)"));
    search_->setClearButtonEnabled(true);
    search_->setMinimumWidth(120);
    search_->installEventFilter(this);
    connect(search_, &QLineEdit::textChanged, this, &CInterfaceFilterBar::searchChanged);

    Fill();
    connect(&refresh_, &QTimer::timeout, this, &CInterfaceFilterBar::Fill);
    refresh_.start(kRefreshMs);
}

void CInterfaceFilterBar::Fill() {
    const TextListPtr addresses = settings_.GetInterfaceAddresses(true);
    const int count = addresses ? static_cast<int>(addresses->size()) : 0;
    // Names are for display only: the stored index stays a position in the store's list.
    const std::vector<LocalInterface> named = names_ ? names_() : std::vector<LocalInterface>{};

    const QSignalBlocker quiet(combo_);
    combo_->clear();
    combo_->addItem(tr("( Show All )"));
    for (int i = 0; i < count; ++i) {
        combo_->addItem(InterfaceEntryText((*addresses)[static_cast<std::size_t>(i)], named));
    }

    // The closed box stays narrow; its list is as wide as the longest "name — address".
    combo_->view()->setMinimumWidth(combo_->view()->sizeHintForColumn(0) + 8);

    const int stored = settings_.GetNetIf();
    if (stored >= -1 && stored <= count - 1) {
        combo_->setCurrentIndex(stored + 1);
        return;
    }
    // The stored interface has gone: fall back to the first one, or to all when none is left
    // (an index must never name an entry that does not exist).
    const int fallback = count > 0 ? 0 : -1;
    combo_->setCurrentIndex(fallback + 1);
    settings_.SetNetIf(fallback);
}

void CInterfaceFilterBar::OnActivated(int entry) {
    settings_.SetNetIf(entry - 1);
}

void CInterfaceFilterBar::keyPressEvent(QKeyEvent* event) {
    // Escape must never close or hide the bar.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool CInterfaceFilterBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == search_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        search_->clear();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace tarvik
