#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>

// Keys as the tooltips, the keys sheet and the hints name them, in the
// toolkit's language: "回车", "Ctrl+→", "R O" for a code typed letter after
// letter.
namespace KeyNames {

QString name(const QKeySequence &keys);
// Alternatives separated by " / ", each key a person sees once: the keypad's
// Enter is Return to a person and is not named beside it.
QString names(const QList<QKeySequence> &keys);

// The first stroke of the codes that `continuations` complete, and those
// codes ("R… RB RO"); empty when there are none.
QString waiting(const QList<QKeySequence> &continuations);

} // namespace KeyNames
