#pragma once

#include <QColor>
#include <QStyledItemDelegate>

// A result's colours, readable across a shop floor: green for ok and skipped, red for every
// failure, amber for an interruption, blue while running, grey while waiting; the text in black
// or white, whichever stands out.
struct ResultColours {
    QColor fill, text;
};
[[nodiscard]] ResultColours resultColours(const QString& resultKey);

// The result cell: its colour over the whole cell and the word in large bold letters.
class ResultDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The progress cell: a bar of the lines answered in the row's result colour, its text centred
// over the bar in every style.
class ProgressDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};
