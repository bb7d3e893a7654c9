#include "tavrelin.h"

#include "annotationsource.h"
#include "windowactivity.h"

#include <QListWidget>

// The label catalogue: the order is the order of the label buttons and of
// the flag columns in the annotation file, so it must never change.
static QStringList labelCatalogue()
{
    return {
        QStringLiteral("裂缝、断裂和坍塌_RB"),
        QStringLiteral("侧向修复切口_OS"),
        QStringLiteral("变形_DE"),
        QStringLiteral("表面损伤_OB"),
        QStringLiteral("施工变更相关缺陷_OK"),
        QStringLiteral("凿孔连接_PH"),
        QStringLiteral("无缺陷_ND"),
        QStringLiteral("脱节、关节移位_FS"),
        QStringLiteral("生产错误_PF"),
        QStringLiteral("接口材料脱落_IS"),
        QStringLiteral("树根_RO"),
        QStringLiteral("渗透_IN"),
        QStringLiteral("沉积_AF"),
        QStringLiteral("结垢、腐蚀物_BE"),
        QStringLiteral("障碍物_FO"),
        QStringLiteral("支管暗接_GR"),
        QStringLiteral("与过渡轮廓的连接_OP"),
        QStringLiteral("水位_VA"),
        QStringLiteral("钻孔连接_PB"),
    };
}

Tavrelin::Tavrelin(QWidget *parent)
    : Tavrelin(QString(), parent)
{
}

Tavrelin::Tavrelin(const QString &annotationPath, QWidget *parent)
    : QMainWindow(parent)
    , labels(labelCatalogue())
    , windowActivity(new WindowActivity(this))
{
    setupInterface(annotationPath);
}

Tavrelin::~Tavrelin()
{
    // The windows beside this one (the dataset window, the inspection view)
    // read its state and their helpers' while they close: they go while all
    // of it is still there.
    const QList<QWidget *> children = findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *child : children) {
        if (child->isWindow())
            delete child;
    }
}

bool Tavrelin::hasAnnotationFile() const
{
    return annotationStore != nullptr;
}

QWidget *Tavrelin::windowWidget()
{
    return this;
}

WindowActivity *Tavrelin::activity() const
{
    return windowActivity;
}

LabelKeys *Tavrelin::keys() const
{
    return labelKeys;
}

QLabel *Tavrelin::imageArea() const
{
    return imageLabel;
}

QLabel *Tavrelin::nameLine() const
{
    return imageNameLabel;
}

QLabel *Tavrelin::countLine() const
{
    return markCountLabel;
}

QAbstractItemModel *Tavrelin::labelModel() const
{
    return annotationList->model();
}

QItemSelectionModel *Tavrelin::labelSelection() const
{
    return annotationList->selectionModel();
}

QString Tavrelin::currentImagePath() const
{
    return imageSession.currentPath();
}

bool Tavrelin::hasUnsavedAnnotations() const
{
    return annotationsModified;
}

void Tavrelin::moveTo(int index)
{
    const OneAction action(windowActivity);
    if (imageSession.moveTo(index))
        loadCurrentImage();
}

AnnotationSource *Tavrelin::store() const
{
    return annotationStore;
}

const ImageSession &Tavrelin::session() const
{
    return imageSession;
}

const PictureCache &Tavrelin::pictureCache() const
{
    return pictures;
}
