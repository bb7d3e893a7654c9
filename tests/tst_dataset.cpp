#include "labellingsession.h"
#include "testwindow.h"

#include <QAbstractItemModel>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QToolTip>

using namespace TestWindow;

class DatasetTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init()
    {
        openWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(w()));
    }
    void cleanup() { closeWindow(); }

    void opensByKeyOrCountLineAsOneWindowOwnedByTheMainWindow();
    void summaryStatisticsAndTableFollowTheReadersRows();
    void filtersKeepByStateLabelAndNameTogether();
    void activatingARowMovesWithoutSavingAndTheSelectionFollows();
    void savesAndOtherProgramsEditsShowAfterTheNextAction();
    void reviewKeysFollowTheFilterAlsoWithTheWindowClosed();
    void copyGivesTheSelectedRowsAsTabSeparatedText();

private:
    Tavrelin *w() const { return window.get(); }
    QWidget *datasetWindow() const { return w()->findChild<QWidget *>(u"datasetWindow"_qs); }
    QTableView *table() const { return datasetWindow()->findChild<QTableView *>(u"imageTable"_qs); }
    QString line(const char *name) const
    {
        return datasetWindow()->findChild<QLabel *>(QString::fromLatin1(name))->text();
    }
    void keyInMain(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void openDataset();
    void open(const QStringList &images, const QByteArray &csv = QByteArray());
    void setFilter(int choice, const QString &nameText = QString());
    QStringList tableRows() const;
    QString selectedName() const;
};

// A closed dialog does not give the activation back under the offscreen
// platform, as a window manager would, and keys need the active window.
void DatasetTest::keyInMain(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    w()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w()));
    QTest::keyClick(w(), key, modifiers);
}

void DatasetTest::openDataset()
{
    keyInMain(Qt::Key_D, Qt::ControlModifier);
    QVERIFY(datasetWindow());
    QVERIFY(QTest::qWaitForWindowExposed(datasetWindow()));
}

void DatasetTest::open(const QStringList &images, const QByteArray &csv)
{
    if (!csv.isNull())
        writeFile(csvPath, csv);
    loadFolder(*answerer, w(), makeFolder(u"imgs"_qs, images));
    QCOMPARE(imageFiles(w()), images);
}

void DatasetTest::setFilter(int choice, const QString &nameText)
{
    datasetWindow()->findChild<QComboBox *>(u"labelFilter"_qs)->setCurrentIndex(choice);
    datasetWindow()->findChild<QLineEdit *>(u"nameFilter"_qs)->setText(nameText);
}

// Each row of the image table as its cells joined by "|".
QStringList DatasetTest::tableRows() const
{
    const QAbstractItemModel *model = table()->model();
    QStringList rows;
    for (int row = 0; row < model->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model->columnCount(); ++column)
            cells.append(model->index(row, column).data().toString());
        rows.append(cells.join(u'|'));
    }
    return rows;
}

QString DatasetTest::selectedName() const
{
    const QModelIndexList rows = table()->selectionModel()->selectedRows(1);
    return rows.size() == 1 ? rows.first().data().toString() : QString();
}

void DatasetTest::opensByKeyOrCountLineAsOneWindowOwnedByTheMainWindow()
{
    QVERIFY(!datasetWindow());
    QCOMPARE(label(w(), "markCountLabel")->toolTip(),
             u"双击或按 Ctrl+D 打开数据集窗口；Alt+Right / Alt+Left 转到符合筛选的下一张 / 上一张"_qs);

    // From the list too: the key works whichever control has the focus.
    annotationList(w())->setFocus();
    keyInMain(Qt::Key_D, Qt::ControlModifier);
    QWidget *opened = datasetWindow();
    QVERIFY(opened && opened->isVisible() && opened->isWindow());
    QCOMPARE(opened->windowTitle(), u"数据集"_qs);
    QCOMPARE(opened->windowModality(), Qt::NonModal);
    QVERIFY(opened->maximumSize() != opened->minimumSize());
    QCOMPARE(table()->model()->rowCount(), 0);
    QCOMPARE(line("summaryLine"), u"共 0 张 | 已标记 0 | 未标记 0"_qs);

    opened->close();
    keyInMain(Qt::Key_D, Qt::ControlModifier);
    keyInMain(Qt::Key_D, Qt::ControlModifier);
    QVERIFY(opened->isVisible());
    QCOMPARE(w()->findChildren<QWidget *>(u"datasetWindow"_qs).size(), 1);
    opened->close();
    QTest::mouseDClick(label(w(), "markCountLabel"), Qt::LeftButton);
    QVERIFY(opened->isVisible());
    QCOMPARE(datasetWindow(), opened);

    // It closes with the main window, so the program ends with it.
    w()->close();
    QVERIFY(!opened->isVisible());
}

