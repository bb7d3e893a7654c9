#include "labellingsession.h"
#include "labelpanel.h"
#include "suggestions.h"
#include "testwindow.h"

#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QToolTip>

#include <cmath>

using namespace TestWindow;

namespace {

// The model `recipe` describes, made by the tests' script at `base`.
QString madeModel(const QString &base, const QJsonObject &recipe)
{
    QProcess python;
    python.start(u"/usr/bin/python3"_qs,
                 {QStringLiteral(MAKE_MODEL), base,
                  QString::fromUtf8(QJsonDocument(recipe).toJson(QJsonDocument::Compact))});
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        qWarning() << python.readAllStandardError();
    return base + u".onnx"_qs;
}

// RO for a red picture, FS for a blue one; a green one gets neither, and a
// dark red one sits on RO's threshold, the least sure of them.
QString makeModel(const QString &base)
{
    const QJsonObject recipe{{"labels", QJsonArray{"RO", "FS"}},
                             {"weights", QJsonArray{QJsonArray{8, 0, -8}, QJsonArray{-8, 0, 8}}},
                             {"bias", QJsonArray{-4, -4}},
                             {"activation", "sigmoid"}};
    return madeModel(base, recipe);
}

// Its output says nothing (every probability 0.5); its features are the
// picture's mean colour, which is all a dataset's labels can teach it.
QString makeBlindModel(const QString &base)
{
    const QJsonObject recipe{{"labels", QJsonArray{"RO", "FS"}},
                             {"weights", QJsonArray{QJsonArray{0, 0, 0}, QJsonArray{0, 0, 0}}},
                             {"features", true},
                             {"name", "blind"}};
    return madeModel(base, recipe);
}

void paint(const QString &path, const QColor &colour)
{
    QImage picture(16, 16, QImage::Format_RGB32);
    picture.fill(colour);
    QVERIFY(picture.save(path));
}

QString labelOf(const char *code)
{
    for (const QString &label : catalogue()) {
        if (label.endsWith(QLatin1String(code)))
            return label;
    }
    return QString();
}

QString note()
{
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

} // namespace

class SuggestionWindowTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init()
    {
        openWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }
    void cleanup() { closeWindow(); }

    void sGivesTheSuggestedLabelsAsOneStepOrSaysWhyNot();
    void ctrlIGoesToTheLeastSureUnmarkedImageAndCtrlShiftReturnSavesFirst();
    void theViewShowsEachLabelsProbability();
    void theDatasetWindowShowsFiltersAndSortsByTheModel();
    void theChoiceIsRememberedPerStoreAndRefusedOnTheCommandLine();
    void retrainingLearnsTheDatasetsLabelsForTheUnmarkedImages();
    void theTableJudgesTheSuggestionsAndAdoptsTheirThresholds();
    void aPictureSavedAgainstTheRuleHeadsTheLikelyMistakes();
    void theTwoHundredthSaveStartsATraining();

private:
    Tavrelin *w() const { return window.get(); }
    Suggestions *suggestions() const { return w()->labelling()->suggestions(); }
    void press(const char *letters, Qt::Key key = Qt::Key_unknown,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // red, blue, darkred, green, in that order, and the model chosen.
    void openPredicted(bool withModel = true);
    // 24 reddish pictures saved RO and 24 bluish ones saved FS, then an
    // unmarked red and an unmarked blue one; the blind model chosen and
    // every picture predicted. `withMistake`: also a red one saved FS.
    void openLearnable(bool withMistake = false);
    QString model;
};

void SuggestionWindowTest::press(const char *letters, Qt::Key key,
                                 Qt::KeyboardModifiers modifiers)
{
    w()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w()));
    for (; *letters; ++letters)
        QTest::keyClick(w(), *letters);
    if (key != Qt::Key_unknown)
        QTest::keyClick(w(), key, modifiers);
}

