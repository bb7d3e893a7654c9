#pragma once

#include "saveresult.h"

#include <QList>
#include <QString>
#include <QStringList>

// One thing an operation of the labelling session has to tell the person,
// in the order it happened. The session only says which it was; the window
// that presents the session turns each into its message box.
struct SessionNotice
{
    enum Kind {
        LabelsUnreadable, // the annotations could not be read for the shown image
        NoImages,         // the chosen folder lists no image
        Unlisted,         // `count` image files whose names cannot be listed
        NothingToChange,  // a save with no unsaved labels
        NoCurrentImage,   // a save with no image shown
        Conflict,         // another member saved the row; `detail` names them, `labels`
                          // and `savedAt` say what and when
        SaveRefused,      // a save or a put-back wrote nothing; `result` says why
        FirstImage,       // a step back at the first image
        LastImage,        // a step on at the last image
        FileUnreadable,   // the jump found the annotations unreadable
        NoMarkedImage,    // the jump found no marked row
        MarkedNotListed,  // the jump's image is not in the folder
        Unreachable,      // the team's server could not be asked; `detail` says why
        NoUnmarkedAfter,  // no unmarked image after the current one
        ImageGone,        // a step's image `detail` is no longer in its folder
        ChangedElsewhere, // another member's save, by `detail`, replaced the shown labels
    };

    SessionNotice(Kind kind, SaveResult result = SaveResult::Saved, const QString &detail = {},
                  int count = 0)
        : kind(kind)
        , result(result)
        , detail(detail)
        , count(count)
    {
    }

    Kind kind;
    SaveResult result;
    QString detail;
    int count;
    // Conflict: the labels of the row that stands, in catalogue order, and
    // when it was saved (milliseconds since the epoch).
    QStringList labels;
    qint64 savedAt = 0;
};

// What an operation did: whether it did what was asked (a save wrote, a
// move moved, a step was taken), and what it has to tell.
struct SessionOutcome
{
    bool done = true;
    QList<SessionNotice> notices;

    SessionOutcome &tell(SessionNotice::Kind kind)
    {
        notices.append(SessionNotice(kind));
        return *this;
    }
    SessionOutcome &tell(const SessionNotice &notice)
    {
        notices.append(notice);
        return *this;
    }
    // Tells `kind` and marks the operation as not done.
    SessionOutcome &fail(SessionNotice::Kind kind)
    {
        done = false;
        return tell(kind);
    }
    SessionOutcome &fail(const SessionNotice &notice)
    {
        done = false;
        return tell(notice);
    }
    // Takes what a nested operation has to tell, after what this one told.
    void follow(const SessionOutcome &inner) { notices.append(inner.notices); }
};