void DatasetTest::summaryStatisticsAndTableFollowTheReadersRows()
{
    // The first row of a name counts; an unlisted image's row does not; a
    // "1" beyond the header marks without naming an entry; CR LF endings.
    QByteArray content = headerLine() + row(u"a.png"_qs, {11, 13}) + row(u"a.png"_qs)
        + row(u"b.png"_qs) + row(u"b.png"_qs, {1}) + row(u"x.png"_qs, {11})
        + row(u"c.png"_qs, {11});
    QByteArray beyondHeader = row(u"d.png"_qs);
    beyondHeader.insert(beyondHeader.size() - 1, ",1");
    content += beyondHeader;
    content.replace("\n", "\r\n");
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs, u"e.png"_qs}, content);
    openDataset();

    QCOMPARE(label(w(), "markCountLabel")->text(), u"已标记: 3 | 未标记: 2"_qs);
    QCOMPARE(line("summaryLine"), u"共 5 张 | 已标记 3 | 未标记 2"_qs);
    QCOMPARE(tableRows(), (QStringList{
                              u"1|a.png|已标记|树根_RO, 沉积_AF"_qs,
                              u"2|b.png|未标记|"_qs,
                              u"3|c.png|已标记|树根_RO"_qs,
                              u"4|d.png|已标记|"_qs,
                              u"5|e.png|未标记|"_qs,
                          }));
    QCOMPARE(line("shownLine"), u"显示 5 / 5"_qs);

    auto *statistics = datasetWindow()->findChild<QAbstractItemView *>(u"labelStatistics"_qs);
    const QAbstractItemModel *model = statistics->model();
    QCOMPARE(model->rowCount(), 19);
    for (int k = 1; k <= 19; ++k) {
        const int count = k == 11 ? 2 : k == 13 ? 1 : 0;
        QCOMPARE(model->index(k - 1, 0).data().toString(), entry(k));
        QCOMPARE(model->index(k - 1, 1).data().toInt(), count);
        QCOMPARE(model->index(k - 1, 2).data().toString(),
                 QString::number(count * 20.0, 'f', 1) + u'%');
    }
    // Sorted by number, the commonest entry comes first.
    statistics->model()->sort(1, Qt::DescendingOrder);
    QCOMPARE(model->index(0, 0).data().toString(), entry(11));
    QCOMPARE(model->index(1, 0).data().toString(), entry(13));
}

void DatasetTest::filtersKeepByStateLabelAndNameTogether()
{
    open({u"Pipe1.png"_qs, u"pipe2.png"_qs, u"PIPE4.png"_qs, u"road3.png"_qs},
         headerLine() + row(u"Pipe1.png"_qs, {11}) + row(u"pipe2.png"_qs)
             + row(u"road3.png"_qs, {11, 2}));
    openDataset();

    const auto names = [this] {
        QStringList shown;
        for (const QString &row : tableRows())
            shown.append(row.section(u'|', 1, 1));
        return shown;
    };
    setFilter(1);
    QCOMPARE(names(), (QStringList{u"Pipe1.png"_qs, u"road3.png"_qs}));
    setFilter(2);
    QCOMPARE(names(), (QStringList{u"pipe2.png"_qs, u"PIPE4.png"_qs}));
    QCOMPARE(line("shownLine"), u"显示 2 / 4"_qs);
    setFilter(3 + 10);
    QCOMPARE(names(), (QStringList{u"Pipe1.png"_qs, u"road3.png"_qs}));
    setFilter(3 + 10, u"PIPE"_qs);
    QCOMPARE(names(), QStringList{u"Pipe1.png"_qs});
    setFilter(0, u"pIpE"_qs);
    QCOMPARE(names(), (QStringList{u"Pipe1.png"_qs, u"pipe2.png"_qs, u"PIPE4.png"_qs}));
    QCOMPARE(line("shownLine"), u"显示 3 / 4"_qs);
    // The summary and the statistics still describe every listed image.
    QCOMPARE(line("summaryLine"), u"共 4 张 | 已标记 2 | 未标记 2"_qs);
    setFilter(3 + 18);
    QVERIFY(names().isEmpty());
}

