#include "labelcatalogue.h"

#include "annotationformat.h"

QStringList labelCatalogue()
{
    return AnnotationFormat::catalogue();
}

// Every catalogue entry ends in "_" and its two-letter code.
QString labelCode(const QString &label)
{
    return label.right(2);
}

QString noDefectLabel()
{
    return QStringLiteral("无缺陷_ND");
}

bool isNoDefect(const QString &label)
{
    return label == noDefectLabel();
}
