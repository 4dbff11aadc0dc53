#include "ui/window/RowDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace tarvik {

void CRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
    QStyleOptionViewItem panel = option;
    initStyleOption(&panel, index);
    const QString text = panel.text;
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    // Selection and background, then the focus frame of the current cell.
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);
    if ((option.state & QStyle::State_HasFocus) != 0) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
    }
    if (text.isEmpty()) {
        return;
    }
    // The style's own text margin.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect area = option.rect.adjusted(margin, 0, -margin, 0);
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    const QPalette::ColorGroup group =
        (option.state & QStyle::State_Active) != 0 ? QPalette::Active : QPalette::Inactive;
    QColor colour = option.palette.color(group, QPalette::Text);
    if (selected) {
        colour = option.palette.color(group, QPalette::HighlightedText);
    } else if (const QVariant foreground = index.data(Qt::ForegroundRole);
               foreground.canConvert<QBrush>()) {
        colour = foreground.value<QBrush>().color();
    }
    painter->save();
    painter->setPen(colour);
    painter->setFont(panel.font);
    const QFontMetrics& metrics = panel.fontMetrics;
    const QString shown = metrics.elidedText(text, Qt::ElideRight, area.width());
    // Drawn at its baseline: no paragraph layout for one line.
    const int baseline = area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent();
    painter->drawText(QPoint(area.left(), baseline), shown);
    painter->restore();
}

}  // namespace tarvik
