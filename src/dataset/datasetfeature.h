#pragma once

#include "datasetfilter.h"

#include <QObject>
#include <QPointer>

class QWidget;
class DatasetSource;
class DatasetWindow;
class Suggestions;
class LabellingWindow;

// The dataset window and the review keys of one main window. It lives as
// long as the main window and keeps what must outlast the dataset window:
// the filter, which Alt+Right and Alt+Left follow also while the window is
// closed or was never opened.
//
// It holds no image data: the source reads the session and the annotation
// source. It tells the window what the main window's notifier told: one row
// for each save, everything anew when the file was read anew or the list
// changed. The file itself is looked at only when the window comes to the
// front and before a step by the filter.
class DatasetFeature final : public QObject
{
    Q_OBJECT

public:
    // Ctrl+D opens the window; Alt+Right and Alt+Left move by the filter.
    // Takes `source` as its child.
    static DatasetFeature *attach(LabellingWindow *window, DatasetSource *source);
    // What the main window's opener of the window (its count line) says.
    const QString &openerToolTip() const { return openerTip; }

    QStringList catalogue() const;
    // The model's suggestions of the main window's session.
    Suggestions *suggestions() const;
    QString annotationPath() const;
    const DatasetSource &images() const { return *source; }
    const DatasetFilter &filter() const { return chosen; }
    void setFilter(const DatasetFilter &filter);
    // The main window's current image; outside the list while there is none.
    int currentPosition() const;

    // Shows the dataset window, building it the first time, and raises it.
    void openWindow();
    // Closes it, with the main window: a window left open would keep the
    // program running once the main window is gone.
    void closeWindow();
    // One look at the file on disk, then follow().
    void lookAndFollow();
    // Shows the main window's list and current image, all anew when the
    // list or the annotations changed as a whole.
    void follow();
    // Moves the main window like a view button: no save, the change flag kept.
    void moveTo(qsizetype position);
    // Goes to the nearest image after (1) or before (-1) the current one
    // that the filter keeps. Only keys ask for it: that there is none is a
    // note where the person typed in `typedIn`, never a box that would take
    // the keys typed next.
    void moveByFilter(int step, QWidget *typedIn);

signals:
    // The list or the annotations changed as a whole: every image may have
    // changed.
    void rebuilt();
    // The facts of the image at `position` changed.
    void imageChanged(qsizetype position);
    void filterChanged();
    // The main window went to another image, or everything changed.
    void currentChanged(int position);

private:
    DatasetFeature(LabellingWindow *window, DatasetSource *source);
    bool isShown() const;
    void lookAtSource();
    void checkListing();
    void showAnew();
    void takeSavedRow(qsizetype position);

    LabellingWindow *mainWindow;
    DatasetSource *source;
    QPointer<DatasetWindow> datasetWindow;
    // The window's rows stand for another list or older annotations.
    bool stale = true;
    quint64 shownListing = 0;
    int shownCurrent = -1;
    DatasetFilter chosen;
    QString openerTip;
};
