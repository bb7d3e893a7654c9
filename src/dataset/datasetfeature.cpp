#include "datasetfeature.h"

#include "datasetsource.h"
#include "datasetwindow.h"
#include "labelkeys.h"
#include "tavrelin.h"
#include "windowactivity.h"
#include "windowplace.h"

#include <QEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>

DatasetFeature *DatasetFeature::attach(Tavrelin *window, DatasetSource *source)
{
    auto *feature = new DatasetFeature(window, source);

    const QKeySequence openKey(Qt::CTRL | Qt::Key_D);
    const QKeySequence nextKey(Qt::ALT | Qt::Key_Right);
    const QKeySequence previousKey(Qt::ALT | Qt::Key_Left);
    LabelKeys *keys = window->keys();
    keys->bind({openKey}, [feature] { feature->openWindow(); });
    keys->bind({nextKey}, [feature, window] { feature->moveByFilter(1, window); });
    keys->bind({previousKey}, [feature, window] { feature->moveByFilter(-1, window); });

    QLabel *countLine = window->countLine();
    countLine->installEventFilter(feature);
    countLine->setToolTip(tr("双击或按 %1 打开数据集窗口；%2 / %3 转到符合筛选的下一张 / 上一张")
                              .arg(openKey.toString(QKeySequence::NativeText),
                                   nextKey.toString(QKeySequence::NativeText),
                                   previousKey.toString(QKeySequence::NativeText)));

    // It closes with the main window: a window left open would keep the
    // program running once the main window is gone.
    window->installEventFilter(feature);
    connect(window->activity(), &WindowActivity::acted, feature, &DatasetFeature::follow);
    return feature;
}

DatasetFeature::DatasetFeature(Tavrelin *window, DatasetSource *source)
    : QObject(window)
    , mainWindow(window)
    , source(source)
{
    source->setParent(this);
    connect(source, &DatasetSource::reloaded, this, [this] { stale = true; });
    connect(source, &DatasetSource::rowSaved, this, &DatasetFeature::takeSavedRow);
}

QStringList DatasetFeature::catalogue() const
{
    return source->catalogue();
}

void DatasetFeature::setFilter(const DatasetFilter &filter)
{
    if (filter == chosen)
        return;
    chosen = filter;
    emit filterChanged();
}

int DatasetFeature::currentPosition() const
{
    return source->currentIndex();
}

void DatasetFeature::openWindow()
{
    if (!datasetWindow) {
        datasetWindow = new DatasetWindow(this, mainWindow);
        WindowPlace::openBeside(datasetWindow, QStringLiteral("datasetWindow"), datasetWindow->size(),
                                mainWindow, mainWindow->imageArea());
        // The main window's keys work here too, so that a filtered review
        // can fix labels without leaving the window; the table keeps the
        // keys it moves and opens rows with, and the review keys are the
        // window's own.
        mainWindow->keys()->watch(
            datasetWindow,
            {QKeySequence(Qt::Key_Left), QKeySequence(Qt::Key_Right), QKeySequence(Qt::Key_Return),
             QKeySequence(Qt::Key_Enter), QKeySequence(Qt::Key_Delete),
             QKeySequence(Qt::Key_Backspace), QKeySequence(Qt::ALT | Qt::Key_Left),
             QKeySequence(Qt::ALT | Qt::Key_Right)});
    }
    datasetWindow->show();
    datasetWindow->raise();
    datasetWindow->activateWindow();
    follow();
    shownCurrent = currentPosition();
    emit currentChanged(shownCurrent);
}

void DatasetFeature::follow()
{
    // An index that nothing needs is not kept current: it is built anew
    // once something needs it again.
    if (stale && !isShown())
        return;
    lookAtSource();
    if (!isShown())
        return;
    const bool rebuilding = stale;
    ensureIndex();
    const int current = currentPosition();
    if (rebuilding || current != shownCurrent) {
        shownCurrent = current;
        emit currentChanged(current);
    }
}

void DatasetFeature::moveTo(qsizetype position)
{
    mainWindow->moveTo(int(position));
}

void DatasetFeature::moveByFilter(int step, QWidget *parent)
{
    const int current = currentPosition();
    qsizetype target = -1;
    if (chosen.keepsEverything()) {
        // Every image is kept: no need to know what the file says.
        const qsizetype count = source->listedNames().size();
        const qsizetype next = qBound(qsizetype(-1), qsizetype(current), count) + step;
        if (next >= 0 && next < count)
            target = next;
    } else {
        lookAtSource();
        ensureIndex();
        target = images.nearestKept(chosen, current, step);
    }
    if (target < 0) {
        QMessageBox::information(parent, tr("Info"),
                                 step > 0 ? tr("后面没有符合筛选的图片")
                                          : tr("前面没有符合筛选的图片"));
        return;
    }
    moveTo(target);
}

bool DatasetFeature::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonDblClick && watched == mainWindow->countLine()) {
        openWindow();
        return true;
    }
    if (event->type() == QEvent::Close && watched == mainWindow && datasetWindow)
        datasetWindow->close();
    return QObject::eventFilter(watched, event);
}

bool DatasetFeature::isShown() const
{
    return datasetWindow && datasetWindow->isVisible();
}

// One look at the file, and whether the main window lists other images now.
void DatasetFeature::lookAtSource()
{
    source->refresh();
    // A new listing is a new list; the one the index holds is shared with
    // the main window's for as long as that list stays unchanged.
    if (!stale && !images.names().isSharedWith(source->listedNames()))
        stale = true;
}

void DatasetFeature::ensureIndex()
{
    if (!stale)
        return;
    images.rebuild(source->listedNames(),
                   [this](qsizetype position) { return source->factsAt(position); });
    stale = false;
    emit rebuilt();
}

void DatasetFeature::takeSavedRow(const QString &fileName)
{
    if (stale)
        return;
    const qsizetype position = images.positionOf(fileName, currentPosition());
    if (position >= 0 && images.update(position, source->facts(fileName)))
        emit imageChanged(position);
}
