#pragma once

#include <QString>
#include <QStringList>

// The open image folder: its listed names and the current position. Every
// range check and every path join of the listed images is made here; paths
// leave in native form, as the window shows and logs them. No widget.
class ImageSession
{
public:
    // The images lying directly in `folder`: "*.png", "*.jpg" and "*.bmp" in
    // any letter case, files only, hidden ones left out, sorted by name
    // ignoring case.
    static QStringList listImages(const QString &folder);

    // Takes `names` of `folder` and makes the first of them current.
    void open(const QString &folder, const QStringList &names);

    const QString &folder() const { return imageDir; }
    // Changes with every open(), so that a reader can tell a new listing
    // from the one it has seen without keeping a copy of it.
    quint64 listing() const { return listingNumber; }
    const QStringList &names() const { return imageFiles; }
    qsizetype count() const { return imageFiles.size(); }
    // -1 before a folder is open.
    int position() const { return currentIndex; }
    bool hasCurrent() const { return isListed(currentIndex); }
    bool isListed(qsizetype index) const { return index >= 0 && index < imageFiles.size(); }

    // Empty while there is no current image.
    QString currentName() const;
    QString currentPath() const;
    // The native path of the listed image at `index`; empty outside the list.
    QString pathAt(qsizetype index) const;
    // The images to prepare around the current one: the next, then the
    // previous, those that exist.
    QStringList neighbourPaths() const;
    // The first position of `name`; -1 when it is not listed.
    qsizetype indexOf(const QString &name) const { return imageFiles.indexOf(name); }

    // Each moves only within the list and says whether it moved.
    bool next();
    bool previous();
    bool moveTo(qsizetype index);

private:
    QString imageDir;
    QStringList imageFiles;
    int currentIndex = -1;
    quint64 listingNumber = 0;
};
