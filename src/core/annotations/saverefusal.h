#pragma once

#include "saveresult.h"

#include <QString>

// Why a save of a row wrote nothing, as the warning box tells it; empty for
// a save that wrote. Every save of the program, whichever row it writes,
// tells its refusals in these words; the one table of them is here.
QString saveRefusal(SaveResult result);

// The same words in the translation context `context`, for a text that
// names a refusal among its own ("TeamTransfer" for an import).
QString saveRefusal(SaveResult result, const char *context);
