#pragma once

#include <QTimer>
#include <QWidget>

class QComboBox;

namespace tarvik {

class CSettingsStore;

// "Network Interface:" and a drop-down of "( Show All )" and the local addresses; the choice
// is stored as the selected interface index (-1 for all) for the tracker's next merge.
class CInterfaceFilterBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 30000;

    explicit CInterfaceFilterBar(CSettingsStore& settings, QWidget* parent = nullptr);

    // Rebuilds the list from a fresh interface address list and selects the stored index.
    void Fill();
    QComboBox* Combo() const { return combo_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnActivated(int entry);

    CSettingsStore& settings_;
    QComboBox* combo_;  // child widget
    QTimer refresh_;
};

}  // namespace tarvik
