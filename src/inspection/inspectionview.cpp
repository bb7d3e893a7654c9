// The inspection view knows the main window only through its port: what its
// notifier tells, the texts of its lines, its list of labels (shown here
// through the same model and selection), its change flag and its keys. Every key but the view's own zoom keys acts
// through the main window's keys, so there is one way through the program.
#include "inspectionview.h"

#include "annotationsource.h"
#include "imagesession.h"
#include "labelkeys.h"
#include "labellingwindow.h"
#include "undokeys.h"
#include "windowactivity.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSlider>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {

// Opens the view on Z and on a double-click on the image area, and closes it
// with the main window. Until the first opening the main window's widgets
// are exactly those it builds itself.
class Opener final : public QObject
{
public:
    explicit Opener(LabellingWindow *window)
        : QObject(window->windowWidget())
        , window(window)
        , mainWidget(window->windowWidget())
    {
        window->imageArea()->installEventFilter(this);
        mainWidget->installEventFilter(this);
    }

    void open()
    {
        if (!view) {
            view = new InspectionView(window);
            const QRect available = window->windowWidget()->screen()->availableGeometry();
            QRect placed(QPoint(), available.size() * 0.8);
            placed.moveCenter(available.center());
            view->setGeometry(placed);
        }
        view->setWindowState(view->windowState() & ~Qt::WindowMinimized);
        view->show();
        view->raise();
        view->activateWindow();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Compared with the widget kept at the start: the main window's own
        // events reach here while it is destroyed, past its port's lifetime.
        if (watched == mainWidget) {
            if (event->type() == QEvent::Close && view)
                view->close();
            return false;
        }
        if (event->type() == QEvent::MouseButtonDblClick
            && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            open();
            return true;
        }
        return false;
    }

private:
    LabellingWindow *window;
    QWidget *const mainWidget;
    QPointer<InspectionView> view;
};

// The name line may be cut in the panel; its tooltip shows it whole, as
// plain text even when the name looks like markup.
void showWholeInTooltip(QLabel *line)
{
    const QString text = line->text();
    line->setToolTip(Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text) : text);
}

} // namespace

void InspectionView::attach(LabellingWindow *window)
{
    auto *opener = new Opener(window);
    window->keys()->bind({QKeySequence(Qt::Key_Z)}, [opener] { opener->open(); });
    window->imageArea()->setToolTip(tr("双击图片或按 Z 键打开检查视图"));
}

InspectionView::InspectionView(LabellingWindow *window)
    : QWidget(window->windowWidget(), Qt::Window)
    , mainWindow(window)
    , imagePath(window->currentImagePath())
    // The image area holds the picture, or a text while the picture is
    // decoded in the background; it is empty when the decode failed.
    , imageDecoded(!window->imageArea()->pixmap().isNull()
                   || !window->imageArea()->text().isEmpty())
{
    setWindowTitle(tr("检查视图"));

    pictureCanvas = new InspectionCanvas(this);
    pictureCanvas->setToolTip(
        tr("滚轮或 + / - 缩放，1 键按原始像素显示，0 键适应窗口，按住左键拖动画面"));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(pictureCanvas, 1);
    layout->addWidget(createSidePanel());

    const WindowActivity *activity = window->activity();
    connect(activity, &WindowActivity::currentImageChanged, this, &InspectionView::showImage);
    // The state line follows the file and the change flag, the count line
    // the file.
    connect(activity, &WindowActivity::unsavedChanged, this, &InspectionView::showState);
    const auto showFile = [this] {
        showState();
        showLines();
    };
    connect(activity, &WindowActivity::rowSaved, this, showFile);
    connect(activity, &WindowActivity::annotationsReloaded, this, showFile);
    connect(pictureCanvas, &InspectionCanvas::scaleChanged, this, &InspectionView::showZoom);

    // Every control is in place: the main window's keys work on all of them.
    window->keys()->watch(this);
    connect(window->keys(), &LabelKeys::pendingChanged, this, &InspectionView::showPending);

    pictureCanvas->setFocus();
    showState();
    showLines();
    showZoom();
}

