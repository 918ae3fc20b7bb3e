#include "line_delegates.h"

#include "line_model.h"

#include <QApplication>
#include <QPainter>

ResultColours resultColours(const QString& key) {
    const QColor black(0, 0, 0), white(255, 255, 255);
    if (key == QLatin1String("ok") || key == QLatin1String("skipped"))
        return {QColor(0, 128, 0), white};
    if (key == QLatin1String("running"))
        return {QColor(0, 70, 170), white};
    if (key == QLatin1String("waiting"))
        return {QColor(200, 200, 200), black};
    if (key == QLatin1String("interrupted"))
        return {QColor(255, 176, 0), black};
    if (key.isEmpty())
        return {QColor(Qt::transparent), black};
    return {QColor(200, 0, 0), white};
}

namespace {
// The selection shows as a frame, so that a row's colours stay readable when it is picked.
void drawSelection(QPainter* painter, const QStyleOptionViewItem& option) {
    if (!(option.state & QStyle::State_Selected))
        return;
    painter->setPen(QPen(option.palette.highlight(), 3));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(option.rect.adjusted(1, 1, -2, -2));
}
} // namespace

void ResultDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const ResultColours colours = resultColours(index.data(LineModel::ResultRole).toString());
    painter->save();
    painter->fillRect(option.rect, colours.fill);
    QFont font = option.font;
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.25);
    painter->setFont(font);
    painter->setPen(colours.text);
    painter->drawText(option.rect.adjusted(4, 0, -4, 0), Qt::AlignCenter, index.data().toString());
    drawSelection(painter, option);
    painter->restore();
}

QSize ResultDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QFont font = option.font;
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.25);
    const QFontMetrics metrics(font);
    return {metrics.horizontalAdvance(index.data().toString() + QStringLiteral("MM")),
            metrics.height() * 3 / 2};
}

void ProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    const QString text = index.data().toString();
    if (text.isEmpty())
        return QStyledItemDelegate::paint(painter, option, index);
    const int permille = std::clamp(index.data(LineModel::PermilleRole).toInt(), 0, 1000);
    const ResultColours colours =
        resultColours(index.siblingAtColumn(LineModel::Result).data(LineModel::ResultRole).toString());
    painter->save();
    const QRect bar = option.rect.adjusted(3, 4, -4, -5);
    painter->fillRect(bar, option.palette.base());
    QRect done = bar;
    done.setWidth(int(qint64(bar.width()) * permille / 1000));
    painter->fillRect(done, colours.fill);
    painter->setPen(option.palette.mid().color());
    painter->drawRect(bar);
    // Over the filled part the text takes the fill's contrast colour, over the rest the base's.
    painter->setFont(option.font);
    painter->setPen(option.palette.text().color());
    painter->drawText(bar, Qt::AlignCenter, text);
    painter->setClipRect(done);
    painter->setPen(colours.text);
    painter->drawText(bar, Qt::AlignCenter, text);
    painter->setClipping(false);
    drawSelection(painter, option);
    painter->restore();
}
