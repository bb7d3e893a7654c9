#pragma once

#include <QString>

// norvanta --doubtful STORE [--top N]: the marked images whose saved flags
// the store's suggestions contradict with confidence, most doubtful first,
// one tab-separated line each: the name, then each doubtful label as
// "CODE=SAVED PROBABILITY" (the suggestion's probability of the label), the
// most doubtful first. The suggestions are cross-validated where a label
// trained on the store's marked images beats the model, as in the dataset
// window; STORE is an annotation file or a team's address. No display.

bool asksForDoubtful(int argc, char *argv[]);

// 0 when listed (an empty list too), 2 when refused (one line on the
// standard error), 1 when the store could not be read. `top` is empty or
// the number of lines at most.
int listDoubtful(const QString &store, const QString &top, qsizetype extraArguments);
