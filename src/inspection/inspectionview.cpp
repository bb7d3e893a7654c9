// The inspection view knows the main window only through its port: the
// labelling session (its current image, labels, counts, change flag,
// operations and notifier), the main window's list of labels (shown here
// through the same model and selection) and its keys. Every key but the
// view's own zoom and tone keys acts through the main window's keys, and
// every click on the label panel is the session's operation, so there is one
// way through the program.
#include "inspectionview.h"

#include "annotationstore.h"
#include "imagesession.h"
#include "keynames.h"
#include "labelkeys.h"
#include "labelcatalogue.h"
#include "labellingsession.h"
#include "labellingwindow.h"
#include "undokeys.h"
#include "labelpanel.h"
#include "remembered.h"
#include "suggestions.h"
#include "windowactivity.h"
#include "windowplace.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// A tooltip as plain text, even when the text looks like markup.
QString plainTooltip(const QString &text)
{
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text) : text;
}

const QString brightnessKey = QStringLiteral("inspection/brightness");
const QString contrastKey = QStringLiteral("inspection/contrast");
const QString gammaKey = QStringLiteral("inspection/gamma");

// No defect, given together with a defect.
bool contradicts(const QStringList &labels)
{
    const bool noDefect = std::any_of(labels.cbegin(), labels.cend(), isNoDefect);
    return noDefect && labels.size() > 1;
}

} // namespace

InspectionOpener::InspectionOpener(LabellingWindow *window)
    : QObject(window->windowWidget())
    , window(window)
{
    window->keys()->bind({QKeySequence(Qt::Key_Z)}, [this] { open(); });
}

QString InspectionOpener::toolTip()
{
    return InspectionView::tr("双击图片或按 Z 键打开检查视图");
}

void InspectionOpener::open()
{
    if (!view) {
        view = new InspectionView(window);
        // As large as most of the screen, beside the main window's picture.
        QWidget *mainWindow = window->windowWidget();
        WindowPlace::openBeside(view, QStringLiteral("inspectionView"),
                                mainWindow->screen()->availableGeometry().size() * 0.8,
                                mainWindow, window->placementAnchor());
    }
    view->setWindowState(view->windowState() & ~Qt::WindowMinimized);
    view->show();
    view->raise();
    view->activateWindow();
}

void InspectionOpener::close()
{
    if (view)
        view->close();
}

InspectionOpener *InspectionView::attach(LabellingWindow *window)
{
    return new InspectionOpener(window);
}

InspectionView::InspectionView(LabellingWindow *window)
    : QWidget(window->windowWidget(), Qt::Window)
    , mainWindow(window)
    , labelling(window->labelling())
    , imagePath(labelling->images().currentPath())
    , imageDecoded(labelling->currentShown())
{
    setWindowTitle(tr("检查视图"));

    pictureCanvas = new InspectionCanvas(this);
    pictureCanvas->setToolTip(
        tr("滚轮或 + / - 缩放，1 键按原始像素显示，0 键适应窗口，按住左键拖动画面"));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(pictureCanvas, 1);
    // The panel scrolls where the window is lower than all it holds.
    auto *side = new QScrollArea(this);
    side->setObjectName(QStringLiteral("inspectionSide"));
    side->setFrameShape(QFrame::NoFrame);
    side->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    side->setWidgetResizable(true);
    side->setFixedWidth(280);
    side->setWidget(createSidePanel());
    layout->addWidget(side);
    // The layout asks for little, the panel scrolling; below this the
    // picture is too small to look at.
    setMinimumSize(400, 300);

    const WindowActivity *activity = labelling->activity();
    connect(activity, &WindowActivity::currentImageChanged, this, &InspectionView::showImage);
    // The state line follows the file and the change flag, the count line
    // the file.
    connect(activity, &WindowActivity::unsavedChanged, this, &InspectionView::showState);
    // The label panel and the contradiction follow the labels and the file.
    connect(activity, &WindowActivity::currentLabelsChanged, this, [this] {
        showState();
        showLabels();
    });
    const auto showFile = [this] {
        showState();
        showLines();
        showLabels();
    };
    connect(activity, &WindowActivity::rowSaved, this, showFile);
    connect(activity, &WindowActivity::annotationsReloaded, this, showFile);
    connect(pictureCanvas, &InspectionCanvas::scaleChanged, this, &InspectionView::showZoom);
    // The model's probabilities come when the background pass reaches the
    // image, or change with the model.
    if (const Suggestions *suggestions = labelling->suggestions()) {
        connect(suggestions, &Suggestions::modelChanged, this, &InspectionView::showSuggestions);
        connect(suggestions, &Suggestions::predicted, this, [this](const QStringList &names) {
            if (names.contains(labelling->images().currentName()))
                showSuggestions();
        });
    }

    // Every control is in place: the main window's keys work on all of them.
    window->keys()->watch(this);
    connect(window->keys(), &LabelKeys::pendingChanged, this, &InspectionView::showPending);
    window->keys()->showNotesWith(this, [this](const QString &text) { showNote(text); });
    noteExpiry.setSingleShot(true);
    connect(&noteExpiry, &QTimer::timeout, this, [this] { showPending(QKeySequence()); });

    pictureCanvas->setFocus();
    showState();
    showLines();
    showLabels();
    showZoom();
}

