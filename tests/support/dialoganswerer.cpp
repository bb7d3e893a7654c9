#include "dialoganswerer.h"

#include "testsettings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>

DialogAnswerer::DialogAnswerer(QObject *parent)
    : QObject(parent)
{
    // Before any window reads what the program remembers.
    TestSettings::isolate();
    connect(&timer, &QTimer::timeout, this, &DialogAnswerer::answer);
    timer.start(5);
}

void DialogAnswerer::answerFileDialog(const QString &path)
{
    pendingPaths.append(path);
}

void DialogAnswerer::cancelFileDialog()
{
    pendingPaths.append(QString());
}

void DialogAnswerer::answerQuestion(QMessageBox::StandardButton button)
{
    pendingAnswers.append(button);
}

QStringList DialogAnswerer::boxTexts() const
{
    QStringList texts;
    for (const Box &box : boxes)
        texts.append(box.text);
    return texts;
}

void DialogAnswerer::clear()
{
    boxes.clear();
    fileDialogs.clear();
    progressTexts.clear();
}

// Each answer is given from the event loop, not from within the timer's own
// call: a dialog that the answer opens (the question whether to replace a
// file) runs a nested loop, and the timer must be free to answer it too.
void DialogAnswerer::answer()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || modal == answering)
        return;
    if (leaveBoxesOpen && qobject_cast<QMessageBox *>(modal))
        return;
    answering = modal;

    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        QAbstractButton *confirm = box->button(QMessageBox::Ok);
        if (qobject_cast<QFileDialog *>(box->parentWidget()))
            confirm = box->button(QMessageBox::Yes);
        else
            boxes.append({box->icon(), box->windowTitle(), box->text(),
                          box->standardButton(box->defaultButton())});
        if (!confirm && !pendingAnswers.isEmpty())
            confirm = box->button(pendingAnswers.takeFirst());
        if (confirm)
            QTimer::singleShot(0, confirm, &QAbstractButton::click);
        else
            QTimer::singleShot(0, box, &QDialog::accept);
        return;
    }

    if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        fileDialogs.append({dialog->windowTitle(), dialog->directory().absolutePath(),
                            dialog->nameFilters(), dialog->fileMode(), dialog->acceptMode(),
                            dialog->options()});
        const QString path = pendingPaths.isEmpty() ? QString() : pendingPaths.takeFirst();
        QTimer::singleShot(0, dialog, [dialog, path] {
            if (path.isNull()) {
                dialog->reject();
                return;
            }
            // selectFile() leaves the name field alone while it has the focus,
            // so the path is typed into it, as a person would.
            dialog->setDirectory(QFileInfo(path).absolutePath());
            if (auto *nameField = dialog->findChild<QLineEdit *>(u"fileNameEdit"_qs))
                nameField->setText(path);
            else
                dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept();
        });
        return;
    }

    if (auto *progress = qobject_cast<QProgressDialog *>(modal)) {
        progressTexts.append(progress->labelText());
        if (onProgress)
            QTimer::singleShot(0, progress, [this, progress] { onProgress(progress); });
        return;
    }

    QTimer::singleShot(0, modal, &QWidget::close);
}

static QStringList capturedLines;
static QtMessageHandler previousHandler = nullptr;

static void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg)
        capturedLines.append(text);
    else if (previousHandler)
        previousHandler(type, context, text);
}

DebugLog::DebugLog()
{
    capturedLines.clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

DebugLog::~DebugLog()
{
    qInstallMessageHandler(previousHandler);
}

QStringList DebugLog::lines() const
{
    return capturedLines;
}

void DebugLog::clear()
{
    capturedLines.clear();
}
