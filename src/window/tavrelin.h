#pragma once

#include "currentlabels.h"
#include "imagesession.h"
#include "picturecache.h"

#include <QList>
#include <QMainWindow>
#include <QString>
#include <QStringList>

class QAction;
class QHBoxLayout;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class AnnotationStore;
class LabelKeys;
class WindowActivity;

// The labelling window. The annotation file named at start-up belongs to its
// store, the listed images and the current position to its session; the
// window holds the current image's labels, whether they changed, and the
// controls. Each operation asks the store and the session and shows the
// result.
class Tavrelin : public QMainWindow
{
    Q_OBJECT

public:
    // Asks for the annotation file first.
    explicit Tavrelin(QWidget *parent = nullptr);
    // Starts on `annotationPath` without asking (an empty path asks, as
    // above); the path line shows it as given.
    explicit Tavrelin(const QString &annotationPath, QWidget *parent = nullptr);
    ~Tavrelin() override;

    // False when the person refused to name an annotation file at start-up:
    // the window was never built and the program is to end with status 0.
    bool hasAnnotationFile() const;

    // For the windows beside this one. They watch what it does, read what it
    // shows and act only through its controls, its keys and moveTo().
    WindowActivity *activity() const;
    LabelKeys *keys() const;
    QLabel *imageArea() const;
    QLabel *nameLine() const;
    QLabel *countLine() const;
    QListWidget *labelList() const;
    // The catalogue in its order, and the current image's labels as the list
    // shows them.
    QStringList catalogue() const;
    QStringList labelTexts() const;
    // labelrequests.cpp: a label given or removed from a window beside this
    // one, through the same controls as by hand.
    void giveLabel(const QString &label);
    void removeLabel(const QString &label);
    // The current image's native path; empty while there is none.
    QString currentImagePath() const;
    bool hasUnsavedAnnotations() const;
    // Goes to the listed image at `index` the way a view button moves: no
    // save, the change flag kept. Does nothing outside the list.
    void moveTo(int index);
    // The annotation file, for views that read it beside this window; null
    // when no annotation file was named.
    AnnotationStore *store() const;
    // The open folder and the current position.
    const ImageSession &session() const;
    // Lists `folder` and shows its first image as a folder chosen through
    // "加载图片" is, with the same messages.
    void openFolder(const QString &folder);

private slots:
    // folder.cpp, display.cpp
    void loadImages();
    void loadCurrentImage();
    // annotationslots.cpp
    bool isImageMarked(const QString &fileName);
    void loadAnnotationsFromCSV();
    void saveCurrentAnnotations();
    // navigation.cpp
    void enableNavigationButtons(bool enable);
    void nextImage();
    void previousImage();
    // editing.cpp
    void annotate(const QString &label);
    void deleteAnnotation(QListWidgetItem *item);
    void saveAnnotations();
    // navigation.cpp
    void jumpToLastMarkedImage();

private:
    // Asks for the annotation file unless `namedPath` names it.
    void setupInterface(const QString &namedPath);
    QHBoxLayout *createLabelButtonGrid();
    // keys.cpp
    void setupKeys(QAction *loadAction, QPushButton *jumpButton,
                   QPushButton *saveAndPreviousButton, QPushButton *saveAndNextButton);
    // unmarked.cpp
    void goToNextUnmarkedImage();

    bool saveModifiedAnnotations();
    bool storeCurrentAnnotations();
    void showStoredAnnotations();
    void showImageName();
    void showMarkCounts();

    bool annotationsModified = false;
    QLabel *imageLabel = nullptr;
    QLabel *imageNameLabel = nullptr;
    QLabel *markCountLabel = nullptr;
    QLabel *savePathLabel = nullptr;
    QLabel *imageDirLabel = nullptr;
    QListWidget *annotationList = nullptr;
    QPushButton *previousButton = nullptr;
    QPushButton *nextButton = nullptr;
    AnnotationStore *annotationStore = nullptr;
    ImageSession imageSession;
    CurrentLabels currentAnnotations;
    QStringList labels;
    QList<QPushButton *> labelButtons;
    PictureCache pictures;
    WindowActivity *windowActivity = nullptr;
    LabelKeys *labelKeys = nullptr;
};
