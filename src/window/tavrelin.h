#pragma once

#include "imagesession.h"
#include "labellingwindow.h"
#include "picturecache.h"
#include "sessionscreen.h"

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
class LabellingSession;
struct SessionOutcome;
class WindowActivity;

// The labelling window: the controls of one labelling session, whose store
// holds the annotation file (or team's dataset) named at start-up. Each slot
// forwards to the session and turns its outcome into the message boxes; the
// session shows what its operations reach through the window's screen. The
// windows beside it see it through the LabellingWindow port.
class Tavrelin : public QMainWindow, public LabellingWindow, private SessionScreen
{
    Q_OBJECT

public:
    // Asks for the annotation file first.
    explicit Tavrelin(QWidget *parent = nullptr);
    // Starts on `annotationPath` without asking (an empty path asks, as
    // above); the path line shows it as given.
    explicit Tavrelin(const QString &annotationPath, QWidget *parent = nullptr);
    // The same, saving a team's rows as `annotator` (empty: the default
    // annotator, see resolveAnnotator()).
    Tavrelin(const QString &annotationPath, const QString &annotator, QWidget *parent);
    ~Tavrelin() override;

    // False when the person refused to name an annotation file at start-up:
    // the window was never built and the program is to end with status 0.
    bool hasAnnotationFile() const;

    // The labelling port, for the windows beside this one.
    QWidget *windowWidget() override;
    QWidget *placementAnchor() const override;
    LabelKeys *keys() const override;
    LabellingSession *labelling() const override;
    QAbstractItemModel *labelModel() const override;
    QItemSelectionModel *labelSelection() const override;

    // The session's notifier; null when no annotation file was named.
    WindowActivity *activity() const;
    QLabel *imageArea() const { return imageLabel; }
    QLabel *nameLine() const { return imageNameLabel; }
    QLabel *countLine() const { return markCountLabel; }
    AnnotationStore *store() const;
    const ImageSession &session() const;
    // The pictures shown here and those prepared beside them.
    const PictureCache &pictureCache() const;
    // Lists `folder` and shows its first image as a folder chosen through
    // "加载图片" is, with the same messages.
    void openFolder(const QString &folder);
    // Takes the model `onnxPath` for this store's suggestions, as the dataset
    // window's 载入模型… does; refused with the reason in `error`.
    bool chooseModel(const QString &onnxPath, QString *error);

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
    // The model's suggestions, with the model remembered for this store.
    void setupSuggestions(const QString &savePath);
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
    // The dataset window, the inspection view and undo, with their keys.
    void attachSideWindows();
    // Tells what an operation has to tell; whether it was done.
    bool tell(const SessionOutcome &outcome);
    void goToNextUnmarkedImage();
    void goToLeastSureImage();
    void bindSuggestionKeys(LabelKeys *keys);
    // A team's dataset: another window saved the row of `fileName`.
    void showSavedElsewhere(const QString &fileName);

    // The session's screen (screen.cpp).
    void showFolder(const QString &folder) override;
    bool showPicture(const QString &path) override;
    void showName() override;
    void showCounts() override;
    void showLabelAdded(const QString &label) override;
    void showLabelRemoved(int row) override;
    void showLabels(const QStringList &labels) override;
    std::unique_ptr<SessionWait> startWaiting(SessionWait::Kind kind) override;
    void showPictureFailed(const QString &path);

    QLabel *imageLabel = nullptr;
    QLabel *imageNameLabel = nullptr;
    QLabel *markCountLabel = nullptr;
    QLabel *savePathLabel = nullptr;
    QLabel *imageDirLabel = nullptr;
    QListWidget *annotationList = nullptr;
    QPushButton *previousButton = nullptr;
    QPushButton *nextButton = nullptr;
    LabellingSession *labellingSession = nullptr;
    QString annotatorName;
    QStringList labels;
    QList<QPushButton *> labelButtons;
    PictureCache pictures;
    LabelKeys *labelKeys = nullptr;
};
