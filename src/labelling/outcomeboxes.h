#pragma once

#include "sessionoutcome.h"

class LabelKeys;
class QWidget;

// Tells over `parent`, in their order, what an operation of the labelling
// session has to tell: each notice as its message box. Every window that
// starts an operation tells its outcome through this. When one of `keys`
// started the operation, a notice that only informs (nothing to change, the
// end of the list, no such image) is a note where the person typed it
// instead, so that no box takes the keys typed next; a failure stays a box.
void tellOutcome(QWidget *parent, const SessionOutcome &outcome, const LabelKeys *keys = nullptr);