void DatasetTest::activatingARowMovesWithoutSavingAndTheSelectionFollows()
{
    const QByteArray content = headerLine() + row(u"b.png"_qs, {3});
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs}, content);
    openDataset();
    QCOMPARE(selectedName(), u"a.png"_qs);

    call(w(), "annotate", entry(5));
    setFilter(2);
    const QModelIndex c = table()->model()->index(1, 1);
    QCOMPARE(c.data().toString(), u"c.png"_qs);
    // A double-click comes after the press and release of its first click.
    const QPoint onC = table()->visualRect(c).center();
    QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, onC);
    QCOMPARE(currentIndex(w()), 0);
    QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, onC);
    QCOMPARE(currentIndex(w()), 2);
    QCOMPARE(label(w(), "imageNameLabel")->text(), u"图片名称:c.png(3/4)"_qs);
    QVERIFY(annotationsModified(w()));
    QCOMPARE(readFile(csvPath), content);

    table()->setCurrentIndex(table()->model()->index(2, 1));
    QTest::keyClick(table(), Qt::Key_Return);
    QCOMPARE(currentIndex(w()), 3);
    QCOMPARE(selectedName(), u"d.png"_qs);

    // The main window's moves carry the selection, also onto a row hidden
    // by the filter and back.
    keyInMain(Qt::Key_Left);
    QCOMPARE(currentIndex(w()), 2);
    QCOMPARE(selectedName(), u"c.png"_qs);
    keyInMain(Qt::Key_Left);
    QVERIFY(table()->selectionModel()->selectedRows().isEmpty());
    setFilter(0);
    QCOMPARE(selectedName(), u"b.png"_qs);
    keyInMain(Qt::Key_Right);
    QCOMPARE(selectedName(), u"c.png"_qs);
    QCOMPARE(readFile(csvPath), content);
}

void DatasetTest::savesAndOtherProgramsEditsShowAfterTheNextAction()
{
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs}, headerLine() + row(u"c.png"_qs));
    // Saved before the window ever opened, which then starts from it.
    w()->labelling()->moveTo(1);
    call(w(), "annotate", entry(7));
    call(w(), "saveAnnotations");
    openDataset();
    setFilter(2);
    QCOMPARE(tableRows(), (QStringList{u"1|a.png|未标记|"_qs, u"3|c.png|未标记|"_qs}));

    // Saved on the last image, where the step that follows cannot move: the
    // row leaves the unmarked ones at once.
    w()->labelling()->moveTo(2);
    call(w(), "annotate", entry(1));
    call(w(), "saveAnnotations");
    QCOMPARE(tableRows(), QStringList{u"1|a.png|未标记|"_qs});
    QCOMPARE(line("shownLine"), u"显示 1 / 3"_qs);
    setFilter(0);
    QCOMPARE(tableRows().mid(1), (QStringList{u"2|b.png|已标记|无缺陷_ND"_qs,
                                              u"3|c.png|已标记|裂缝、断裂和坍塌_RB"_qs}));
    QCOMPARE(line("summaryLine"), u"共 3 张 | 已标记 2 | 未标记 1"_qs);
    const QAbstractItemModel *statistics =
        datasetWindow()->findChild<QAbstractItemView *>(u"labelStatistics"_qs)->model();
    QCOMPARE(statistics->index(0, 1).data().toInt(), 1);
    QCOMPARE(statistics->index(6, 1).data().toInt(), 1);

    // Another program adds a row; the next action of the main window shows
    // it, in the rows as they stand.
    writeFile(csvPath, readFile(csvPath) + row(u"a.png"_qs, {19}));
    QCOMPARE(tableRows().first(), u"1|a.png|未标记|"_qs);
    QSignalSpy rebuilt(table()->model(), &QAbstractItemModel::modelReset);
    keyInMain(Qt::Key_Left);
    QCOMPARE(tableRows().first(), u"1|a.png|已标记|钻孔连接_PB"_qs);
    QCOMPARE(rebuilt.count(), 0);
    QCOMPARE(line("summaryLine"), u"共 3 张 | 已标记 3 | 未标记 0"_qs);
    QCOMPARE(statistics->index(18, 2).data().toString(), u"33.3%"_qs);
}

