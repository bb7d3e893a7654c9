#pragma once

#include <QString>
#include <QStringList>

class QListWidget;
class QListWidgetItem;

// The current image's labels. The list beside the picture holds them and is
// their only copy, so what a save writes is always what the list shows.
class CurrentLabels
{
public:
    void showIn(QListWidget *list) { shownIn = list; }

    QStringList texts() const;
    bool contains(const QString &label) const;
    // Adds a row at the end, also for a label already there.
    void append(const QString &label);
    // Takes the row of `item` away and gives its label.
    QString remove(QListWidgetItem *item);
    void clear();

private:
    QListWidget *shownIn = nullptr;
};