void SuggestionWindowTest::openPredicted(bool withModel)
{
    const QString folder = dir->filePath(u"imgs"_qs);
    QDir().mkpath(folder);
    paint(folder + u"/a_red.png"_qs, QColor(255, 0, 0));
    paint(folder + u"/b_blue.png"_qs, QColor(0, 0, 255));
    paint(folder + u"/c_darkred.png"_qs, QColor(128, 0, 0));
    paint(folder + u"/d_green.png"_qs, QColor(0, 255, 0));
    model = makeModel(dir->filePath(u"tiny"_qs));
    w()->openFolder(folder);
    QCOMPARE(imageFiles(w()).size(), 4);
    if (!withModel)
        return;
    QString error;
    QVERIFY2(w()->chooseModel(model, &error), qPrintable(error));
    QTRY_COMPARE(suggestions()->predictedCount(), 4);
}

void SuggestionWindowTest::sGivesTheSuggestedLabelsAsOneStepOrSaysWhyNot()
{
    openPredicted(false);
    press("S");
    QTRY_COMPARE(note(), u"暂无模型建议"_qs);
    QVERIFY(currentAnnotations(w()).isEmpty());

    QString error;
    QVERIFY(w()->chooseModel(model, &error));
    QTRY_COMPARE(suggestions()->predictedCount(), 4);
    // Red: RO joins the label given by hand; nothing is taken off.
    press("DE");
    press("S");
    QCOMPARE(currentAnnotations(w()), (QStringList{labelOf("DE"), labelOf("RO")}));
    QCOMPARE(listTexts(w()), currentAnnotations(w()));
    QVERIFY(annotationsModified(w()));
    const int steps = w()->labelling()->steps().count();
    press("S");
    QCOMPARE(w()->labelling()->steps().count(), steps);
    press("", Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(currentAnnotations(w()), QStringList{labelOf("DE")});
    QTRY_COMPARE(note(), u"已撤销：采纳建议"_qs);
    // After the first letter of a code, S completes it.
    press("OS");
    QCOMPARE(currentAnnotations(w()), (QStringList{labelOf("DE"), labelOf("OS")}));

    call(w(), "nextImage");
    call(w(), "nextImage");
    call(w(), "nextImage");
    QCOMPARE(currentIndex(w()), 3);
    press("S");
    QTRY_COMPARE(note(), u"模型无建议标签"_qs);
    QVERIFY(currentAnnotations(w()).isEmpty());
}

void SuggestionWindowTest::ctrlIGoesToTheLeastSureUnmarkedImageAndCtrlShiftReturnSavesFirst()
{
    // Without a prediction, as Ctrl+U: the next unmarked image.
    openPredicted(false);
    press("", Qt::Key_I, Qt::ControlModifier);
    QCOMPARE(currentIndex(w()), 1);
    call(w(), "previousImage");

    QString error;
    QVERIFY(w()->chooseModel(model, &error));
    QTRY_COMPARE(suggestions()->predictedCount(), 4);
    press("BE", Qt::Key_I, Qt::ControlModifier);
    QCOMPARE(currentIndex(w()), 2);
    QVERIFY(currentAnnotations(w()).isEmpty());
    press("", Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(currentIndex(w()), 0);
    QCOMPARE(currentAnnotations(w()), QStringList{labelOf("BE")});

    // Saved as Return saves, then on; the dark red image, now current,
    // is never the answer for itself.
    press("", Qt::Key_Return, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(currentIndex(w()), 2);
    const int be = int(catalogue().indexOf(labelOf("BE"))) + 1;
    QVERIFY(readFile(csvPath).contains(row(u"a_red.png"_qs, {be})));
    QVERIFY(answerer->boxes.isEmpty());
    press("", Qt::Key_I, Qt::ControlModifier);
    QVERIFY(currentIndex(w()) == 1 || currentIndex(w()) == 3);
}

void SuggestionWindowTest::theViewShowsEachLabelsProbability()
{
    openPredicted();
    press("", Qt::Key_Z);
    auto *panel = w()->findChild<LabelPanel *>(u"labelPanel"_qs);
    QVERIFY(panel);
    const QStringList labels = catalogue();
    const int ro = int(labels.indexOf(labelOf("RO")));
    const int fs = int(labels.indexOf(labelOf("FS")));
    QTRY_COMPARE(panel->topLevelItem(ro)->text(LabelPanel::Chance), u"98%"_qs);
    QCOMPARE(panel->topLevelItem(fs)->text(LabelPanel::Chance), u"0%"_qs);
    QVERIFY(panel->isSuggested(ro) && !panel->isSuggested(fs));
    for (int row = 0; row < labels.size(); ++row) {
        if (row != ro && row != fs)
            QVERIFY(panel->topLevelItem(row)->text(LabelPanel::Chance).isEmpty());
    }
    call(w(), "nextImage");
    QTRY_COMPARE(panel->topLevelItem(fs)->text(LabelPanel::Chance), u"98%"_qs);
    QVERIFY(panel->isSuggested(fs) && !panel->isSuggested(ro));
    suggestions()->unloadModel();
    QTRY_VERIFY(panel->topLevelItem(fs)->text(LabelPanel::Chance).isEmpty());
}

void SuggestionWindowTest::theDatasetWindowShowsFiltersAndSortsByTheModel()
{
    openPredicted();
    // Red saved without its suggestion, blue with it: only red disagrees.
    press("DE", Qt::Key_Return);
    press("FS", Qt::Key_Return);
    press("", Qt::Key_D, Qt::ControlModifier);
    auto *dataset = w()->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset && QTest::qWaitForWindowExposed(dataset));
    auto *table = dataset->findChild<QTableView *>(u"imageTable"_qs);
    const QAbstractItemModel *rows = table->model();
    QCOMPARE(rows->columnCount(), 6);
    QCOMPARE(rows->headerData(4, Qt::Horizontal).toString(), u"建议"_qs);
    QCOMPARE(rows->headerData(5, Qt::Horizontal).toString(), u"把握"_qs);
    QCOMPARE(rows->index(0, 4).data().toString(), u"RO"_qs);
    QCOMPARE(rows->index(0, 5).data().toString(), u"0.48"_qs);
    QCOMPARE(rows->index(2, 5).data().toString(), u"0.00"_qs);
    QCOMPARE(rows->index(3, 4).data().toString(), QString());
    QCOMPARE(dataset->findChild<QLabel *>(u"modelLine"_qs)->text(), u"模型 tiny：已预测 4 / 4 张"_qs);

    auto *filter = dataset->findChild<QComboBox *>(u"labelFilter"_qs);
    filter->setCurrentIndex(filter->findText(u"模型建议：%1"_qs.arg(labelOf("FS"))));
    QCOMPARE(rows->rowCount(), 1);
    QCOMPARE(rows->index(0, 1).data().toString(), u"b_blue.png"_qs);
    filter->setCurrentIndex(filter->findText(u"与模型不一致"_qs));
    QCOMPARE(rows->rowCount(), 1);
    QCOMPARE(rows->index(0, 1).data().toString(), u"a_red.png"_qs);

    // Sorted, the review keys follow the table: from the dark red image,
    // on to the blue one, not to the green one after it in the list.
    filter->setCurrentIndex(0);
    table->sortByColumn(5, Qt::AscendingOrder);
    QCOMPARE(rows->index(0, 1).data().toString(), u"c_darkred.png"_qs);
    table->sortByColumn(1, Qt::DescendingOrder);
    QCOMPARE(currentIndex(w()), 2);
    press("", Qt::Key_Right, Qt::AltModifier);
    QCOMPARE(currentIndex(w()), 1);
    QCOMPARE(table->selectionModel()->currentIndex().row(), 2);

    // A refused model changes nothing, and says why in a box.
    QFile::copy(model, dir->filePath(u"lone.onnx"_qs));
    answerer->answerFileDialog(dir->filePath(u"lone.onnx"_qs));
    dataset->findChild<QPushButton *>(u"loadModel"_qs)->click();
    QTRY_COMPARE(answerer->boxes.size(), 1);
    QCOMPARE(answerer->boxes.first().title, u"Error"_qs);
    QVERIFY(answerer->boxes.first().text.startsWith(u"缺少模型说明文件："_qs));
    QCOMPARE(suggestions()->modelPath(), model);

    dataset->findChild<QPushButton *>(u"unloadModel"_qs)->click();
    QCOMPARE(rows->columnCount(), 4);
    QVERIFY(!dataset->findChild<QLabel *>(u"modelLine"_qs)->isVisible());
    QCOMPARE(filter->findText(u"与模型不一致"_qs), -1);
}

void SuggestionWindowTest::theChoiceIsRememberedPerStoreAndRefusedOnTheCommandLine()
{
    openPredicted();
    window.reset();
    window = create(*answerer, csvPath);
    QCOMPARE(suggestions()->modelPath(), model);
    // Another store has a choice of its own.
    auto other = create(*answerer, dir->filePath(u"other.csv"_qs));
    QVERIFY(!other->labelling()->suggestions()->hasModel());
    other.reset();
    // Gone from disk, the model is no longer taken.
    window.reset();
    QFile::remove(model);
    window = create(*answerer, csvPath);
    QVERIFY(!suggestions()->hasModel());

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_CONFIG_HOME"_qs, dir->filePath(u"config"_qs));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(NORVANTA_PROGRAM),
                  {u"--model"_qs, dir->filePath(u"none.onnx"_qs), csvPath});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitCode(), 2);
    const QStringList lines = QString::fromUtf8(program.readAllStandardError())
                                  .split(u'\n', Qt::SkipEmptyParts)
                                  .filter(QRegularExpression(u"^norvanta"_qs));
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first(), u"norvanta: 缺少模型说明文件：%1"_qs.arg(dir->filePath(u"none.json"_qs)));
    program.start(QStringLiteral(NORVANTA_PROGRAM), {u"--model"_qs, model});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitCode(), 2);
}

