#pragma once

#include <QStringList>
#include <QWidget>

class QTextBrowser;

// A window listing every key of every window and the two-letter code of
// each catalogue label. F1 opens it from any window of the program; F1 or
// Esc closes it. It belongs to the main window and closes with it.
class KeysSheet final : public QWidget
{
    Q_OBJECT

public:
    // Shows the sheet of `mainWindow`, made the first time, and raises it.
    static KeysSheet *open(QWidget *mainWindow, const QStringList &catalogue);

private:
    KeysSheet(QWidget *mainWindow, const QStringList &catalogue);
    QString sheet(const QStringList &catalogue) const;

    QTextBrowser *text = nullptr;
};
