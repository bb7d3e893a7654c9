#include "listedimages.h"

#include <QTest>

// The listed images' bookkeeping that both stores share: facts by position,
// counts, and the search for the next unmarked image.
class ListedImagesTest final : public QObject
{
    Q_OBJECT

private slots:
    void bothWaysOfCountingAgreeAlsoOnTwoThreads();
    void aChangeReachesEveryPositionOfARepeatedName();
};

using RowFacts = ListedImages::RowFacts;

static RowFacts factsOfName(const QString &name)
{
    const int number = name.mid(1).toInt();
    RowFacts facts;
    facts.hasRow = number % 3 != 0;
    facts.flags = facts.hasRow ? quint32(number % 5) : 0;
    facts.marked = facts.flags != 0;
    return facts;
}

void ListedImagesTest::bothWaysOfCountingAgreeAlsoOnTwoThreads()
{
    // Enough names for the second half to go to another thread.
    QStringList names;
    for (int i = 0; i < 120000; ++i)
        names.append(QStringLiteral("n%1").arg(i));
    ListedImages inTurn(3);
    inTurn.setNames(names);
    inTurn.recount([&](qsizetype i) { return factsOfName(names.at(i)); });
    ListedImages together(3);
    together.setNamesAndRecount(names, factsOfName);

    qsizetype marked = 0;
    QList<qsizetype> labels(3, 0);
    for (const QString &name : std::as_const(names)) {
        const RowFacts facts = factsOfName(name);
        marked += facts.marked;
        for (int k = 0; k < 3; ++k)
            labels[k] += (facts.flags >> k) & 1u;
    }
    for (const ListedImages *listed : {&inTurn, &together}) {
        QCOMPARE(listed->markCounts().marked, int(marked));
        QCOMPARE(listed->markCounts().unmarked, int(names.size() - marked));
        QCOMPARE(listed->labelCounts(), labels);
        QCOMPARE(listed->position(QStringLiteral("n119999")), 119999);
        QCOMPARE(listed->position(QStringLiteral("n120000")), -1);
        QCOMPARE(listed->facts(70001).flags, factsOfName(QStringLiteral("n70001")).flags);
        QCOMPARE(listed->nextUnmarked(0), 3);
        QCOMPARE(listed->nextUnmarked(119999), -1);
        QCOMPARE(listed->nextUnmarked(-5), 0);
    }
}

void ListedImagesTest::aChangeReachesEveryPositionOfARepeatedName()
{
    const QStringList names{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("a")};
    ListedImages listed(2);
    listed.setNames(names);
    RowFacts marked;
    marked.hasRow = marked.marked = true;
    marked.flags = 2;
    listed.recount([&](qsizetype i) { return i == 1 ? marked : RowFacts(); });
    QCOMPARE(listed.position(QStringLiteral("a")), 0);
    QCOMPARE(listed.nextUnmarked(0), 2);

    listed.change(QStringLiteral("a"), marked);
    QCOMPARE(listed.markCounts().marked, 3);
    QCOMPARE(listed.labelCounts(), (QList<qsizetype>{0, 3}));
    QCOMPARE(listed.facts(2).flags, 2u);
    QCOMPARE(listed.nextUnmarked(-1), -1);

    listed.change(QStringLiteral("b"), RowFacts());
    listed.change(QStringLiteral("unlisted"), marked);
    QCOMPARE(listed.markCounts().marked, 2);
    QCOMPARE(listed.markCounts().unmarked, 1);
    QCOMPARE(listed.labelCounts(), (QList<qsizetype>{0, 2}));
    QCOMPARE(listed.nextUnmarked(-1), 1);
    QCOMPARE(listed.facts(3).hasRow, false);
}

QTEST_GUILESS_MAIN(ListedImagesTest)
#include "tst_listedimages.moc"
