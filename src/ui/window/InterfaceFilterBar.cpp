#include "ui/window/InterfaceFilterBar.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>

#include "settings/SettingsStore.h"

namespace tarvik {

CInterfaceFilterBar::CInterfaceFilterBar(CSettingsStore& settings, QWidget* parent)
    : QWidget(parent), settings_(settings), combo_(new QComboBox(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->addWidget(new QLabel(tr("Network Interface:"), this));
    layout->addWidget(combo_);
    combo_->setMinimumContentsLength(15);
    combo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    connect(combo_, &QComboBox::activated, this, &CInterfaceFilterBar::OnActivated);

    Fill();
    connect(&refresh_, &QTimer::timeout, this, &CInterfaceFilterBar::Fill);
    refresh_.start(kRefreshMs);
}

void CInterfaceFilterBar::Fill() {
    const TextListPtr addresses = settings_.GetInterfaceAddresses(true);
    const int count = addresses ? static_cast<int>(addresses->size()) : 0;

    const QSignalBlocker quiet(combo_);
    combo_->clear();
    combo_->addItem(tr("( Show All )"));
    for (int i = 0; i < count; ++i) {
        combo_->addItem(QString::fromStdString((*addresses)[static_cast<std::size_t>(i)]));
    }

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

}  // namespace tarvik
