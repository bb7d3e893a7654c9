#include "keynames.h"

#include <QStringList>

namespace {

QString arrow(Qt::Key key)
{
    switch (key) {
    case Qt::Key_Left:
        return QStringLiteral("←");
    case Qt::Key_Right:
        return QStringLiteral("→");
    case Qt::Key_Up:
        return QStringLiteral("↑");
    case Qt::Key_Down:
        return QStringLiteral("↓");
    default:
        return QString();
    }
}

// The arrows as arrows: the toolkit spells them out ("右方向" in Chinese).
QString strokeName(QKeyCombination stroke)
{
    const QString whole = QKeySequence(stroke).toString(QKeySequence::NativeText);
    const QString glyph = arrow(stroke.key());
    if (glyph.isEmpty())
        return whole;
    const QString bare = QKeySequence(stroke.key()).toString(QKeySequence::NativeText);
    return whole.endsWith(bare) ? whole.chopped(bare.size()) + glyph : whole;
}

} // namespace

QString KeyNames::name(const QKeySequence &keys)
{
    QStringList strokes;
    for (int i = 0; i < keys.count(); ++i)
        strokes.append(strokeName(keys[i]));
    return strokes.join(u' ');
}

QString KeyNames::waiting(const QList<QKeySequence> &continuations)
{
    if (continuations.isEmpty())
        return QString();
    // A code reads as its two letters, without the space between strokes.
    QStringList codes;
    for (const QKeySequence &sequence : continuations)
        codes.append(name(sequence).remove(u' '));
    return QStringLiteral("%1… %2").arg(strokeName(continuations.first()[0]), codes.join(u' '));
}

QString KeyNames::names(const QList<QKeySequence> &keys)
{
    QStringList named;
    for (const QKeySequence &sequence : keys) {
        if (sequence.count() == 1 && sequence[0].key() == Qt::Key_Enter) {
            const QKeySequence asReturn(
                QKeyCombination(sequence[0].keyboardModifiers(), Qt::Key_Return));
            if (keys.contains(asReturn))
                continue;
        }
        const QString text = name(sequence);
        if (!named.contains(text))
            named.append(text);
    }
    return named.join(QStringLiteral(" / "));
}
