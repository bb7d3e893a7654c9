#include "undokeys.h"

#include <QCoreApplication>

namespace UndoKeys {

QKeySequence undo()
{
    return QKeySequence(Qt::CTRL | Qt::Key_Z);
}

QList<QKeySequence> redo()
{
    return {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)};
}

QString tip()
{
    const QList<QKeySequence> again = redo();
    return QCoreApplication::translate("UndoKeys", "按 %1 撤销，%2 / %3 重做")
        .arg(undo().toString(QKeySequence::NativeText),
             again.at(0).toString(QKeySequence::NativeText),
             again.at(1).toString(QKeySequence::NativeText));
}

} // namespace UndoKeys
