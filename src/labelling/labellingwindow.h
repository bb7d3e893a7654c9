#pragma once

#include <QString>

class AnnotationStore;
class ImageSession;
class LabelKeys;
class QAbstractItemModel;
class QItemSelectionModel;
class QLabel;
class QWidget;
class WindowActivity;

// What the windows beside the labelling window (the dataset window, the
// inspection view) see of it. They read its state, follow its notifier and
// act only through its keys, which click its own buttons, and moveTo(); they
// never include the window's own header, so the dependency runs one way: the
// labelling window composes them, they know it through this port.
class LabellingWindow
{
public:
    virtual ~LabellingWindow() = default;

    // The window itself: the parent of the windows beside it, and what they
    // close with.
    virtual QWidget *windowWidget() = 0;
    // Tells, once per operation and after it, what the operation changed.
    virtual WindowActivity *activity() const = 0;
    // Its keys; a window beside it watches itself with them.
    virtual LabelKeys *keys() const = 0;
    // The picture area and the count line, which open the windows beside it
    // on a double-click, and the name line.
    virtual QLabel *imageArea() const = 0;
    virtual QLabel *nameLine() const = 0;
    virtual QLabel *countLine() const = 0;
    // The current image's labels, one row each, and which of them is
    // selected (the one Delete removes): a view may show and select them
    // through these, never through a copy.
    virtual QAbstractItemModel *labelModel() const = 0;
    virtual QItemSelectionModel *labelSelection() const = 0;
    // The current image's native path; empty while there is none.
    virtual QString currentImagePath() const = 0;
    // Whether the current image's labels differ from its saved row.
    virtual bool hasUnsavedAnnotations() const = 0;
    // Goes to the listed image at `index` the way a view button moves: no
    // save, the change flag kept. Does nothing outside the list.
    virtual void moveTo(int index) = 0;
    // Gives the current image `label` by clicking its button (nothing while
    // the button is disabled), or removes it as a double-click on its row
    // in the list does: the same rules and log lines as by hand.
    virtual void giveLabel(const QString &label) = 0;
    virtual void removeLabel(const QString &label) = 0;
    // Where the annotations live; null when no annotation file was named.
    virtual AnnotationStore *store() const = 0;
    // The open folder and the current position.
    virtual const ImageSession &session() const = 0;
};
