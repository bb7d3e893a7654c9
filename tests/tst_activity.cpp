#include "testwindow.h"
#include "windowactivity.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace TestWindow;

// The main window's notifier, as the windows beside it hear it: each change
// told once per operation, and only once the operation is over.
class ActivityTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void saveAndNextTellsTheSavedRowThenTheNewImageOnceEach();
    void labelKeyStepAndNextUnmarkedTellOnlyWhatTheyChange();
    void refusedSaveTellsNothingAndAnotherProgramsEditIsTold();

private:
    // One spy per signal, made fresh for the next operation.
    struct Spies
    {
        explicit Spies(const WindowActivity *activity)
            : reloaded(activity, &WindowActivity::annotationsReloaded)
            , saved(activity, &WindowActivity::rowSaved)
            , image(activity, &WindowActivity::currentImageChanged)
            , labels(activity, &WindowActivity::currentLabelsChanged)
            , unsaved(activity, &WindowActivity::unsavedChanged)
        {
        }
        QSignalSpy reloaded;
        QSignalSpy saved;
        QSignalSpy image;
        QSignalSpy labels;
        QSignalSpy unsaved;
    };

    std::unique_ptr<Spies> spy() { return std::make_unique<Spies>(window->activity()); }
    void press(const char *letters, Qt::Key key = Qt::Key_unknown,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    QString folder;
};

void ActivityTest::init()
{
    openWindow();
    folder = makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs, u"c.png"_qs});
    loadFolder(*answerer, window.get(), folder);
    QCOMPARE(currentIndex(window.get()), 0);
}

void ActivityTest::cleanup()
{
    closeWindow();
}

void ActivityTest::press(const char *letters, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    for (; *letters; ++letters)
        QTest::keyClick(window.get(), *letters);
    if (key != Qt::Key_unknown)
        QTest::keyClick(window.get(), key, modifiers);
}

void ActivityTest::saveAndNextTellsTheSavedRowThenTheNewImageOnceEach()
{
    press("RO");
    QStringList heard;
    const WindowActivity *activity = window->activity();
    // Each signal records what the window shows when it arrives: the whole
    // operation is over by then, the file written and the next image shown.
    connect(activity, &WindowActivity::rowSaved, this, [&](qsizetype position) {
        heard << u"saved %1 at %2 with file %3"_qs.arg(position).arg(currentIndex(window.get()))
                     .arg(readFile(csvPath) == headerLine() + row(u"a.png"_qs, {11}));
    });
    connect(activity, &WindowActivity::currentImageChanged, this,
            [&](const QString &path, bool shown) {
                heard << u"image %1 %2 %3"_qs.arg(QDir::fromNativeSeparators(path).section(u'/', -1))
                             .arg(shown)
                             .arg(window->nameLine()->text());
            });
    connect(activity, &WindowActivity::currentLabelsChanged, this,
            [&] { heard << u"labels %1"_qs.arg(listTexts(window.get()).size()); });
    connect(activity, &WindowActivity::unsavedChanged, this,
            [&](bool unsaved) { heard << u"unsaved %1"_qs.arg(unsaved); });
    const auto spies = spy();

    press("", Qt::Key_Return);
    QCOMPARE(currentIndex(window.get()), 1);
    QCOMPARE(heard, (QStringList{u"saved 0 at 1 with file 1"_qs,
                                 u"image b.png 1 图片名称:b.png(2/3)"_qs, u"labels 0"_qs,
                                 u"unsaved 0"_qs}));
    QCOMPARE(spies->saved.size(), 1);
    QCOMPARE(spies->image.size(), 1);
    QCOMPARE(spies->labels.size(), 1);
    QCOMPARE(spies->unsaved.size(), 1);
    // The store's own write is never a reload of something new to it; a file
    // system with coarse times may make it read the file once more.
    QVERIFY(spies->reloaded.size() <= 1);
    QVERIFY(answerer->boxes.isEmpty());
}

