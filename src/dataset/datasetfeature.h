#pragma once

#include "datasetindex.h"

#include <QObject>
#include <QPointer>

class QWidget;
class DatasetSource;
class DatasetWindow;
class Tavrelin;

// The dataset window and the review keys of one main window. It lives as
// long as the main window and keeps what must outlast the dataset window:
// the filter, which Alt+Right and Alt+Left follow also while the window is
// closed or was never opened, and the index of the listed images.
//
// The index is built only when something needs it, and from then on kept
// current after every operation of the main window: one look at the file,
// one row for each save, a new pass only when the file or the list changed.
class DatasetFeature final : public QObject
{
    Q_OBJECT

public:
    // Ctrl+D and a double-click on the count line open the window; Alt+Right
    // and Alt+Left move by the filter. Takes `source` as its child.
    static DatasetFeature *attach(Tavrelin *window, DatasetSource *source);

    QStringList catalogue() const;
    QString annotationPath() const;
    const DatasetIndex &index() const { return images; }
    const DatasetFilter &filter() const { return chosen; }
    void setFilter(const DatasetFilter &filter);
    // The main window's current image; outside the list while there is none.
    int currentPosition() const;

    // Shows the dataset window, building it the first time, and raises it.
    void openWindow();
    // Brings the index up to the file on disk and the main window's list.
    void follow();
    // Moves the main window like a view button: no save, the change flag kept.
    void moveTo(qsizetype position);
    // Goes to the nearest image after (1) or before (-1) the current one
    // that the filter keeps, or tells over `parent` that there is none.
    void moveByFilter(int step, QWidget *parent);

signals:
    // The index was built anew: every image may have changed.
    void rebuilt();
    // The facts of the image at `position` changed.
    void imageChanged(qsizetype position);
    void filterChanged();
    // The main window went to another image, or the index was rebuilt.
    void currentChanged(int position);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    DatasetFeature(Tavrelin *window, DatasetSource *source);
    bool isShown() const;
    void lookAtSource();
    void ensureIndex();
    void takeSavedRow(const QString &fileName);

    Tavrelin *mainWindow;
    DatasetSource *source;
    QPointer<DatasetWindow> datasetWindow;
    DatasetIndex images;
    bool stale = true;
    int shownCurrent = -1;
    DatasetFilter chosen;
};
