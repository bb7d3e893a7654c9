#pragma once

#include "currentlabels.h"
#include "imagesession.h"
#include "labellingwindow.h"
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
class QVBoxLayout;
class AnnotationStore;
class LabelKeys;
class WindowActivity;

// The labelling window. The annotation file named at start-up belongs to its
// store, the listed images and the current position to its session; the
// window holds the current image's labels, whether they changed, and the
// controls. Each operation asks the store and the session and shows the
// result. The windows beside it see it through the LabellingWindow port.
class Tavrelin : public QMainWindow, public LabellingWindow
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

    // The labelling port, for the windows beside this one.
    QWidget *windowWidget() override;
    WindowActivity *activity() const override;
    LabelKeys *keys() const override;
    QLabel *imageArea() const override;
    QLabel *nameLine() const override;
    QLabel *countLine() const override;
    QAbstractItemModel *labelModel() const override;
    QItemSelectionModel *labelSelection() const override;
    QString currentImagePath() const override;
    bool hasUnsavedAnnotations() const override;
    void moveTo(int index) override;
    AnnotationStore *store() const override;
    const ImageSession &session() const override;
    // labelrequests.cpp
    void giveLabel(const QString &label) override;
    void removeLabel(const QString &label) override;
    // The pictures shown here and those prepared beside them.
    const PictureCache &pictureCache() const;
    // Lists `folder` and shows its first image as a folder chosen through
    // "加载图片" is, with the same messages.
    void openFolder(const QString &folder);
    // Shows `labels` as the current image's labels, with the change flag
    // `unsaved`, as a step taken back or done again leaves them. Does nothing
    // while there is no current image.
    void putBackLabels(const QStringList &labels, bool unsaved);

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
    AnnotationStore *openAnnotations(const QString &savePath);
    QAction *createMenu();
    void createPathLines(QVBoxLayout *mainLayout, const QString &savePath);
    QHBoxLayout *createContentRow();
    QVBoxLayout *createImageColumn();
    QHBoxLayout *createLabelButtonGrid();
    struct NavigationRow
    {
        QHBoxLayout *row = nullptr;
        QPushButton *saveAndPrevious = nullptr;
        QPushButton *saveAndNext = nullptr;
    };
    NavigationRow createNavigationRow();
    // keys.cpp
    void setupKeys(QAction *loadAction, QPushButton *jumpButton,
                   QPushButton *saveAndPreviousButton, QPushButton *saveAndNextButton);
    // unmarked.cpp
    void goToNextUnmarkedImage();

    bool saveModifiedAnnotations();
    void setModified(bool modified);
    bool storeCurrentAnnotations();
    void showStoredAnnotations();
    void showImageName();
    void showMarkCounts();
    // A team's dataset: another window saved the row of `fileName`.
    void showSavedElsewhere(const QString &fileName);

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
