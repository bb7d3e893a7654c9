#pragma once

#include "sessionoutcome.h"

class LabelKeys;
class LabellingSession;
class QWidget;

// Tells over `parent`, in their order, what an operation of the labelling
// session has to tell: each notice as its message box. Every window that
// starts an operation tells its outcome through this. When one of `keys`
// started the operation, a notice that only informs (nothing to change, the
// end of the list, no such image) is a note where the person typed it
// instead, so that no box takes the keys typed next; a failure stays a box.
void tellOutcome(QWidget *parent, const SessionOutcome &outcome, const LabelKeys *keys = nullptr);

// Tells `outcome` as tellOutcome() does, except a save refused because
// another member saved the row since it was shown: that is a question of
// its own, which says whose labels stand, since when, and offers to save
// over them, to save both together, to take theirs, or to cancel; the
// choice is settled through `session` and its outcome told in turn. Gives
// what the operation came to: the refusal's outcome when cancelled, else
// the choice's. Every window that saves tells through this.
SessionOutcome tellAndSettle(QWidget *parent, LabellingSession *session,
                             const SessionOutcome &outcome, const LabelKeys *keys = nullptr);
