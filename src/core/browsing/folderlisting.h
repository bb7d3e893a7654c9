#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

// The listing's rule on a name's bytes: not hidden, and ending in ".png",
// ".jpg" or ".bmp" in any letter case. The folder listing, the count of
// names it cannot list and every other reader of a folder use this alone.
bool isImageName(QByteArrayView name);

// The images that a folder offers, as ImageSession::listImages() lists them,
// and the files it would list but cannot name. Touches no widget.
struct FolderListing
{
    // Bare names, without the folder.
    QStringList names;
    // Files that would be listed but for a name that is not valid UTF-8 (such
    // as GBK names from an archive made on a Chinese Windows system): no
    // QString can name them, so they cannot be listed, opened or saved.
    int undecodable = 0;
};

FolderListing listFolder(const QString &folder);
