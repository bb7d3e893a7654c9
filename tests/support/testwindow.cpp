#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QList>
#include <QListWidget>
#include <QMainWindow>
#include <QMetaObject>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTest>

#include "testwindow.h"

#include "labellingsession.h"
#include "testsettings.h"

namespace TestWindow {

QStringList catalogue()
{
    return {
        u"裂缝、断裂和坍塌_RB"_qs, u"侧向修复切口_OS"_qs, u"变形_DE"_qs,
        u"表面损伤_OB"_qs, u"施工变更相关缺陷_OK"_qs, u"凿孔连接_PH"_qs,
        u"无缺陷_ND"_qs, u"脱节、关节移位_FS"_qs, u"生产错误_PF"_qs,
        u"接口材料脱落_IS"_qs, u"树根_RO"_qs, u"渗透_IN"_qs,
        u"沉积_AF"_qs, u"结垢、腐蚀物_BE"_qs, u"障碍物_FO"_qs,
        u"支管暗接_GR"_qs, u"与过渡轮廓的连接_OP"_qs, u"水位_VA"_qs,
        u"钻孔连接_PB"_qs,
    };
}

QString entry(int catalogueRow)
{
    return catalogue().at(catalogueRow - 1);
}

QByteArray headerLine()
{
    return (u"图片名称,"_qs + catalogue().join(u',')).toUtf8() + '\n';
}

QByteArray row(const QString &fileName, const QList<int> &setRows)
{
    QByteArray line = fileName.toUtf8();
    for (int k = 1; k <= 19; ++k)
        line += setRows.contains(k) ? ",1" : ",0";
    return line + '\n';
}

std::unique_ptr<Tavrelin> create(DialogAnswerer &answerer, const QString &savePath)
{
    answerer.answerFileDialog(savePath);
    return std::make_unique<Tavrelin>();
}

void call(Tavrelin *window, const char *slot)
{
    QVERIFY2(QMetaObject::invokeMethod(window, slot), slot);
}

void call(Tavrelin *window, const char *slot, const QString &argument)
{
    QVERIFY2(QMetaObject::invokeMethod(window, slot, Q_ARG(QString, argument)), slot);
}

bool callIsImageMarked(Tavrelin *window, const QString &fileName)
{
    bool marked = false;
    const bool invoked = QMetaObject::invokeMethod(window, "isImageMarked",
                                                   Q_RETURN_ARG(bool, marked),
                                                   Q_ARG(QString, fileName));
    if (!invoked)
        qWarning("isImageMarked could not be invoked");
    return marked;
}

void loadFolder(DialogAnswerer &answerer, Tavrelin *window, const QString &folder)
{
    answerer.answerFileDialog(folder);
    call(window, "loadImages");
}

void writeImage(const QString &path, const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QVERIFY2(image.save(path), qPrintable(path));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

QPushButton *button(Tavrelin *window, const QString &text)
{
    const QList<QPushButton *> buttons = window->findChildren<QPushButton *>();
    for (QPushButton *candidate : buttons) {
        if (candidate->text() == text)
            return candidate;
    }
    return nullptr;
}

namespace {

// The line of the window whose text begins with `prefix`.
QLabel *lineStartingWith(Tavrelin *window, const QString &prefix)
{
    const QList<QLabel *> labels = window->findChildren<QLabel *>();
    for (QLabel *candidate : labels) {
        if (candidate->window() == window && candidate->text().startsWith(prefix))
            return candidate;
    }
    return nullptr;
}

} // namespace

QLabel *label(Tavrelin *window, const char *member)
{
    const QByteArray name(member);
    if (name == "imageLabel")
        return window->imageArea();
    if (name == "imageNameLabel")
        return window->nameLine();
    if (name == "markCountLabel")
        return window->countLine();
    if (name == "savePathLabel")
        return lineStartingWith(window, u"保存路径: "_qs);
    if (name == "imageDirLabel")
        return lineStartingWith(window, u"图片目录: "_qs);
    return nullptr;
}

QListWidget *annotationList(Tavrelin *window)
{
    // The window's only list widget; the windows beside it show the same
    // rows through views of its model.
    const QList<QListWidget *> lists = window->findChildren<QListWidget *>();
    for (QListWidget *list : lists) {
        if (list->window() == window)
            return list;
    }
    return nullptr;
}

QStringList listTexts(Tavrelin *window)
{
    const QListWidget *list = annotationList(window);
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts.append(list->item(i)->text());
    return texts;
}

QStringList currentAnnotations(Tavrelin *window)
{
    // The session's labels, which the list mirrors: what a save writes.
    return window->labelling()->labels();
}

int currentIndex(Tavrelin *window)
{
    return window->session().position();
}

bool annotationsModified(Tavrelin *window)
{
    return window->labelling()->hasUnsaved();
}

QStringList imageFiles(Tavrelin *window)
{
    return window->session().names();
}

void Fixture::openWindow()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    csvPath = dir->filePath(u"labels.csv"_qs);
    // Every test starts with nothing remembered.
    TestSettings::keepIn(dir->filePath(u"settings"_qs));
    answerer = std::make_unique<DialogAnswerer>();
    window = create(*answerer, csvPath);
    QVERIFY(window->hasAnnotationFile());
}

void Fixture::closeWindow()
{
    window.reset();
    answerer.reset();
    dir.reset();
}

QString Fixture::makeFolder(const QString &name, const QStringList &images)
{
    const QString folder = dir->filePath(name);
    QDir().mkpath(folder);
    for (const QString &image : images)
        writeImage(folder + u'/' + image);
    return folder;
}

} // namespace TestWindow
