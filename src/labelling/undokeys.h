#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>

// The keys that take a step back and do it again, in every window of the
// program, and how a tooltip names them.
namespace UndoKeys {

QKeySequence undo();
QList<QKeySequence> redo();
QString tip();

} // namespace UndoKeys
