#include "testwindow.h"

#include <QAction>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMetaMethod>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

using namespace TestWindow;

class WindowTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void metaObjectDeclaresTheTwelvePrivateSlotsInOrder();
    void startUpDialogAsksForACsvFileInTheHomeFolder();
    void pathLineShowsThePathExactlyAsChosen();
    void choosingAnExistingFileLeavesItUnchanged();
    void controlsStartWithTheirTextsSizesAndStates();
    void labelButtonsFollowTheCatalogueInTwoColumns();
    void labelButtonAnnotatesWithItsOwnCatalogueText();
    void doubleClickRemovesTheLabelAndSingleClickOnlySelects();
    void saveAndMoveButtonsSaveFirstThenMove();
};

void WindowTest::init()
{
    openWindow();
}

void WindowTest::cleanup()
{
    closeWindow();
}

void WindowTest::metaObjectDeclaresTheTwelvePrivateSlotsInOrder()
{
    const QMetaObject *meta = window->metaObject();
    QCOMPARE(meta->className(), "Tavrelin");
    QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());

    const QList<QByteArray> expected{
        "loadImages()",
        "loadCurrentImage()",
        "isImageMarked(QString)",
        "loadAnnotationsFromCSV()",
        "saveCurrentAnnotations()",
        "enableNavigationButtons(bool)",
        "nextImage()",
        "previousImage()",
        "annotate(QString)",
        "deleteAnnotation(QListWidgetItem*)",
        "saveAnnotations()",
        "jumpToLastMarkedImage()",
    };
    QCOMPARE(meta->methodCount() - meta->methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected.at(i));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }

    auto method = [meta](const char *signature) {
        return meta->method(meta->indexOfSlot(signature));
    };
    QCOMPARE(method("isImageMarked(QString)").typeName(), "bool");
    QCOMPARE(method("isImageMarked(QString)").parameterNames(), QList<QByteArray>{"fileName"});
    QCOMPARE(method("enableNavigationButtons(bool)").parameterNames(),
             QList<QByteArray>{"enable"});
    QCOMPARE(method("annotate(QString)").parameterNames(), QList<QByteArray>{"label"});
    QCOMPARE(method("deleteAnnotation(QListWidgetItem*)").parameterNames(),
             QList<QByteArray>{"item"});
    QCOMPARE(method("loadImages()").typeName(), "void");
}

void WindowTest::startUpDialogAsksForACsvFileInTheHomeFolder()
{
    QCOMPARE(answerer->fileDialogs.size(), 1);
    const DialogAnswerer::FileDialog &dialog = answerer->fileDialogs.first();
    QCOMPARE(dialog.caption, u"选择保存路径"_qs);
    QCOMPARE(dialog.directory, QDir::homePath());
    QCOMPARE(dialog.nameFilters, QStringList{u"CSV Files (*.csv)"_qs});
    QCOMPARE(dialog.acceptMode, QFileDialog::AcceptSave);
    QVERIFY(answerer->boxes.isEmpty());
    QVERIFY(!window->isVisible());
}

void WindowTest::pathLineShowsThePathExactlyAsChosen()
{
    QCOMPARE(label(window.get(), "savePathLabel")->text(), u"保存路径: "_qs + csvPath);
    QVERIFY(!QFile::exists(csvPath));
}

void WindowTest::choosingAnExistingFileLeavesItUnchanged()
{
    const QString existing = dir->filePath(u"已有.csv"_qs);
    const QByteArray content = "not,really\r\nannotations";
    writeFile(existing, content);

    const std::unique_ptr<Tavrelin> second = create(*answerer, existing);
    QVERIFY(second->hasAnnotationFile());
    QCOMPARE(label(second.get(), "savePathLabel")->text(), u"保存路径: "_qs + existing);
    QCOMPARE(readFile(existing), content);
}

