#include "tavrelin.h"

#include "annotationformat.h"
#include "annotationstore.h"
#include "labellingsession.h"
#include "outcomeboxes.h"

#include <QLabel>
#include <QListWidget>

#include <utility>

Tavrelin::Tavrelin(QWidget *parent)
    : Tavrelin(QString(), parent)
{
}

Tavrelin::Tavrelin(const QString &annotationPath, QWidget *parent)
    : Tavrelin(annotationPath, QString(), parent)
{
}

Tavrelin::Tavrelin(const QString &annotationPath, const QString &annotator, QWidget *parent)
    : QMainWindow(parent)
    , annotatorName(annotator)
    , labels(AnnotationFormat::catalogue())
{
    setupInterface(annotationPath);
}

Tavrelin::~Tavrelin()
{
    // The windows beside this one (the dataset window, the inspection view)
    // read the session and their helpers' state while they close: they go
    // while all of it is still there.
    const QList<QWidget *> children = findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *child : children) {
        if (child->isWindow())
            delete child;
    }
    // The session and its store go next, while the window is whole: a store
    // that tells something as it closes finds every control still there.
    if (labellingSession)
        disconnect(labellingSession->store(), nullptr, this, nullptr);
    delete std::exchange(labellingSession, nullptr);
}

bool Tavrelin::hasAnnotationFile() const
{
    return labellingSession != nullptr;
}

QWidget *Tavrelin::windowWidget()
{
    return this;
}

QWidget *Tavrelin::placementAnchor() const
{
    return imageLabel;
}

LabelKeys *Tavrelin::keys() const
{
    return labelKeys;
}

LabellingSession *Tavrelin::labelling() const
{
    return labellingSession;
}

QAbstractItemModel *Tavrelin::labelModel() const
{
    return annotationList->model();
}

QItemSelectionModel *Tavrelin::labelSelection() const
{
    return annotationList->selectionModel();
}

WindowActivity *Tavrelin::activity() const
{
    return labellingSession ? labellingSession->activity() : nullptr;
}

AnnotationStore *Tavrelin::store() const
{
    return labellingSession ? labellingSession->store() : nullptr;
}

const ImageSession &Tavrelin::session() const
{
    static const ImageSession none;
    return labellingSession ? labellingSession->images() : none;
}

const PictureCache &Tavrelin::pictureCache() const
{
    return pictures;
}

bool Tavrelin::tell(const SessionOutcome &outcome)
{
    return tellAndSettle(this, labellingSession, outcome, labelKeys).done;
}