QWidget *InspectionView::createSidePanel()
{
    auto *panel = new QWidget(this);
    auto *column = new QVBoxLayout(panel);

    nameLabel = new QLabel(panel);
    nameLabel->setObjectName(QStringLiteral("inspectionName"));
    // A file name is never markup.
    nameLabel->setTextFormat(Qt::PlainText);
    nameLabel->setStyleSheet(QStringLiteral("font-size: 16px; color: black; padding: 2px;"));
    // The panel decides the width: a long name is cut in its middle, never
    // widens it, and the position stays.
    nameLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    nameLabel->installEventFilter(this);
    column->addWidget(nameLabel);

    column->addWidget(createStateRow(panel));

    pendingLabel = new QLabel(panel);
    pendingLabel->setObjectName(QStringLiteral("inspectionPending"));
    pendingLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: #1565c0; padding: 2px;"));
    // Its line stays while nothing waits, so that the panel below never moves.
    pendingLabel->ensurePolished();
    pendingLabel->setMinimumHeight(pendingLabel->fontMetrics().height() + 4);
    column->addWidget(pendingLabel);

    createLabelPanel(panel);
    column->addWidget(labelPanel);

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
    labelList->setMinimumHeight(3 * labelList->fontMetrics().height());
    labelList->setMaximumHeight(6 * labelList->fontMetrics().height());
    column->addWidget(labelList);
    column->addStretch();

    countLabel = new QLabel(panel);
    countLabel->setObjectName(QStringLiteral("inspectionCount"));
    countLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: gray; padding: 2px;"));
    column->addWidget(countLabel);

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

// The three tone sliders, each with its value, and the button that sets them
// back; they start as they were left last time.
void InspectionView::addToneControls(QWidget *panel, QVBoxLayout *column)
{
    auto *tones = new QFormLayout;
    brightnessSlider = addToneSlider(tones, tr("亮度"), QStringLiteral("brightness"));
    contrastSlider = addToneSlider(tones, tr("对比度"), QStringLiteral("contrast"));
    gammaSlider = addToneSlider(tones, tr("伽马"), QStringLiteral("gamma"));
    column->addLayout(tones);

    resetButton = new QPushButton(tr("重置"), panel);
    connect(resetButton, &QPushButton::clicked, this, [this] {
        for (QSlider *slider : {brightnessSlider, contrastSlider, gammaSlider})
            slider->setValue(0);
    });
    const QKeySequence resetKey(Qt::CTRL | Qt::Key_R);
    auto *reset = new QAction(this);
    reset->setShortcut(resetKey);
    connect(reset, &QAction::triggered, resetButton, &QPushButton::click);
    addAction(reset);
    resetButton->setToolTip(tr("快捷键：%1").arg(KeyNames::name(resetKey)));
    column->addWidget(resetButton);

    const Remembered remembered;
    brightnessSlider->setValue(remembered.value(brightnessKey, 0).toInt());
    contrastSlider->setValue(remembered.value(contrastKey, 0).toInt());
    gammaSlider->setValue(remembered.value(gammaKey, 0).toInt());
}

QSlider *InspectionView::addToneSlider(QFormLayout *tones, const QString &text,
                                       const QString &name)
{
    auto *slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(name + QStringLiteral("Slider"));
    slider->setRange(-100, 100);
    slider->setValue(0);
    slider->setPageStep(10);
    auto *value = new QLabel;
    value->setObjectName(name + QStringLiteral("Value"));
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("-100")) + 4);
    value->setText(QStringLiteral("0"));
    connect(slider, &QSlider::valueChanged, value,
            [value](int now) { value->setText(QString::number(now)); });
    connect(slider, &QSlider::valueChanged, this, &InspectionView::toneChanged);
    auto *row = new QHBoxLayout;
    row->addWidget(slider, 1);
    row->addWidget(value);
    tones->addRow(text, row);
    return slider;
}

void InspectionView::rememberTones() const
{
    Remembered remembered;
    remembered.setValue(brightnessKey, brightnessSlider->value());
    remembered.setValue(contrastKey, contrastSlider->value());
    remembered.setValue(gammaKey, gammaSlider->value());
}

QWidget *InspectionView::createStateRow(QWidget *panel)
{
    auto *row = new QWidget(panel);
    auto *line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    stateLabel = new QLabel(row);
    stateLabel->setObjectName(QStringLiteral("inspectionState"));
    line->addWidget(stateLabel);
    contradictionLabel = new QLabel(row);
    contradictionLabel->setObjectName(QStringLiteral("inspectionContradiction"));
    contradictionLabel->setStyleSheet(
        QStringLiteral("font-size: 13px; color: white; background: #e65100; padding: 1px 4px;"));
    contradictionLabel->setToolTip(tr("无缺陷_ND 与缺陷标签同时给出；保存不受影响"));
    contradictionLabel->hide();
    line->addWidget(contradictionLabel);
    line->addStretch();
    return row;
}

