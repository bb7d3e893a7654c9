#include "tavrelin.h"

#include "annotationformat.h"
#include "annotationstore.h"
#include "labelcatalogue.h"
#include "windowactivity.h"

#include <QListWidget>

Tavrelin::Tavrelin(QWidget *parent)
    : Tavrelin(QString(), parent)
{
}

Tavrelin::Tavrelin(const QString &annotationPath, QWidget *parent)
    : QMainWindow(parent)
    , labels(AnnotationFormat::catalogue())
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

AnnotationStore *Tavrelin::store() const
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
