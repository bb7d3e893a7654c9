#include "pendingkeytip.h"

#include "keynames.h"
#include "labelkeys.h"
#include "undonote.h"

#include <QWidget>

PendingKeyTip::PendingKeyTip(LabelKeys *keys, QWidget *anchor)
    : QObject(anchor)
    , keys(keys)
    , note(UndoNote::of(anchor))
{
    connect(keys, &LabelKeys::pendingChanged, this, &PendingKeyTip::follow);
}

void PendingKeyTip::follow(const QKeySequence &typed)
{
    note->hold(typed.isEmpty() ? QString() : KeyNames::waiting(keys->continuations()));
}
