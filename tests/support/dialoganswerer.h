#pragma once

#include <QFileDialog>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers the modal dialogs that appear while a test runs. File dialogs take
// the queued answers in order (a path, or a cancel once the queue is empty);
// every message box is recorded and then confirmed. A progress dialog is
// recorded and left to run, or handed to `onProgress`. It keeps answering,
// since dialogs nest: picking an existing file in a save dialog asks to
// replace it.
class DialogAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        QMessageBox::StandardButton defaultButton;
    };

    struct FileDialog
    {
        QString caption;
        QString directory;
        QStringList nameFilters;
        QFileDialog::FileMode fileMode;
        QFileDialog::AcceptMode acceptMode;
        QFileDialog::Options options;
    };

    explicit DialogAnswerer(QObject *parent = nullptr);

    // A null path cancels the dialog, like cancelFileDialog().
    void answerFileDialog(const QString &path);
    void cancelFileDialog();
    // A message box that asks (one without an OK button) is answered with
    // the next queued button; with none queued, it is accepted.
    void answerQuestion(QMessageBox::StandardButton button);

    // The boxes recorded so far, without the file dialogs' own questions.
    QList<Box> boxes;
    QList<FileDialog> fileDialogs;
    QStringList progressTexts;
    // While set, message boxes are left to the test, which answers them itself.
    bool leaveBoxesOpen = false;
    // Called from the event loop once for each progress dialog shown.
    std::function<void(QProgressDialog *)> onProgress;
    // Texts only, for comparisons in one line.
    QStringList boxTexts() const;
    void clear();

private:
    void answer();

    QTimer timer;
    QPointer<QWidget> answering;
    QList<QString> pendingPaths; // a null string stands for a cancel
    QList<QMessageBox::StandardButton> pendingAnswers;
};

// Catches the debug log while it lives, and hands it back line by line.
class DebugLog
{
public:
    DebugLog();
    ~DebugLog();
    QStringList lines() const;
    void clear();
};