void SuggestionWindowTest::openLearnable(bool withMistake)
{
    const QString folder = dir->filePath(u"learn"_qs);
    QDir().mkpath(folder);
    const int ro = int(catalogue().indexOf(labelOf("RO"))) + 1;
    const int fs = int(catalogue().indexOf(labelOf("FS"))) + 1;
    QByteArray rows = headerLine();
    for (int i = 0; i < 24; ++i) {
        const QString red = u"m%1_red.png"_qs.arg(i, 2, 10, QChar(u'0'));
        const QString blue = u"m%1_blue.png"_qs.arg(i, 2, 10, QChar(u'0'));
        paint(folder + u'/' + red, QColor(180 + 3 * i, 10 + i, 20));
        paint(folder + u'/' + blue, QColor(20, 10 + i, 180 + 3 * i));
        rows += row(red, {ro}) + row(blue, {fs});
    }
    if (withMistake) {
        paint(folder + u"/m_wrong_red.png"_qs, QColor(210, 20, 20));
        rows += row(u"m_wrong_red.png"_qs, {fs});
    }
    paint(folder + u"/u_red.png"_qs, QColor(200, 30, 30));
    paint(folder + u"/u_blue.png"_qs, QColor(30, 30, 200));
    writeFile(csvPath, rows);
    w()->openFolder(folder);
    const qsizetype count = withMistake ? 51 : 50;
    QCOMPARE(imageFiles(w()).size(), count);
    QString error;
    QVERIFY2(w()->chooseModel(makeBlindModel(dir->filePath(u"blind"_qs)), &error),
             qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(suggestions()->predictedCount(), count, 20000);
}

void SuggestionWindowTest::retrainingLearnsTheDatasetsLabelsForTheUnmarkedImages()
{
    openLearnable();
    // The blind model suggests everything at its threshold of 0.5.
    QCOMPARE(suggestions()->suggested(u"u_red.png"_qs).size(), 2);
    press("", Qt::Key_D, Qt::ControlModifier);
    auto *dataset = w()->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset && QTest::qWaitForWindowExposed(dataset));
    auto *retrain = dataset->findChild<QPushButton *>(u"retrainModel"_qs);
    QVERIFY(retrain && retrain->isEnabled() && !retrain->toolTip().isEmpty());
    QSignalSpy changed(suggestions(), &Suggestions::modelChanged);
    retrain->click();
    QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 20000);

    QCOMPARE(suggestions()->suggested(u"u_red.png"_qs), QStringList{labelOf("RO")});
    QCOMPARE(suggestions()->suggested(u"u_blue.png"_qs), QStringList{labelOf("FS")});
    const std::optional<QList<float>> red = suggestions()->probabilities(u"u_red.png"_qs);
    const int ro = int(catalogue().indexOf(labelOf("RO")));
    const int fs = int(catalogue().indexOf(labelOf("FS")));
    QVERIFY(red && red->at(ro) > 0.5f && red->at(fs) < 0.5f);
    QCOMPARE(suggestions()->trainedLabels(u"u_red.png"_qs), (1u << ro) | (1u << fs));
    // Both unmarked pictures are now sure; Ctrl+I still finds one of them.
    QVERIFY(*suggestions()->certainty(u"u_red.png"_qs) > 0.1f);
    const qsizetype least = suggestions()->leastSure([](qsizetype p) { return p >= 48; });
    QVERIFY(least == 48 || least == 49);

    // The view says which bars were learnt here.
    w()->labelling()->moveTo(int(imageFiles(w()).indexOf(u"u_blue.png"_qs)));
    press("", Qt::Key_Z);
    auto *panel = w()->findChild<LabelPanel *>(u"labelPanel"_qs);
    QVERIFY(panel);
    QTRY_VERIFY(panel->isSuggested(fs) && !panel->isSuggested(ro));
    QVERIFY(panel->topLevelItem(ro)->toolTip(LabelPanel::Chance).contains(u"按本数据集标签训练"_qs));

    // Kept with the predictions: the next start answers with them at once.
    const QString folder = w()->labelling()->images().folder();
    window.reset();
    window = create(*answerer, csvPath);
    w()->openFolder(folder);
    QTRY_COMPARE(suggestions()->suggested(u"u_red.png"_qs), QStringList{labelOf("RO")});
    QCOMPARE(suggestions()->trainedLabels(u"u_blue.png"_qs), (1u << ro) | (1u << fs));
}

