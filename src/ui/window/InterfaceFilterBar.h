#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

#include "acquisition/LocalInterfaces.h"

class QComboBox;
class QLineEdit;

namespace tarvik {

class CSettingsStore;

using InterfaceNamer = std::function<std::vector<LocalInterface>()>;

// "Network Interface:" and a drop-down of "( Show All )" and the local addresses, each shown
// with its interface's name; the choice is stored as the selected interface index (-1 for all)
// for the tracker's next merge. Then the search field of the list.
class CInterfaceFilterBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 30000;

    explicit CInterfaceFilterBar(CSettingsStore& settings, QWidget* parent = nullptr,
                                 InterfaceNamer names = ListLocalInterfaces);

    // Rebuilds the list from a fresh interface address list and selects the stored index.
    void Fill();
    QComboBox* Combo() const { return combo_; }
    QLineEdit* Search() const { return search_; }

signals:
    void searchChanged(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnActivated(int entry);

    CSettingsStore& settings_;
    InterfaceNamer names_;
    QComboBox* combo_;   // child widget
    QLineEdit* search_;  // child widget
    QTimer refresh_;
};

// "eth0 — 192.0.2.2" for an address that `interfaces` names, else the address alone.
QString InterfaceEntryText(const std::string& address,
                           const std::vector<LocalInterface>& interfaces);

}  // namespace tarvik
