#pragma once

class LabelKeys;
class LabellingSession;
class QAbstractItemModel;
class QItemSelectionModel;
class QLabel;
class QWidget;

// What the windows beside the labelling window (the dataset window, the
// inspection view, undo) see of it: the labelling session it presents, which
// holds the current image, its labels, the counts and every operation, and
// what is truly the window's own. They never include the window's header, so
// the dependency runs one way: the labelling window composes them, they know
// it through this port.
class LabellingWindow
{
public:
    virtual ~LabellingWindow() = default;

    // The window itself: the parent of the windows beside it, and what they
    // close with.
    virtual QWidget *windowWidget() = 0;
    // The picture area, beside which a window opens the first time.
    virtual QWidget *placementAnchor() const = 0;
    // Its keys; a window beside it watches itself with them.
    virtual LabelKeys *keys() const = 0;
    // The session: null when no annotation file was named.
    virtual LabellingSession *labelling() const = 0;
    // Its list of the current labels and which of them is selected (the one
    // its Delete key removes): a view may show and select them through
    // these, so that selecting there selects here.
    virtual QAbstractItemModel *labelModel() const = 0;
    virtual QItemSelectionModel *labelSelection() const = 0;
};