void SuggestionWindowTest::theTableJudgesTheSuggestionsAndAdoptsTheirThresholds()
{
    openLearnable();
    press("", Qt::Key_D, Qt::ControlModifier);
    auto *dataset = w()->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset && QTest::qWaitForWindowExposed(dataset));
    const QAbstractItemModel *table =
        dataset->findChild<QTableView *>(u"labelStatistics"_qs)->model();
    const int ro = int(catalogue().indexOf(labelOf("RO")));
    const int de = int(catalogue().indexOf(labelOf("DE")));
    const auto figures = [table](int label) {
        QStringList texts;
        for (int column = 4; column < 10; ++column)
            texts << table->index(label, column).data().toString();
        return texts;
    };
    // The blind model suggests RO everywhere: half of it is right, none is
    // missed; equal probabilities leave its own threshold the best.
    QTRY_COMPARE(figures(ro), (QStringList{"24", "0.50", "1.00", "0.67", "0.83", "0.500"}));
    QCOMPARE(figures(de), (QStringList{"", "", "", "", "", ""}));

    QSignalSpy changed(suggestions(), &Suggestions::modelChanged);
    dataset->findChild<QPushButton *>(u"retrainModel"_qs)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 20000);
    QTRY_COMPARE(figures(ro).mid(0, 5), (QStringList{"24", "1.00", "1.00", "1.00", "1.00"}));
    bool number = false;
    const float best = figures(ro).at(5).toFloat(&number);
    QVERIFY(number);

    auto *adopt = dataset->findChild<QPushButton *>(u"adoptThresholds"_qs);
    QVERIFY(adopt && adopt->isEnabled());
    adopt->click();
    QVERIFY(std::abs(suggestions()->thresholds().at(ro) - best) < 0.001f);
    // Remembered for this file with the model, not written into its
    // description.
    QVERIFY(!readFile(dir->filePath(u"blind.json"_qs)).contains("thresholds"));
    window.reset();
    window = create(*answerer, csvPath);
    QVERIFY(std::abs(suggestions()->thresholds().at(ro) - best) < 0.001f);
}

