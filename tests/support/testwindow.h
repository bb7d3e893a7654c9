#pragma once

#include "dialoganswerer.h"
#include "tavrelin.h"

#include <QByteArray>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace TestWindow {

// The catalogue as the annotation file's header and the buttons must show it.
QStringList catalogue();
// The text of catalogue row `catalogueRow`, counted from 1.
QString entry(int catalogueRow);
// The header row followed by its line end, as the file holds it.
QByteArray headerLine();
// A data row with "1" at the given catalogue rows (1-based), and a line end.
QByteArray row(const QString &fileName, const QList<int> &setRows = {});

// Builds the window with the start-up dialog answered with `savePath`.
std::unique_ptr<Tavrelin> create(DialogAnswerer &answerer, const QString &savePath);

// Calls a slot of the window by name; fails the test when it does not exist.
void call(Tavrelin *window, const char *slot);
void call(Tavrelin *window, const char *slot, const QString &argument);
bool callIsImageMarked(Tavrelin *window, const QString &fileName);

// Loads `folder` through the menu's slot with the folder dialog answered.
void loadFolder(DialogAnswerer &answerer, Tavrelin *window, const QString &folder);

// Writes a real image file of the given size; the suffix decides the format.
void writeImage(const QString &path, const QSize &size = QSize(40, 30));

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &content);

// Controls of the window, found by their texts or roles.
QPushButton *button(Tavrelin *window, const QString &text);
QLabel *label(Tavrelin *window, const char *member);
QListWidget *annotationList(Tavrelin *window);
QStringList listTexts(Tavrelin *window);

// The window's state, read through its public accessors.
QStringList currentAnnotations(Tavrelin *window);
int currentIndex(Tavrelin *window);
bool annotationsModified(Tavrelin *window);
QStringList imageFiles(Tavrelin *window);

// A window on a fresh temporary folder, named labels.csv there as its
// annotation file at start-up. A test class opens one in init() and closes
// it in cleanup(); one answerer serves every dialog of the test.
class Fixture
{
protected:
    void openWindow();
    void closeWindow();
    // A folder below the temporary one holding real images of these names.
    QString makeFolder(const QString &name, const QStringList &images);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<DialogAnswerer> answerer;
    std::unique_ptr<Tavrelin> window;
    QString csvPath;
};

} // namespace TestWindow