// The panel's clicks are the session's operations, as the main window's
// buttons and its list's double-click are, so every rule and log line stays
// the same.
void InspectionView::createLabelPanel(QWidget *panel)
{
    labelPanel = new LabelPanel(labelling->store()->catalogue(), panel);
    connect(labelPanel, &LabelPanel::giveRequested, this,
            [this](const QString &label) {
                // As a click on the main window's button: nothing while no
                // picture was ever shown, when the buttons stand disabled.
                if (labelling->givesLabels())
                    labelling->give(label);
            });
    connect(labelPanel, &LabelPanel::removeRequested, this, [this](const QString &label) {
        labelling->removeAt(int(labelling->labels().indexOf(label)));
    });
}

void InspectionView::toneChanged()
{
    if (!pictureCanvas)
        return;
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
    const ImageSession &session = labelling->images();
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
    const QString name = labelling->images().currentName();
    const bool marked = !name.isEmpty() && labelling->store()->isMarked(name);
    const bool unsaved = labelling->hasUnsaved();
    stateLabel->setText(unsaved ? tr("有未保存的更改") : marked ? tr("已标记") : tr("未标记"));
    const char *colour = unsaved ? "#c62828" : marked ? "#2e7d32" : "gray";
    stateLabel->setStyleSheet(
        QStringLiteral("font-size: 16px; font-weight: bold; padding: 2px; color: %1;")
            .arg(QLatin1String(colour)));
    const bool contradiction = contradicts(labelling->labels());
    contradictionLabel->setText(contradiction ? tr("无缺陷与缺陷标签并存") : QString());
    contradictionLabel->setVisible(contradiction);
}

void InspectionView::showLines()
{
    showName();
    // The main window's count line, which shows from the first image on.
    countLabel->setText(labelling->images().hasCurrent() ? labelling->countText() : QString());
}

// The line as the main window's, the name cut in its middle where the panel
// is too narrow, so that the position always shows.
void InspectionView::showName()
{
    const ImageSession &session = labelling->images();
    if (!session.hasCurrent()) {
        nameLabel->clear();
        nameLabel->setToolTip(QString());
        return;
    }
    const QString name = session.currentName();
    const QString head = tr("图片名称:");
    const QString tail = QStringLiteral("(%1/%2)").arg(session.position() + 1).arg(session.count());
    const QFontMetrics metrics(nameLabel->font());
    // The style sheet's padding and the label's margin, and a pixel to spare.
    const int room = nameLabel->contentsRect().width() - 2 * nameLabel->margin() - 6
        - metrics.horizontalAdvance(head + tail);
    nameLabel->setText(head + metrics.elidedText(name, Qt::ElideMiddle, qMax(room, 0)) + tail);
    nameLabel->setToolTip(plainTooltip(head + name + tail));
}

// The catalogue with the current labels marked, those the annotation file
// holds as saved.
void InspectionView::showLabels()
{
    const QString name = labelling->images().currentName();
    labelPanel->showLabels(labelling->labels(), name.isEmpty()
                                                    ? QStringList()
                                                    : labelling->store()->storedLabels(name));
    labelPanel->setClickable(labelling->images().hasCurrent());
    showSuggestions();
}

void InspectionView::showSuggestions()
{
    const Suggestions *suggestions = labelling->suggestions();
    const QString name = labelling->images().currentName();
    const std::optional<QList<float>> chances =
        suggestions && !name.isEmpty() ? suggestions->probabilities(name) : std::nullopt;
    labelPanel->showProbabilities(chances.value_or(QList<float>()),
                                  chances ? suggestions->thresholds() : QList<float>(),
                                  chances ? suggestions->trainedLabels(name) : 0);
}

// The line of the waiting letter says for two seconds what a key typed here
// only had to inform of, unless a letter begins to wait meanwhile.
void InspectionView::showNote(const QString &text)
{
    pendingLabel->setText(text);
    noteExpiry.start(2000);
}

void InspectionView::showPending(const QKeySequence &typed)
{
    if (!typed.isEmpty() || !noteExpiry.isActive()) {
        noteExpiry.stop();
        pendingLabel->setText(KeyNames::waiting(mainWindow->keys()->continuations()));
    }
    const QString first = typed.isEmpty()
        ? QString()
        : QKeySequence(typed[0]).toString(QKeySequence::PortableText);
    labelPanel->showWaiting(first.size() == 1 ? first.at(0) : QChar());
}

void InspectionView::showZoom()
{
    const QString percent = QString::number(qRound(pictureCanvas->scale() * 100));
    zoomLabel->setText(pictureCanvas->isFitted() ? tr("缩放：%1 %（适应窗口）").arg(percent)
                                                 : tr("缩放：%1 %").arg(percent));
}

bool InspectionView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == nameLabel && event->type() == QEvent::Resize)
        showName();
    return QWidget::eventFilter(watched, event);
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
        showLabels();
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
        rememberTones();
    }
}
