// Builds the window once, after the annotation file has been named. The set
// of controls never changes afterwards; the operations only change texts,
// pictures, list rows and enabled states.
#include "tavrelin.h"

#include "csvannotationfile.h"
#include "labellingsession.h"
#include "remembered.h"
#include "teamaddress.h"
#include "teamstore.h"
#include "windowactivity.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

void Tavrelin::setupInterface(const QString &namedPath)
{
    auto *centralWidget = new QWidget(this);
    setCentralWidget(centralWidget);

    // Named on the command line, or asked for here.
    QString savePath = namedPath;
    if (savePath.isEmpty())
        savePath = QFileDialog::getSaveFileName(this, tr("选择保存路径"),
                                                Remembered::annotationFolder(),
                                                tr("CSV Files (*.csv)"));
    if (savePath.isEmpty()) {
        QMessageBox::warning(this, tr("警告"), tr("未指定保存路径，程序即将退出"));
        return;
    }
    AnnotationStore *annotationStore = openAnnotations(savePath);
    if (!annotationStore)
        return;
    // The folder of the last annotation file is where the start dialog opens
    // next time; a team's address has none.
    if (!TeamAddress::isAddress(savePath))
        Remembered::useAnnotationFile(savePath);
    labellingSession = new LabellingSession(annotationStore, this);
    annotationStore->setParent(labellingSession);
    setupSuggestions(savePath);
    connect(annotationStore, &AnnotationStore::savedElsewhere, this,
            &Tavrelin::showSavedElsewhere);
    // A file is read anew only within an operation, which shows the result
    // itself; a team's dataset is read anew by itself after an import or a
    // lost connection.
    if (annotationStore->knowsWhoSaved())
        connect(annotationStore, &AnnotationStore::reloaded, this,
                [this] { showSavedElsewhere(QString()); });

    auto *mainLayout = new QVBoxLayout(centralWidget);
    QAction *loadAction = createMenu();
    createPathLines(mainLayout, savePath);
    mainLayout->addLayout(createContentRow());

    auto *jumpButton = new QPushButton(tr("跳转到最后标注图片"), this);
    connect(jumpButton, &QPushButton::clicked, this, &Tavrelin::jumpToLastMarkedImage);
    mainLayout->addWidget(jumpButton);

    const NavigationRow navigation = createNavigationRow();
    mainLayout->addLayout(navigation.row);

    // The session shows its operations here once every control is in place.
    labellingSession->setScreen(this);
    setupKeys(loadAction, jumpButton, navigation.saveAndPrevious, navigation.saveAndNext);
}

// A file, or a team's dataset on a server named by its address; null, after
// telling why, when the dataset cannot be opened.
AnnotationStore *Tavrelin::openAnnotations(const QString &savePath)
{
    if (!TeamAddress::isAddress(savePath))
        return new CsvAnnotationFile(savePath, labels, this);
    QString error;
    const std::optional<TeamAddress> address = TeamAddress::parse(savePath, &error);
    if (address) {
        auto *team = new TeamStore(*address, labels, resolveAnnotator(annotatorName), this);
        if (team->open(&error))
            return team;
        delete team;
    }
    QMessageBox::warning(this, tr("警告"), tr("无法连接标签数据库：") + error);
    return nullptr;
}

QAction *Tavrelin::createMenu()
{
    auto *menuBar = new QMenuBar(this);
    setMenuBar(menuBar);
    QMenu *folderMenu = menuBar->addMenu(tr("选择图片目录"));
    QAction *loadAction = folderMenu->addAction(tr("加载图片"));
    connect(loadAction, &QAction::triggered, this, &Tavrelin::loadImages);
    return loadAction;
}

void Tavrelin::createPathLines(QVBoxLayout *mainLayout, const QString &savePath)
{
    savePathLabel = new QLabel(tr("保存路径: %1").arg(savePath), this);
    savePathLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: blue; padding: 2px;"));
    mainLayout->addWidget(savePathLabel);

    imageDirLabel = new QLabel(tr("图片目录: 未指定"), this);
    imageDirLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: green; padding: 2px;"));
    mainLayout->addWidget(imageDirLabel);
}