void ActivityTest::labelKeyStepAndNextUnmarkedTellOnlyWhatTheyChange()
{
    auto spies = spy();
    press("RO");
    QCOMPARE(spies->labels.size(), 1);
    QCOMPARE(spies->unsaved.size(), 1);
    QCOMPARE(spies->unsaved.first().first().toBool(), true);
    QCOMPARE(spies->image.size() + spies->saved.size() + spies->reloaded.size(), 0);

    // A second label: the labels changed, the unsaved state did not.
    spies = spy();
    press("DE");
    QCOMPARE(spies->labels.size(), 1);
    QCOMPARE(spies->unsaved.size(), 0);

    // The same label again, from its button, changes nothing, and tells
    // nothing (its code would take it off).
    spies = spy();
    button(window.get(), entry(3))->click();
    QCOMPARE(spies->labels.size() + spies->unsaved.size() + spies->image.size(), 0);

    // A view step keeps the change flag and tells the new image and labels.
    spies = spy();
    press("", Qt::Key_Right);
    QCOMPARE(currentIndex(window.get()), 1);
    QCOMPARE(spies->image.size(), 1);
    QCOMPARE(spies->image.first().at(0).toString(),
             QDir::toNativeSeparators(folder + u"/b.png"_qs));
    QCOMPARE(spies->labels.size(), 1);
    QCOMPARE(spies->unsaved.size() + spies->saved.size() + spies->reloaded.size(), 0);

    // Ctrl+U past a marked image: one new image, nothing saved.
    writeFile(csvPath, headerLine() + row(u"c.png"_qs, {3}));
    press("", Qt::Key_Left);
    QCOMPARE(currentIndex(window.get()), 0);
    spies = spy();
    press("", Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(currentIndex(window.get()), 1);
    QCOMPARE(spies->image.size(), 1);
    QCOMPARE(spies->labels.size(), 1);
    QCOMPARE(spies->unsaved.size() + spies->saved.size() + spies->reloaded.size(), 0);

    // At the last unmarked image Ctrl+U only tells the person, by a note
    // beside the label buttons, not a box.
    spies = spy();
    press("", Qt::Key_U, Qt::ControlModifier);
    QVERIFY(answerer->boxes.isEmpty());
    QCOMPARE(spies->image.size() + spies->labels.size() + spies->unsaved.size(), 0);
}

void ActivityTest::refusedSaveTellsNothingAndAnotherProgramsEditIsTold()
{
    writeFile(csvPath, "名称,别的\n");
    press("", Qt::Key_Right);
    press("", Qt::Key_Left);
    press("RO");
    auto spies = spy();
    press("", Qt::Key_Return);
    QCOMPARE(answerer->boxTexts(), QStringList{u"标签文件的表头与标签目录不一致，未保存"_qs});
    QCOMPARE(currentIndex(window.get()), 0);
    QCOMPARE(spies->saved.size() + spies->image.size() + spies->labels.size()
                 + spies->unsaved.size(),
             0);

    // Another program mends the file: the next step reads it anew, and the
    // reload is told before the image it shows.
    QStringList heard;
    connect(window->activity(), &WindowActivity::annotationsReloaded, this,
            [&] { heard << u"reloaded"_qs; });
    connect(window->activity(), &WindowActivity::currentImageChanged, this,
            [&] { heard << u"image"_qs; });
    writeFile(csvPath, headerLine() + row(u"b.png"_qs, {2}));
    spies = spy();
    press("", Qt::Key_Right);
    QCOMPARE(heard, (QStringList{u"reloaded"_qs, u"image"_qs}));
    QCOMPARE(spies->reloaded.size(), 1);
    QCOMPARE(listTexts(window.get()), QStringList{entry(2)});
    // The labels typed before were dropped by the move, the flag kept.
    QCOMPARE(spies->unsaved.size(), 0);
}

QTEST_MAIN(ActivityTest)
#include "tst_activity.moc"
