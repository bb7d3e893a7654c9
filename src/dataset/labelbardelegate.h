#pragma once

#include <QStyledItemDelegate>

// Draws a bar across the cell, as long as the model's bar role says
// (0 to 1 of the cell's width).
class LabelBarDelegate final : public QStyledItemDelegate
{
    Q_OBJECT

public:
    LabelBarDelegate(int barRole, QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;

private:
    int barRole;
};