// The labels' list, the picture with its two lines above it, and the label
// buttons, side by side.
QHBoxLayout *Tavrelin::createContentRow()
{
    auto *contentRow = new QHBoxLayout;

    annotationList = new QListWidget(this);
    annotationList->setFixedSize(150, 400);
    connect(annotationList, &QListWidget::itemDoubleClicked, this, &Tavrelin::deleteAnnotation);
    contentRow->addWidget(annotationList);

    contentRow->addLayout(createImageColumn());
    contentRow->addLayout(createLabelButtonGrid());
    return contentRow;
}

QVBoxLayout *Tavrelin::createImageColumn()
{
    auto *imageColumn = new QVBoxLayout;
    markCountLabel = new QLabel(this);
    markCountLabel->setAlignment(Qt::AlignCenter);
    markCountLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: gray; padding: 2px;"));
    markCountLabel->setFixedHeight(20);
    imageColumn->addWidget(markCountLabel);
    imageNameLabel = new QLabel(this);
    imageNameLabel->setAlignment(Qt::AlignCenter);
    imageNameLabel->setStyleSheet(QStringLiteral("font-size: 16px; color: black; padding: 2px;"));
    imageNameLabel->setFixedHeight(25);
    // The image area decides the width: a long name is cut, never widens the window.
    imageNameLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    imageColumn->addWidget(imageNameLabel);
    imageLabel = new QLabel(this);
    imageLabel->setFixedSize(600, 400);
    imageLabel->setStyleSheet(
        QStringLiteral("QLabel { background-color : lightgray; border: 1px solid black; }"));
    imageColumn->addWidget(imageLabel);
    return imageColumn;
}

// The view buttons at the ends, the save-and-move buttons between them.
Tavrelin::NavigationRow Tavrelin::createNavigationRow()
{
    const QString saveAndMoveStyle =
        QStringLiteral("QPushButton { background-color: red; color: white; }");
    NavigationRow navigation;
    navigation.row = new QHBoxLayout;
    navigation.row->addStretch();

    previousButton = new QPushButton(tr("查看上一张"), this);
    previousButton->setFixedSize(100, 40);
    previousButton->setEnabled(false);
    connect(previousButton, &QPushButton::clicked, this, &Tavrelin::previousImage);
    navigation.row->addWidget(previousButton);

    navigation.saveAndPrevious = new QPushButton(tr("保存并上一张"), this);
    navigation.saveAndPrevious->setFixedSize(150, 40);
    navigation.saveAndPrevious->setStyleSheet(saveAndMoveStyle);
    connect(navigation.saveAndPrevious, &QPushButton::clicked, this, [this] {
        // One operation: the windows beside this one hear of the save and
        // the move together, once both are over; a box about the save comes
        // before the move.
        const OneAction action(activity());
        if (tell(labellingSession->save()))
            tell(labellingSession->previous());
    });
    navigation.row->addWidget(navigation.saveAndPrevious);

    navigation.saveAndNext = new QPushButton(tr("保存并下一张"), this);
    navigation.saveAndNext->setFixedSize(150, 40);
    navigation.saveAndNext->setStyleSheet(saveAndMoveStyle);
    connect(navigation.saveAndNext, &QPushButton::clicked, this, [this] {
        // One operation: the windows beside this one hear of the save and
        // the move together, once both are over; a box about the save comes
        // before the move.
        const OneAction action(activity());
        if (tell(labellingSession->save()))
            tell(labellingSession->next());
    });
    navigation.row->addWidget(navigation.saveAndNext);

    nextButton = new QPushButton(tr("查看下一张"), this);
    nextButton->setFixedSize(100, 40);
    nextButton->setEnabled(false);
    connect(nextButton, &QPushButton::clicked, this, &Tavrelin::nextImage);
    navigation.row->addWidget(nextButton);

    navigation.row->addStretch();
    return navigation;
}

QHBoxLayout *Tavrelin::createLabelButtonGrid()
{
    auto *grid = new QHBoxLayout;
    auto *leftColumn = new QVBoxLayout;
    auto *rightColumn = new QVBoxLayout;

    for (qsizetype i = 0; i < labels.size(); ++i) {
        auto *button = new QPushButton(labels.at(i), this);
        button->setFixedSize(150, 40);
        button->setEnabled(false);
        // The label is looked up when the button is clicked, by its position.
        connect(button, &QPushButton::clicked, this, [this, i] { annotate(labels.at(i)); });
        (i < 8 ? leftColumn : rightColumn)->addWidget(button);
        labelButtons.append(button);
    }

    grid->addLayout(leftColumn);
    grid->addLayout(rightColumn);
    return grid;
}