QWidget *InspectionView::createSidePanel()
{
    auto *panel = new QWidget(this);
    panel->setFixedWidth(280);
    auto *column = new QVBoxLayout(panel);

    nameLabel = new QLabel(panel);
    nameLabel->setObjectName(QStringLiteral("inspectionName"));
    // A file name is never markup.
    nameLabel->setTextFormat(Qt::PlainText);
    nameLabel->setStyleSheet(QStringLiteral("font-size: 16px; color: black; padding: 2px;"));
    // The panel decides the width: a long name is cut, never widens it.
    nameLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    column->addWidget(nameLabel);

    stateLabel = new QLabel(panel);
    stateLabel->setObjectName(QStringLiteral("inspectionState"));
    column->addWidget(stateLabel);

    // The main window's own list of labels and its selection: Delete removes
    // the label selected there, so selecting here selects it there.
    labelList = new QListView(panel);
    labelList->setObjectName(QStringLiteral("inspectionLabels"));
    labelList->setModel(mainWindow->labelModel());
    labelList->setSelectionModel(mainWindow->labelSelection());
    labelList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    labelList->setToolTip(tr("选中一个标签后按 Delete 删除；%1").arg(UndoKeys::tip()));
    // No control may take text: the letters of a code must arrive as keys.
    labelList->setAttribute(Qt::WA_InputMethodEnabled, false);
    column->addWidget(labelList, 1);

    countLabel = new QLabel(panel);
    countLabel->setObjectName(QStringLiteral("inspectionCount"));
    countLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: gray; padding: 2px;"));
    column->addWidget(countLabel);

    pendingLabel = new QLabel(panel);
    pendingLabel->setObjectName(QStringLiteral("inspectionPending"));
    pendingLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: #1565c0; padding: 2px;"));
    column->addWidget(pendingLabel);

    zoomLabel = new QLabel(panel);
    zoomLabel->setObjectName(QStringLiteral("inspectionZoom"));
    column->addWidget(zoomLabel);

    reducedLabel = new QLabel(panel);
    reducedLabel->setObjectName(QStringLiteral("inspectionReduced"));
    reducedLabel->setStyleSheet(QStringLiteral("color: #c62828;"));
    column->addWidget(reducedLabel);

    addToneControls(panel, column);
    return panel;
}

// The three tone sliders and the button that sets them back.
void InspectionView::addToneControls(QWidget *panel, QVBoxLayout *column)
{
    auto *tones = new QFormLayout;
    brightnessSlider = addToneSlider(panel, QStringLiteral("brightnessSlider"));
    contrastSlider = addToneSlider(panel, QStringLiteral("contrastSlider"));
    gammaSlider = addToneSlider(panel, QStringLiteral("gammaSlider"));
    tones->addRow(tr("亮度"), brightnessSlider);
    tones->addRow(tr("对比度"), contrastSlider);
    tones->addRow(tr("伽马"), gammaSlider);
    column->addLayout(tones);

    resetButton = new QPushButton(tr("重置"), panel);
    connect(resetButton, &QPushButton::clicked, this, [this] {
        for (QSlider *slider : {brightnessSlider, contrastSlider, gammaSlider}) {
            const QSignalBlocker blocker(slider);
            slider->setValue(0);
        }
        toneChanged();
    });
    column->addWidget(resetButton);
}

QSlider *InspectionView::addToneSlider(QWidget *panel, const QString &objectName)
{
    auto *slider = new QSlider(Qt::Horizontal, panel);
    slider->setObjectName(objectName);
    slider->setRange(-100, 100);
    slider->setValue(0);
    slider->setPageStep(10);
    connect(slider, &QSlider::valueChanged, this, &InspectionView::toneChanged);
    return slider;
}

void InspectionView::toneChanged()
{
    pictureCanvas->setTone({brightnessSlider->value(), contrastSlider->value(),
                            gammaSlider->value()});
}

