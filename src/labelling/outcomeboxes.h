#pragma once

#include "sessionoutcome.h"

class QWidget;

// Tells over `parent`, in their order, what an operation of the labelling
// session has to tell: each notice as its message box. Every window that
// starts an operation tells its outcome through this.
void tellOutcome(QWidget *parent, const SessionOutcome &outcome);
