#include "datasetfeature.h"

#include "datasetmodel.h"
#include "datasetsource.h"
#include "datasetwindow.h"
#include "imagesession.h"
#include "labelkeys.h"
#include "labellingsession.h"
#include "labellingwindow.h"
#include "outcomeboxes.h"
#include "suggestions.h"
#include "windowactivity.h"
#include "windowplace.h"

#include <QKeySequence>

DatasetFeature *DatasetFeature::attach(LabellingWindow *window, DatasetSource *source)
{
    auto *feature = new DatasetFeature(window, source);

    const QKeySequence openKey(Qt::CTRL | Qt::Key_D);
    const QKeySequence nextKey(Qt::ALT | Qt::Key_Right);
    const QKeySequence previousKey(Qt::ALT | Qt::Key_Left);
    LabelKeys *keys = window->keys();
    keys->bind({openKey}, [feature] { feature->openWindow(); });
    keys->bind({nextKey}, [feature, keys] { feature->moveByFilter(1, keys->typedIn()); });
    keys->bind({previousKey}, [feature, keys] { feature->moveByFilter(-1, keys->typedIn()); });

    feature->openerTip = tr("双击或按 %1 打开数据集窗口；%2 / %3 转到符合筛选的下一张 / 上一张")
                             .arg(openKey.toString(QKeySequence::NativeText),
                                  nextKey.toString(QKeySequence::NativeText),
                                  previousKey.toString(QKeySequence::NativeText));

    const WindowActivity *activity = window->labelling()->activity();
    connect(activity, &WindowActivity::annotationsReloaded, feature, [feature] {
        feature->stale = true;
        feature->follow();
    });
    connect(activity, &WindowActivity::rowSaved, feature, &DatasetFeature::takeSavedRow);
    connect(activity, &WindowActivity::currentImageChanged, feature, &DatasetFeature::follow);
    return feature;
}

DatasetFeature::DatasetFeature(LabellingWindow *window, DatasetSource *source)
    : QObject(window->windowWidget())
    , mainWindow(window)
    , source(source)
{
    source->setParent(this);
}

QStringList DatasetFeature::catalogue() const
{
    return source->catalogue();
}

Suggestions *DatasetFeature::suggestions() const
{
    return mainWindow->labelling()->suggestions();
}

QString DatasetFeature::annotationPath() const
{
    return source->annotationPath();
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
        datasetWindow = new DatasetWindow(this, mainWindow->windowWidget());
        WindowPlace::openBeside(datasetWindow, QStringLiteral("datasetWindow"),
                                datasetWindow->size(), mainWindow->windowWidget(),
                                mainWindow->placementAnchor());
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
    lookAndFollow();
    shownCurrent = currentPosition();
    emit currentChanged(shownCurrent);
}

void DatasetFeature::lookAndFollow()
{
    if (stale && !isShown())
        return;
    lookAtSource();
    follow();
}

void DatasetFeature::follow()
{
    // Rows that no window shows are not kept current: they are shown anew
    // once the window shows again.
    if (stale && !isShown())
        return;
    checkListing();
    if (!isShown())
        return;
    const bool rebuilding = stale;
    showAnew();
    const int current = currentPosition();
    if (rebuilding || current != shownCurrent) {
        shownCurrent = current;
        emit currentChanged(current);
    }
}

void DatasetFeature::moveTo(qsizetype position)
{
    tellOutcome(mainWindow->windowWidget(), mainWindow->labelling()->moveTo(int(position)),
                mainWindow->keys());
}

void DatasetFeature::moveByFilter(int step, QWidget *typedIn)
{
    // The likely mistakes as the marked images stand now.
    if (chosen.choice == DatasetFilter::Doubtful && suggestions()) {
        lookAtSource();
        suggestions()->assess(source->facts());
    }
    const int current = currentPosition();
    qsizetype target = -1;
    if (isShown() && datasetWindow->tableModel().isSorted()) {
        // The order the person sees: the table's rows, sorted by a column.
        lookAtSource();
        follow();
        const DatasetModel &table = datasetWindow->tableModel();
        const int row = table.rowOf(current);
        const int next = row < 0 ? (step > 0 ? 0 : table.rowCount() - 1) : row + step;
        if (next >= 0 && next < table.rowCount())
            target = table.positionAt(next);
    } else if (chosen.keepsEverything()) {
        // Every image is kept: no need to know what the file says.
        const qsizetype count = source->names().size();
        const qsizetype next = qBound(qsizetype(-1), qsizetype(current), count) + step;
        if (next >= 0 && next < count)
            target = next;
    } else {
        lookAtSource();
        target = chosen.nearestKept(*source, current, step);
    }
    if (target < 0) {
        mainWindow->keys()->showNote(typedIn, step > 0 ? tr("后面没有符合筛选的图片")
                                                       : tr("前面没有符合筛选的图片"));
        return;
    }
    moveTo(target);
}

void DatasetFeature::closeWindow()
{
    if (datasetWindow)
        datasetWindow->close();
}

bool DatasetFeature::isShown() const
{
    return datasetWindow && datasetWindow->isVisible();
}

// One look at the file, and whether the main window lists other images now.
// A changed file is told by the notifier, which marks the rows stale.
void DatasetFeature::lookAtSource()
{
    source->refresh();
    checkListing();
}

void DatasetFeature::checkListing()
{
    if (source->listing() != shownListing)
        stale = true;
}

void DatasetFeature::showAnew()
{
    if (!stale)
        return;
    shownListing = source->listing();
    stale = false;
    emit rebuilt();
}

void DatasetFeature::takeSavedRow(qsizetype position)
{
    checkListing();
    if (stale || position < 0 || position >= source->names().size())
        return;
    emit imageChanged(position);
}
