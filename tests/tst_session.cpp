// The labelling session on a real annotation file and folder, with no
// window: what its operations report, what its notifier tells, and the
// steps its undo stack takes back and does again.
#include "annotationformat.h"
#include "csvannotationfile.h"
#include "labellingsession.h"
#include "windowactivity.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class SessionTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void operationsReportWhatTheyCouldNotDo();
    void eachOperationTellsWhatItChangedOnceAfterIt();
    void stepsPutLabelsAndRowsBackAndRefuseAChangedRow();
    void aDisplayThatDropsUnsavedLabelsIsAStep();

private:
    QByteArray file() const;
    QString label(int row) const { return AnnotationFormat::catalogue().at(row); }
    QList<SessionNotice::Kind> kinds(const SessionOutcome &outcome) const;

    std::unique_ptr<QTemporaryDir> dir;
    QString csvPath;
    QString folder;
    std::unique_ptr<LabellingSession> session;
};

void SessionTest::init()
{
    session.reset();
    dir = std::make_unique<QTemporaryDir>();
    csvPath = dir->filePath(QStringLiteral("labels.csv"));
    folder = dir->filePath(QStringLiteral("images"));
    QVERIFY(QDir().mkpath(folder));
    // The session lists names; it never decodes a picture itself.
    for (const char *name : {"a.png", "b.png", "c.png"})
        QVERIFY(QFile(folder + u'/' + QLatin1String(name)).open(QIODevice::WriteOnly));
    auto *store = new CsvAnnotationFile(csvPath, AnnotationFormat::catalogue());
    session = std::make_unique<LabellingSession>(store);
    store->setParent(session.get());
    QVERIFY(session->openFolder(folder).notices.isEmpty());
}

QByteArray SessionTest::file() const
{
    QFile in(csvPath);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

QList<SessionNotice::Kind> SessionTest::kinds(const SessionOutcome &outcome) const
{
    QList<SessionNotice::Kind> found;
    for (const SessionNotice &notice : outcome.notices)
        found.append(notice.kind);
    return found;
}

void SessionTest::operationsReportWhatTheyCouldNotDo()
{
    QVERIFY(!session->previous().done);
    QCOMPARE(kinds(session->previous()), {SessionNotice::FirstImage});
    QCOMPARE(kinds(session->save()), {SessionNotice::NothingToChange});
    QCOMPARE(kinds(session->jumpToLastMarked()), {SessionNotice::FileUnreadable});
    // An empty folder changes nothing.
    const QString empty = dir->filePath(QStringLiteral("empty"));
    QVERIFY(QDir().mkpath(empty));
    QCOMPARE(kinds(session->openFolder(empty)), {SessionNotice::NoImages});
    QCOMPARE(session->images().folder(), folder);

    session->give(label(2));
    session->give(label(2));
    QCOMPARE(session->labels(), QStringList{label(2)});
    QVERIFY(session->save().done);
    QVERIFY(!session->hasUnsaved());
    QVERIFY(file().endsWith("\na.png,0,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"));
    // Past the marked image to the next unmarked one, then none is left.
    QVERIFY(session->nextUnmarked().done);
    QCOMPARE(session->images().currentName(), u"b.png"_qs);
    QVERIFY(session->next().done);
    QCOMPARE(kinds(session->nextUnmarked()), {SessionNotice::NoUnmarkedAfter});
    QVERIFY(session->jumpToLastMarked().done);
    QCOMPARE(session->images().position(), 0);
    QCOMPARE(session->labels(), QStringList{label(2)});
    QCOMPARE(session->countText(), u"已标记: 1 | 未标记: 2"_qs);
}

void SessionTest::eachOperationTellsWhatItChangedOnceAfterIt()
{
    const WindowActivity *notes = session->activity();
    QStringList heard;
    connect(notes, &WindowActivity::rowSaved, this,
            [&](qsizetype at) { heard << u"saved %1 at %2"_qs.arg(at).arg(session->images().position()); });
    connect(notes, &WindowActivity::currentImageChanged, this,
            [&](const QString &path, bool) { heard << u"image "_qs + path.section(u'/', -1); });
    connect(notes, &WindowActivity::currentLabelsChanged, this, [&] { heard << u"labels"_qs; });
    connect(notes, &WindowActivity::unsavedChanged, this,
            [&](bool unsaved) { heard << u"unsaved %1"_qs.arg(unsaved); });

    session->give(label(0));
    session->give(label(0));
    QCOMPARE(heard, (QStringList{u"labels"_qs, u"unsaved 1"_qs}));
    heard.clear();
    session->removeAt(0);
    QCOMPARE(heard, QStringList{u"labels"_qs});
    heard.clear();
    session->give(label(1));
    QVERIFY(session->save().done);
    QVERIFY(session->next().done);
    QCOMPARE(heard, (QStringList{u"labels"_qs, u"saved 0 at 0"_qs, u"unsaved 0"_qs,
                                 u"image b.png"_qs, u"labels"_qs}));
}

void SessionTest::stepsPutLabelsAndRowsBackAndRefuseAChangedRow()
{
    session->give(label(0));
    session->give(label(3));
    QVERIFY(session->save().done);
    const QByteArray saved = file();
    QCOMPARE(session->steps().count(), 3);

    // Back over the save: the file as before it, the labels flagged again.
    LabellingSession::StepOutcome back = session->undo();
    QVERIFY(back.outcome.done);
    QCOMPARE(back.taken->kind, UndoStep::Saved);
    QVERIFY(!file().contains("a.png"));
    QVERIFY(session->hasUnsaved());
    back = session->undo();
    QCOMPARE(back.taken->label, label(3));
    QCOMPARE(session->labels(), QStringList{label(0)});
    QVERIFY(session->redo().outcome.done);
    QVERIFY(session->redo().outcome.done);
    QCOMPARE(file(), saved);
    QVERIFY(!session->hasUnsaved());

    // Another program rewrites the row: taking the save back is refused,
    // and the step stays where it was, ready once the row is back.
    QFile out(csvPath);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(saved.left(saved.indexOf('\n') + 1) + "a.png,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n");
    out.close();
    back = session->undo();
    QVERIFY(!back.outcome.done && !back.taken);
    QCOMPARE(back.outcome.notices.size(), 1);
    QCOMPARE(back.outcome.notices.first().result, SaveResult::RowChanged);
    QCOMPARE(session->steps().index(), 3);
    QCOMPARE(session->labels(), (QStringList{label(0), label(3)}));
}

void SessionTest::aDisplayThatDropsUnsavedLabelsIsAStep()
{
    session->give(label(5));
    // A move keeps the flag but drops the labels for the next image's.
    QVERIFY(session->next().done);
    QVERIFY(session->labels().isEmpty());
    QVERIFY(session->hasUnsaved());
    const LabellingSession::StepOutcome back = session->undo();
    QCOMPARE(back.taken->kind, UndoStep::Dropped);
    QCOMPARE(session->images().currentName(), u"a.png"_qs);
    QCOMPARE(session->labels(), QStringList{label(5)});
    // Done again, the drop is the move.
    QVERIFY(session->redo().outcome.done);
    QCOMPARE(session->images().currentName(), u"b.png"_qs);
    QVERIFY(session->labels().isEmpty());
}

QTEST_GUILESS_MAIN(SessionTest)
#include "tst_session.moc"
