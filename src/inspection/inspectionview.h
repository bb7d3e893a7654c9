#pragma once

#include "fullpictures.h"
#include "inspectioncanvas.h"

#include <QKeySequence>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

class InspectionView;
class LabelPanel;
class LabellingSession;
class LabellingWindow;
class QFormLayout;
class QLabel;
class QListView;
class QPushButton;
class QSlider;
class QVBoxLayout;

// Opens the inspection view of a main window on Z, created the first time,
// or raises it once it is open; the main window also opens it on a
// double-click on its picture, and closes it with itself.
class InspectionOpener final : public QObject
{
    Q_OBJECT

public:
    explicit InspectionOpener(LabellingWindow *window);

    // What the main window's picture says of the view.
    static QString toolTip();
    void open();
    void close();

private:
    LabellingWindow *window;
    QPointer<InspectionView> view;
};

// A second, resizable window on the main window's current image: the picture
// at its full resolution to zoom into and move around, its tones adjustable,
// and beside it what the main window says about the image. It follows every
// display of the main window, and every key of the main window works in it
// through the main window's own controls; only zooming is its own.
class InspectionView final : public QWidget
{
    Q_OBJECT

public:
    // A window of the main window's, which closes with it.
    explicit InspectionView(LabellingWindow *window);

    // Makes Z open the view; the opener is the main window's child.
    static InspectionOpener *attach(LabellingWindow *window);

    InspectionCanvas *canvas() const { return pictureCanvas; }
    const FullPictures &pictures() const { return fullPictures; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QWidget *createSidePanel();
    QWidget *createStateRow(QWidget *panel);
    void createLabelPanel(QWidget *panel);
    void addToneControls(QWidget *panel, QVBoxLayout *column);
    QSlider *addToneSlider(QFormLayout *tones, const QString &text, const QString &name);
    void showImage(const QString &path, bool shown);
    void showPicture();
    void showDecoded(const FullPicture &picture);
    void showState();
    void showLines();
    void showName();
    void showLabels();
    void showSuggestions();
    void showPending(const QKeySequence &typed);
    void showNote(const QString &text);
    void showZoom();
    void toneChanged();
    void rememberTones() const;

    LabellingWindow *mainWindow;
    LabellingSession *labelling;
    FullPictures fullPictures;
    // The display the main window made last: the image's native path, and
    // whether it could decode it.
    QString imagePath;
    bool imageDecoded = false;
    // The list position of the picture shown last, which tells the direction
    // of travel: the picture ahead is prepared first.
    int shownPosition = -1;

    InspectionCanvas *pictureCanvas = nullptr;
    QLabel *nameLabel = nullptr;
    QLabel *stateLabel = nullptr;
    QLabel *contradictionLabel = nullptr;
    LabelPanel *labelPanel = nullptr;
    QListView *labelList = nullptr;
    QLabel *countLabel = nullptr;
    QLabel *pendingLabel = nullptr;
    QTimer noteExpiry; // runs while the pending line shows a note
    QLabel *zoomLabel = nullptr;
    QLabel *reducedLabel = nullptr;
    QSlider *brightnessSlider = nullptr;
    QSlider *contrastSlider = nullptr;
    QSlider *gammaSlider = nullptr;
    QPushButton *resetButton = nullptr;
};