void WindowTest::controlsStartWithTheirTextsSizesAndStates()
{
    QMenuBar *menuBar = window->menuBar();
    QCOMPARE(menuBar->actions().size(), 1);
    QAction *menu = menuBar->actions().first();
    QCOMPARE(menu->text(), u"选择图片目录"_qs);
    QCOMPARE(menu->menu()->actions().size(), 1);
    QCOMPARE(menu->menu()->actions().first()->text(), u"加载图片"_qs);
    QVERIFY(menu->menu()->actions().first()->isEnabled());

    QLabel *savePathLine = label(window.get(), "savePathLabel");
    QCOMPARE(savePathLine->styleSheet(), u"font-size: 14px; color: blue; padding: 2px;"_qs);
    QLabel *folderLine = label(window.get(), "imageDirLabel");
    QCOMPARE(folderLine->text(), u"图片目录: 未指定"_qs);
    QCOMPARE(folderLine->styleSheet(), u"font-size: 14px; color: green; padding: 2px;"_qs);

    QLabel *countLine = label(window.get(), "markCountLabel");
    QCOMPARE(countLine->text(), QString());
    QCOMPARE(countLine->alignment(), Qt::AlignCenter);
    QCOMPARE(countLine->styleSheet(), u"font-size: 14px; color: gray; padding: 2px;"_qs);
    QCOMPARE(countLine->minimumHeight(), 20);
    QCOMPARE(countLine->maximumHeight(), 20);
    QLabel *nameLine = label(window.get(), "imageNameLabel");
    QCOMPARE(nameLine->text(), QString());
    QCOMPARE(nameLine->alignment(), Qt::AlignCenter);
    QCOMPARE(nameLine->styleSheet(), u"font-size: 16px; color: black; padding: 2px;"_qs);
    QCOMPARE(nameLine->maximumHeight(), 25);
    QLabel *imageArea = label(window.get(), "imageLabel");
    QCOMPARE(imageArea->minimumSize(), QSize(600, 400));
    QCOMPARE(imageArea->maximumSize(), QSize(600, 400));
    QCOMPARE(imageArea->styleSheet(),
             u"QLabel { background-color : lightgray; border: 1px solid black; }"_qs);
    QVERIFY(imageArea->pixmap().isNull());

    QListWidget *list = annotationList(window.get());
    QCOMPARE(list->maximumSize(), QSize(150, 400));
    QCOMPARE(list->count(), 0);
    QVERIFY(list->isEnabled());

    struct Expected
    {
        QString text;
        QSize size;
        bool enabled;
        QString styleSheet;
    };
    const QString red = u"QPushButton { background-color: red; color: white; }"_qs;
    const QList<Expected> navigation{
        {u"查看上一张"_qs, QSize(100, 40), false, QString()},
        {u"保存并上一张"_qs, QSize(150, 40), true, red},
        {u"保存并下一张"_qs, QSize(150, 40), true, red},
        {u"查看下一张"_qs, QSize(100, 40), false, QString()},
    };
    for (const Expected &expected : navigation) {
        QPushButton *found = button(window.get(), expected.text);
        QVERIFY2(found, qPrintable(expected.text));
        QCOMPARE(found->maximumSize(), expected.size);
        QCOMPARE(found->isEnabled(), expected.enabled);
        QCOMPARE(found->styleSheet(), expected.styleSheet);
    }
    QPushButton *jump = button(window.get(), u"跳转到最后标注图片"_qs);
    QVERIFY(jump);
    QVERIFY(jump->isEnabled());
    QCOMPARE(jump->styleSheet(), QString());
    QCOMPARE(jump->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));

    // The four navigation buttons sit together between two stretches.
    auto *mainColumn = qobject_cast<QVBoxLayout *>(window->centralWidget()->layout());
    QVERIFY(mainColumn);
    QCOMPARE(mainColumn->count(), 5);
    auto *navigationRow = qobject_cast<QHBoxLayout *>(mainColumn->itemAt(4)->layout());
    QVERIFY(navigationRow);
    QCOMPARE(navigationRow->count(), 6);
    QVERIFY(navigationRow->itemAt(0)->spacerItem());
    QCOMPARE(navigationRow->itemAt(1)->widget(), button(window.get(), u"查看上一张"_qs));
    QCOMPARE(navigationRow->itemAt(4)->widget(), button(window.get(), u"查看下一张"_qs));
    QVERIFY(navigationRow->itemAt(5)->spacerItem());
}

