#pragma once

#include <QString>
#include <QStringList>

// The images that a folder offers: every file lying directly in it whose
// name ends in .png, .jpg or .bmp in any letter case, hidden files left out,
// sorted by name ignoring case. Touches no widget.
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
