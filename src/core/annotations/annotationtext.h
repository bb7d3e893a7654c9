#pragma once

#include <QStringList>

// What a read of the annotation file found. The store keeps an index of the
// last read and reads again only when the file on disk changed.
struct AnnotationText
{
    enum Status { Missing, Unreadable, Read };

    Status status = Missing;
    QStringList lines;
    bool isText = true;  // UTF-8 without a NUL byte
};