void DatasetTest::reviewKeysFollowTheFilterAlsoWithTheWindowClosed()
{
    const QByteArray content = headerLine() + row(u"b.png"_qs, {11}) + row(u"d.png"_qs, {11})
        + row(u"e.png"_qs, {2});
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs, u"d.png"_qs, u"e.png"_qs}, content);
    call(w(), "annotate", entry(4));

    // Never opened: every image, and the ends are told by the note beside
    // the label buttons, no box taking the keys typed next.
    const auto note = [] { return QToolTip::isVisible() ? QToolTip::text() : QString(); };
    keyInMain(Qt::Key_Left, Qt::AltModifier);
    QTRY_COMPARE(note(), u"前面没有符合筛选的图片"_qs);
    for (int expected = 1; expected < 5; ++expected) {
        keyInMain(Qt::Key_Right, Qt::AltModifier);
        QCOMPARE(currentIndex(w()), expected);
    }
    keyInMain(Qt::Key_Right, Qt::AltModifier);
    QTRY_COMPARE(note(), u"后面没有符合筛选的图片"_qs);
    QCOMPARE(currentIndex(w()), 4);

    openDataset();
    setFilter(3 + 10, u"D"_qs);
    datasetWindow()->close();
    keyInMain(Qt::Key_Left, Qt::AltModifier);
    QCOMPARE(currentIndex(w()), 3);
    keyInMain(Qt::Key_Left, Qt::AltModifier);
    QTRY_COMPARE(note(), u"前面没有符合筛选的图片"_qs);
    setFilter(3 + 10);
    keyInMain(Qt::Key_Left, Qt::AltModifier);
    QCOMPARE(currentIndex(w()), 1);
    keyInMain(Qt::Key_Right, Qt::AltModifier);
    QCOMPARE(currentIndex(w()), 3);
    QVERIFY(answerer->boxes.isEmpty());
    // The same keys work in the dataset window, as it shows the filter.
    openDataset();
    QVERIFY(QTest::qWaitForWindowActive(datasetWindow()));
    QTest::keyClick(table(), Qt::Key_Left, Qt::AltModifier);
    QCOMPARE(currentIndex(w()), 1);
    QCOMPARE(selectedName(), u"b.png"_qs);
    // Moving like a view button: nothing saved, the change flag kept.
    QVERIFY(annotationsModified(w()));
    QCOMPARE(readFile(csvPath), content);
}

void DatasetTest::copyGivesTheSelectedRowsAsTabSeparatedText()
{
    open({u"a.png"_qs, u"b.png"_qs, u"c.png"_qs},
         headerLine() + row(u"a.png"_qs, {11, 12}) + row(u"c.png"_qs));
    openDataset();
    QItemSelectionModel *selection = table()->selectionModel();
    selection->select(table()->model()->index(2, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::keyClick(table(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             u"1\ta.png\t已标记\t树根_RO, 渗透_IN\n3\tc.png\t未标记\t\n"_qs);
}

QTEST_MAIN(DatasetTest)
#include "tst_dataset.moc"
