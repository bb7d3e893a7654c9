#pragma once

#include "annotationfile.h"

#include <QString>

// Why a save of the annotation file wrote nothing, as the warning box tells
// it; empty for a save that wrote. Every save of the program, whichever row
// it writes, tells its refusals in these words.
QString saveRefusal(SaveResult result);
