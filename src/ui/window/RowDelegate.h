#pragma once

#include <QStyledItemDelegate>

namespace tarvik {

// Draws a list cell as one elided line of text over the style's item panel. The style's own
// text drawing lays out every cell as a paragraph, which at a repaint per snapshot cost more
// than everything else the window does with a batch.
class CRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

}  // namespace tarvik
