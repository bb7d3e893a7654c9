// The folder listing against QDir's own, which it stands in for: the same
// names in the same order, whatever the folder holds.
#include "imagesession.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class ImageSessionTest final : public QObject
{
    Q_OBJECT

private slots:
    void listingHasQDirsNamesAndOrder_data();
    void listingHasQDirsNamesAndOrder();
    void movesStayInTheListAndJoinPaths();
};

void ImageSessionTest::listingHasQDirsNamesAndOrder_data()
{
    QTest::addColumn<int>("seed");
    for (int seed = 1; seed <= 4; ++seed)
        QTest::addRow("folder %d", seed) << seed;
}

void ImageSessionTest::listingHasQDirsNamesAndOrder()
{
    QFETCH(int, seed);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.path();
    const auto touch = [&](const QString &name) {
        QFile file(folder + u'/' + name);
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(name));
    };

    // Names that differ only in letter case (ASCII, Greek, full-width, a
    // lower case longer than its capital), a shared prefix, suffixes in any
    // case and some that are not images.
    QRandomGenerator random(seed);
    const QStringList stems{u"IMG_"_qs, u"img_"_qs, u"ω"_qs, u"Ω"_qs, u"ǅ"_qs, u"ß"_qs,
                            u"İ"_qs, u"ſ"_qs, u"é"_qs, u"É"_qs, u"Ａ"_qs, u"ａ"_qs, u"_"_qs};
    const QStringList suffixes{u"png"_qs, u"PNG"_qs, u"Jpg"_qs, u"bmp"_qs, u"gif"_qs, u"jpeg"_qs};
    for (int i = 0; i < 400; ++i) {
        touch(stems.at(random.bounded(stems.size())) + QString::number(random.bounded(30)) + u'.'
              + suffixes.at(random.bounded(suffixes.size())));
    }
    touch(u".hidden.png"_qs);
    touch(u"x.png.txt"_qs);
    QVERIFY(QDir(folder).mkdir(u"folder.png"_qs));
    QVERIFY(QFile::link(folder + u"/IMG_1.png"_qs, folder + u"/link.png"_qs));
    QVERIFY(QFile::link(folder + u"/nowhere"_qs, folder + u"/broken.png"_qs));
    QVERIFY(QFile::link(folder + u"/folder.png"_qs, folder + u"/to a folder.png"_qs));
    QCOMPARE(::mkfifo(QFile::encodeName(folder + u"/pipe.png"_qs).constData(), 0644), 0);
    // A name that is not UTF-8.
    const QByteArray raw = QFile::encodeName(folder) + "/caf\xe9.png";
    QCOMPARE(::mknod(raw.constData(), S_IFREG | 0644, 0), 0);

    const QStringList expected = QDir(folder).entryList(
        {u"*.png"_qs, u"*.jpg"_qs, u"*.bmp"_qs}, QDir::Files, QDir::NoSort);
    QVERIFY(expected.size() > 100);
    QCOMPARE(ImageSession::listImages(folder), expected);
}

void ImageSessionTest::movesStayInTheListAndJoinPaths()
{
    ImageSession session;
    QVERIFY(!session.hasCurrent());
    QVERIFY(!session.next());
    QCOMPARE(session.position(), -1);
    QCOMPARE(session.currentPath(), QString());

    session.open(u"/pictures/day 1"_qs, {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    QCOMPARE(session.position(), 0);
    QCOMPARE(session.neighbourPaths(), QStringList{u"/pictures/day 1/b.png"_qs});
    QVERIFY(!session.previous());
    QVERIFY(session.next());
    QCOMPARE(session.currentPath(), u"/pictures/day 1/b.png"_qs);
    QCOMPARE(session.neighbourPaths(),
             (QStringList{u"/pictures/day 1/c.png"_qs, u"/pictures/day 1/a.png"_qs}));
    QVERIFY(session.moveTo(2));
    QVERIFY(!session.next());
    QVERIFY(!session.moveTo(3));
    QVERIFY(!session.moveTo(-1));
    QCOMPARE(session.currentName(), u"c.png"_qs);
    QCOMPARE(session.indexOf(u"C.png"_qs), -1);
}

QTEST_GUILESS_MAIN(ImageSessionTest)
#include "tst_imagesession.moc"