void SuggestionWindowTest::aPictureSavedAgainstTheRuleHeadsTheLikelyMistakes()
{
    openLearnable(true);
    press("", Qt::Key_D, Qt::ControlModifier);
    auto *dataset = w()->findChild<QWidget *>(u"datasetWindow"_qs);
    QVERIFY(dataset && QTest::qWaitForWindowExposed(dataset));
    QSignalSpy changed(suggestions(), &Suggestions::modelChanged);
    dataset->findChild<QPushButton *>(u"retrainModel"_qs)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 20000);

    auto *filter = dataset->findChild<QComboBox *>(u"labelFilter"_qs);
    filter->setCurrentIndex(filter->findText(u"可能标错"_qs));
    const QAbstractItemModel *rows = dataset->findChild<QTableView *>(u"imageTable"_qs)->model();
    QVERIFY(rows->rowCount() >= 1);
    QCOMPARE(rows->index(0, 1).data().toString(), u"m_wrong_red.png"_qs);
    const QString entries = rows->index(0, 3).data().toString();
    QVERIFY2(entries.contains(u"可能标错"_qs) && entries.contains(u"RO=0"_qs)
                 && entries.contains(u"FS=1"_qs),
             qPrintable(entries));

    // Alt+Right goes to the most doubtful first, wherever it is listed.
    QCOMPARE(currentIndex(w()), 0);
    press("", Qt::Key_Right, Qt::AltModifier);
    QCOMPARE(imageFiles(w()).at(currentIndex(w())), u"m_wrong_red.png"_qs);
    // Saved as the suggestion has it, it leaves the list.
    w()->labelling()->removeAt(0);
    w()->labelling()->give(labelOf("RO"));
    press("", Qt::Key_Return);
    QTRY_VERIFY(rows->rowCount() == 0
                || rows->index(0, 1).data().toString() != u"m_wrong_red.png"_qs);
    for (int row = 0; row < rows->rowCount(); ++row)
        QVERIFY(rows->index(row, 1).data().toString() != u"m_wrong_red.png"_qs);
}

void SuggestionWindowTest::theTwoHundredthSaveStartsATraining()
{
    openLearnable();
    QSignalSpy changed(suggestions(), &Suggestions::modelChanged);
    QVERIFY(w()->labelling()->moveTo(int(imageFiles(w()).indexOf(u"u_blue.png"_qs))).done);
    w()->labelling()->give(labelOf("FS"));
    for (int save = 1; save < 200; ++save) {
        QVERIFY(w()->labelling()->saveRow().done);
        QVERIFY2(!suggestions()->isTraining(), qPrintable(QString::number(save)));
    }
    QCoreApplication::processEvents();
    QVERIFY(changed.isEmpty());
    QCOMPARE(suggestions()->suggested(u"u_red.png"_qs).size(), 2);
    QVERIFY(w()->labelling()->saveRow().done);
    QVERIFY(suggestions()->isTraining());
    QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 20000);
    QVERIFY(!suggestions()->isTraining());
    QCOMPARE(suggestions()->suggested(u"u_red.png"_qs), QStringList{labelOf("RO")});
}

QTEST_MAIN(SuggestionWindowTest)
#include "tst_suggestionwindow.moc"
