#include "labelcatalogue.h"

#include "annotationformat.h"

QStringList labelCatalogue()
{
    return AnnotationFormat::catalogue();
}
