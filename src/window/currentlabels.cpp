#include "currentlabels.h"

#include <QListWidget>

QStringList CurrentLabels::texts() const
{
    QStringList labels;
    for (int i = 0; i < shownIn->count(); ++i)
        labels.append(shownIn->item(i)->text());
    return labels;
}

bool CurrentLabels::contains(const QString &label) const
{
    return texts().contains(label, Qt::CaseSensitive);
}

void CurrentLabels::append(const QString &label)
{
    shownIn->insertItem(shownIn->count(), label);
}

QString CurrentLabels::remove(QListWidgetItem *item)
{
    const QString label = item->text();
    delete item;
    return label;
}

void CurrentLabels::clear()
{
    shownIn->clear();
}