void InspectionView::showImage(const QString &path, bool shown)
{
    imagePath = path;
    imageDecoded = shown;
    if (isVisible())
        showPicture();
    showState();
    showLines();
}

void InspectionView::showPicture()
{
    if (imagePath.isEmpty()) {
        pictureCanvas->showText(QString());
        reducedLabel->clear();
        return;
    }
    if (!imageDecoded) {
        showDecoded(FullPicture());
        return;
    }
    const ImageSession &session = mainWindow->session();
    QStringList neighbours = session.neighbourPaths();
    if (session.position() < shownPosition && neighbours.size() == 2)
        neighbours.swapItemsAt(0, 1);
    shownPosition = session.position();
    // A picture that takes seconds to decode comes later, unless the main
    // window has moved on or found the file undecodable by then.
    const std::optional<FullPicture> picture = fullPictures.pictureOrLater(
        imagePath, neighbours, [this, path = imagePath](const FullPicture &decoded) {
            if (imageDecoded && imagePath == path)
                showDecoded(decoded);
        });
    if (picture) {
        showDecoded(*picture);
        return;
    }
    pictureCanvas->showText(tr("正在加载图像…"));
    reducedLabel->clear();
}

void InspectionView::showDecoded(const FullPicture &picture)
{
    if (picture.isNull())
        pictureCanvas->showText(tr("未加载图像：") + imagePath);
    else
        pictureCanvas->setPicture(picture);
    reducedLabel->setText(picture.reduced ? tr("图像已缩小显示") : QString());
}

void InspectionView::showState()
{
    // Marked by the count line's rule: the annotation file's row of the image
    // has a flag set.
    const QString name = mainWindow->session().currentName();
    const AnnotationSource *store = mainWindow->store();
    const bool marked = !name.isEmpty() && store && store->isMarked(name);
    const bool unsaved = mainWindow->hasUnsavedAnnotations();
    stateLabel->setText(unsaved ? tr("有未保存的更改") : marked ? tr("已标记") : tr("未标记"));
    const char *colour = unsaved ? "#c62828" : marked ? "#2e7d32" : "gray";
    stateLabel->setStyleSheet(
        QStringLiteral("font-size: 16px; font-weight: bold; padding: 2px; color: %1;")
            .arg(QLatin1String(colour)));
}

void InspectionView::showLines()
{
    nameLabel->setText(mainWindow->nameLine()->text());
    showWholeInTooltip(nameLabel);
    countLabel->setText(mainWindow->countLine()->text());
}

void InspectionView::showPending(const QKeySequence &typed)
{
    pendingLabel->setText(typed.isEmpty() ? QString()
                                          : tr("已输入 %1，等待第二个字母")
                                                .arg(typed.toString(QKeySequence::NativeText)));
}

void InspectionView::showZoom()
{
    const QString percent = QString::number(qRound(pictureCanvas->scale() * 100));
    zoomLabel->setText(pictureCanvas->isFitted() ? tr("缩放：%1 %（适应窗口）").arg(percent)
                                                 : tr("缩放：%1 %").arg(percent));
}

void InspectionView::keyPressEvent(QKeyEvent *event)
{
    // Shift may come with + and the keypad with any of them.
    const Qt::KeyboardModifiers others =
        event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
    if (others != Qt::NoModifier) {
        QWidget::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        pictureCanvas->zoomIn();
        break;
    case Qt::Key_Minus:
        pictureCanvas->zoomOut();
        break;
    case Qt::Key_1:
        pictureCanvas->showActualPixels();
        break;
    case Qt::Key_0:
        pictureCanvas->fitToWindow();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void InspectionView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Shown again after it was closed: it missed the displays in between.
    if (!event->spontaneous()) {
        showPicture();
        showState();
        showLines();
    }
}

// Closed, it holds no picture; a window only minimised keeps them.
void InspectionView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous() && !isVisible()) {
        pictureCanvas->showText(QString());
        reducedLabel->clear();
        fullPictures.clear();
    }
}
