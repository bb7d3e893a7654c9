#include "labelbardelegate.h"

#include <QPainter>

LabelBarDelegate::LabelBarDelegate(int barRole, QObject *parent)
    : QStyledItemDelegate(parent)
    , barRole(barRole)
{
}

void LabelBarDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    const double length = qBound(0.0, index.data(barRole).toDouble(), 1.0);
    const QRect area = option.rect.adjusted(3, 4, -3, -4);
    if (length <= 0 || area.width() <= 0)
        return;
    QRect bar = area;
    // Any count above zero shows at least a sliver.
    bar.setWidth(qMax(2, int(area.width() * length + 0.5)));
    painter->save();
    painter->fillRect(bar, option.palette.brush(QPalette::Active, QPalette::Highlight));
    painter->restore();
}
