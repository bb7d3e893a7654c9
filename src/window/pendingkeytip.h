#pragma once

#include <QKeySequence>
#include <QObject>

class LabelKeys;
class UndoNote;
class QWidget;

// Shows the first letter of a code while it waits for its second, with the
// codes it can still complete ("R… RB RO"), in the note beside `anchor`, as
// long as it waits, and takes it away once nothing waits.
class PendingKeyTip final : public QObject
{
    Q_OBJECT

public:
    PendingKeyTip(LabelKeys *keys, QWidget *anchor);

private:
    void follow(const QKeySequence &typed);

    const LabelKeys *keys;
    UndoNote *note;
};