void WindowTest::labelButtonsFollowTheCatalogueInTwoColumns()
{
    auto *mainColumn = qobject_cast<QVBoxLayout *>(window->centralWidget()->layout());
    auto *contentRow = qobject_cast<QHBoxLayout *>(mainColumn->itemAt(2)->layout());
    QVERIFY(contentRow);
    QCOMPARE(contentRow->count(), 3);
    QCOMPARE(contentRow->itemAt(0)->widget(), annotationList(window.get()));
    auto *grid = qobject_cast<QHBoxLayout *>(contentRow->itemAt(2)->layout());
    QVERIFY(grid);
    QCOMPARE(grid->count(), 2);

    QStringList shown;
    QList<int> columnSizes;
    for (int column = 0; column < 2; ++column) {
        QLayout *buttons = grid->itemAt(column)->layout();
        columnSizes.append(buttons->count());
        for (int i = 0; i < buttons->count(); ++i) {
            auto *labelButton = qobject_cast<QPushButton *>(buttons->itemAt(i)->widget());
            QVERIFY(labelButton);
            QVERIFY(!labelButton->isEnabled());
            QCOMPARE(labelButton->maximumSize(), QSize(150, 40));
            shown.append(labelButton->text());
        }
    }
    QCOMPARE(columnSizes, (QList<int>{8, 11}));
    QCOMPARE(shown, catalogue());
}

void WindowTest::labelButtonAnnotatesWithItsOwnCatalogueText()
{
    const QStringList expected = catalogue();
    for (const int row : {1, 8, 9, 19}) {
        QPushButton *labelButton = button(window.get(), expected.at(row - 1));
        labelButton->setEnabled(true);
        QTest::mouseClick(labelButton, Qt::LeftButton);
    }
    const QStringList clicked{expected.at(0), expected.at(7), expected.at(8), expected.at(18)};
    QCOMPARE(currentAnnotations(window.get()), clicked);
    QCOMPARE(listTexts(window.get()), clicked);
    QVERIFY(annotationsModified(window.get()));
}

void WindowTest::doubleClickRemovesTheLabelAndSingleClickOnlySelects()
{
    call(window.get(), "annotate", u"变形_DE"_qs);
    call(window.get(), "annotate", u"树根_RO"_qs);
    QListWidget *list = annotationList(window.get());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QRect first = list->visualItemRect(list->item(0));

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first.center());
    QCOMPARE(list->currentRow(), 0);
    QCOMPARE(listTexts(window.get()), (QStringList{u"变形_DE"_qs, u"树根_RO"_qs}));

    DebugLog log;
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, first.center());
    QCOMPARE(listTexts(window.get()), QStringList{u"树根_RO"_qs});
    QCOMPARE(currentAnnotations(window.get()), QStringList{u"树根_RO"_qs});
    QCOMPARE(log.lines(), QStringList{u"Annotation removed: \"变形_DE\""_qs});
}

void WindowTest::saveAndMoveButtonsSaveFirstThenMove()
{
    button(window.get(), u"保存并下一张"_qs)->click();
    QCOMPARE(answerer->boxTexts(), (QStringList{u"无需更改"_qs, u"已是最后一张图片"_qs}));
    answerer->clear();
    button(window.get(), u"保存并上一张"_qs)->click();
    QCOMPARE(answerer->boxTexts(), (QStringList{u"无需更改"_qs, u"已是第一张图片"_qs}));
    QCOMPARE(answerer->boxes.first().icon, QMessageBox::Information);
    QCOMPARE(answerer->boxes.first().title, u"Warning"_qs);
    QVERIFY(!QFile::exists(csvPath));
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
