// Saves that meet other programs and files the program does not own: the
// annotation file's lock, files that are no regular files, and folders that
// do not let a new file be created.
#include "annotationfile.h"
#include "csvannotationfile.h"
#include "testwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

using namespace TestWindow;

class SaveSafetyTest final : public QObject, public Fixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void twoProgramsSavingAtOnceKeepEveryRow();
    void lockHeldElsewhereRefusesTheSaveUntilItsHolderIsGone();
    void halfMadeLockIsTakenOverOnceOldButALiveHoldersNever_data();
    void halfMadeLockIsTakenOverOnceOldButALiveHoldersNever();
    void longWaitForTheLockShowsAModalDialog_data();
    void longWaitForTheLockShowsAModalDialog();
    void onlyARegularFileIsReadOrReplaced_data();
    void onlyARegularFileIsReadOrReplaced();
    void readOnlyFolderKeepsItsWritableFile();
    void fullDiskKeepsTheFileWhole_data();
    void fullDiskKeepsTheFileWhole();
    void wholeSecondFileSystemLosesNoRow();

private:
    QStringList boxTexts();
    // Mounts a fresh ext4 with 128-byte inodes, which keeps whole seconds and
    // hands a freed inode number to the next file, at `folder`; skips the test
    // when that cannot be done here.
    bool mountWholeSecondFileSystem(const QString &folder);
    void startSaver(QProcess &saver, const QStringList &arguments);
};

void SaveSafetyTest::init()
{
    openWindow();
}

void SaveSafetyTest::cleanup()
{
    closeWindow();
}

QStringList SaveSafetyTest::boxTexts()
{
    const QStringList texts = answerer->boxTexts();
    answerer->clear();
    return texts;
}

void SaveSafetyTest::startSaver(QProcess &saver, const QStringList &arguments)
{
    saver.setProgram(QStringLiteral(ANNOTATION_SAVER));
    saver.setArguments(arguments);
    saver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    saver.start();
    QVERIFY2(saver.waitForStarted(), qPrintable(saver.errorString()));
}

void SaveSafetyTest::twoProgramsSavingAtOnceKeepEveryRow()
{
    const int rowsEach = 300;
    QProcess first;
    QProcess second;
    startSaver(first, {u"save"_qs, csvPath, u"a"_qs, QString::number(rowsEach)});
    startSaver(second, {u"save"_qs, csvPath, u"b"_qs, QString::number(rowsEach)});
    for (QProcess *saver : {&first, &second}) {
        QVERIFY(saver->waitForFinished(240000));
        QCOMPARE(saver->exitStatus(), QProcess::NormalExit);
        QCOMPARE(saver->exitCode(), int(SaveResult::Saved));
    }

    QList<QByteArray> rows;
    for (const QString &prefix : {u"a"_qs, u"b"_qs}) {
        for (int i = 0; i < rowsEach; ++i)
            rows.append(row(prefix + QString::number(i) + u".png"_qs, {i % 19 + 1}));
    }
    std::sort(rows.begin(), rows.end());
    QCOMPARE(readFile(csvPath), headerLine() + rows.join());
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{u"labels.csv"_qs});
}

void SaveSafetyTest::lockHeldElsewhereRefusesTheSaveUntilItsHolderIsGone()
{
    const QByteArray content = headerLine() + row(u"b.png"_qs, {1});
    writeFile(csvPath, content);
    loadFolder(*answerer, window.get(), makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs}));
    call(window.get(), "annotate", entry(3));

    QProcess holder;
    startSaver(holder, {u"hold"_qs, csvPath});
    QVERIFY(holder.waitForReadyRead(30000));
    QCOMPARE(holder.readAllStandardOutput(), QByteArray("held\n"));
    const QString lockPath = csvPath + u".lock"_qs;
    QVERIFY(QFileInfo::exists(lockPath));

    button(window.get(), u"保存并下一张"_qs)->click();
    // Not cancelled, the dialog stayed up until the wait ran out.
    QCOMPARE(answerer->progressTexts.size(), 1);
    QVERIFY(window->findChildren<QProgressDialog *>().isEmpty());
    QCOMPARE(boxTexts(), QStringList{u"标签文件正被其他程序使用，未保存"_qs});
    QCOMPARE(answerer->boxes.size(), 0);
    QCOMPARE(readFile(csvPath), content);
    QCOMPARE(currentIndex(window.get()), 0);
    QVERIFY(annotationsModified(window.get()));

    // Killed, the holder leaves its lock file behind; it no longer blocks.
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QVERIFY(QFileInfo::exists(lockPath));
    button(window.get(), u"保存并下一张"_qs)->click();
    QCOMPARE(boxTexts(), QStringList());
    QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {3}) + row(u"b.png"_qs, {1}));
    QCOMPARE(currentIndex(window.get()), 1);
    QVERIFY(!QFileInfo::exists(lockPath));
}

void SaveSafetyTest::halfMadeLockIsTakenOverOnceOldButALiveHoldersNever_data()
{
    QTest::addColumn<QString>("lock");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("takenOver");
    // A holder killed between creating its lock and writing its process id.
    QTest::newRow("empty, 3 s old") << u"empty"_qs << 3 << true;
    QTest::newRow("empty, just made") << u"empty"_qs << 0 << false;
    QTest::newRow("no process id, 3 s old") << u"garbage"_qs << 3 << true;
    QTest::newRow("unreadable, 3 s old") << u"unreadable"_qs << 3 << true;
    QTest::newRow("live holder, an hour old") << u"live"_qs << 3600 << false;
}

// Through the window's store, so that a refusal comes at the first wait
// rather than after five seconds.
void SaveSafetyTest::halfMadeLockIsTakenOverOnceOldButALiveHoldersNever()
{
    QFETCH(QString, lock);
    QFETCH(int, ageSeconds);
    QFETCH(bool, takenOver);
    const QString lockPath = csvPath + u".lock"_qs;
    QProcess holder;
    if (lock == u"live") {
        startSaver(holder, {u"hold"_qs, csvPath});
        QVERIFY(holder.waitForReadyRead(30000));
    } else {
        writeFile(lockPath, lock == u"garbage" ? QByteArray("\x01\n") : QByteArray());
        if (lock == u"unreadable")
            QVERIFY(QFile::setPermissions(lockPath, {}));
    }
    timespec made[2] {};
    QCOMPARE(::clock_gettime(CLOCK_REALTIME, &made[0]), 0);
    made[0].tv_sec -= ageSeconds;
    made[1] = made[0];
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(lockPath).constData(), made, 0), 0);

    int waits = 0;
    const SaveResult result = window->store()->saveRow(u"a.png"_qs, {entry(3)}, [&] {
        ++waits;
        return false;
    });
    if (takenOver) {
        QCOMPARE(result, SaveResult::Saved);
        QCOMPARE(waits, 0);
        QCOMPARE(readFile(csvPath), headerLine() + row(u"a.png"_qs, {3}));
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{u"labels.csv"_qs});
    } else {
        QCOMPARE(result, SaveResult::Locked);
        QCOMPARE(waits, 1);
        QVERIFY(!QFileInfo::exists(csvPath));
        QVERIFY(QFileInfo::exists(lockPath));
    }
    if (holder.state() != QProcess::NotRunning) {
        holder.kill();
        QVERIFY(holder.waitForFinished());
    }
}

void SaveSafetyTest::longWaitForTheLockShowsAModalDialog_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("the holder lets go") << false;
    QTest::newRow("cancelled") << true;
}

// The holder goes as soon as the dialog is seen, which takes the event loop
// running while the save waits: a cancel that did not end the wait would
// then get the lock.
void SaveSafetyTest::longWaitForTheLockShowsAModalDialog()
{
    QFETCH(bool, cancel);
    const QByteArray content = headerLine() + row(u"b.png"_qs, {1});
    writeFile(csvPath, content);
    loadFolder(*answerer, window.get(), makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs}));
    call(window.get(), "annotate", entry(3));
    QProcess holder;
    startSaver(holder, {u"hold"_qs, csvPath});
    QVERIFY(holder.waitForReadyRead(30000));
    answerer->onProgress = [&](QProgressDialog *dialog) {
        QCOMPARE(dialog->parentWidget(), window.get());
        QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
        if (cancel)
            dialog->findChild<QPushButton *>()->click();
        holder.kill();
        holder.waitForFinished();
    };

    button(window.get(), u"保存并下一张"_qs)->click();
    QCOMPARE(answerer->progressTexts, QStringList{u"正在等待其他程序释放标签文件…"_qs});
    QVERIFY(window->findChildren<QProgressDialog *>().isEmpty());
    QCOMPARE(boxTexts(), cancel ? QStringList{u"标签文件正被其他程序使用，未保存"_qs} : QStringList());
    QCOMPARE(readFile(csvPath),
             cancel ? content : headerLine() + row(u"a.png"_qs, {3}) + row(u"b.png"_qs, {1}));
    QCOMPARE(currentIndex(window.get()), cancel ? 0 : 1);
}

void SaveSafetyTest::onlyARegularFileIsReadOrReplaced_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << u"fifo"_qs;
    QTest::newRow("link to /dev/zero") << u"zero"_qs;
    QTest::newRow("device node") << u"node"_qs;
    QTest::newRow("file over 512 MiB") << u"huge"_qs;
}

void SaveSafetyTest::onlyARegularFileIsReadOrReplaced()
{
    QFETCH(QString, kind);
    const QByteArray path = QFile::encodeName(csvPath);
    if (kind == u"fifo") {
        QCOMPARE(::mkfifo(path.constData(), 0666), 0);
    } else if (kind == u"zero") {
        QVERIFY(QFile::link(u"/dev/zero"_qs, csvPath));
    } else if (kind == u"node") {
        // A node of our own (what /dev/null is), never one of /dev itself.
        if (::mknod(path.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("making a device node needs root");
    } else {
        QFile huge(csvPath);
        QVERIFY(huge.open(QIODevice::WriteOnly));
        QVERIFY(huge.resize(qint64(513) * 1024 * 1024)); // sparse: takes no room
    }
    struct stat before {};
    QCOMPARE(::lstat(path.constData(), &before), 0);

    loadFolder(*answerer, window.get(), makeFolder(u"imgs"_qs, {u"a.png"_qs}));
    QCOMPARE(boxTexts(), QStringList{u"打开标签文件失败."_qs});
    QVERIFY(!callIsImageMarked(window.get(), u"a.png"_qs));
    button(window.get(), u"跳转到最后标注图片"_qs)->click();
    QCOMPARE(boxTexts(), QStringList{u"无法读取标签文件"_qs});
    call(window.get(), "annotate", entry(1));
    call(window.get(), "saveAnnotations");
    QCOMPARE(boxTexts(), QStringList{u"无法打开用于保存注释的文件"_qs});

    struct stat after {};
    QCOMPARE(::lstat(path.constData(), &after), 0);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_rdev, before.st_rdev);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_size, before.st_size);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::System | QDir::Hidden),
             QStringList{u"labels.csv"_qs});
}

void SaveSafetyTest::readOnlyFolderKeepsItsWritableFile()
{
    const QString folder = dir->filePath(u"locked"_qs);
    QVERIFY(QDir().mkdir(folder));
    const QString path = folder + u"/labels.csv"_qs;
    const QByteArray content = headerLine() + row(u"b.png"_qs, {1});
    writeFile(path, content);
    const QFile::Permissions everyone = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    const QFile::Permissions searchable = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(path, everyone | QFile::WriteOwner | QFile::WriteGroup
                                            | QFile::WriteOther));
    QVERIFY(QFile::setPermissions(folder, everyone | searchable));

    if (::geteuid() == 0) {
        // Root may create files anywhere: the save runs as an ordinary user.
        QVERIFY(QFile::setPermissions(dir->path(), everyone | searchable | QFile::WriteOwner));
        // The build folder may lie in a folder that only root may enter (a
        // checkout in a private temporary folder): that user runs a copy
        // from a folder that everyone may enter.
        QTemporaryDir programDir;
        const QString program = programDir.filePath(u"annotationsaver"_qs);
        QVERIFY(QFile::setPermissions(programDir.path(), everyone | searchable | QFile::WriteOwner)
                && QFile::copy(QStringLiteral(ANNOTATION_SAVER), program));
        QProcess saver;
        saver.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(100);
        });
        saver.start(program, {u"save"_qs, path, u"a"_qs, u"1"_qs});
        if (!saver.waitForStarted())
            QSKIP(qPrintable(u"an unprivileged user cannot reach the temporary folder: "_qs
                             + saver.errorString()));
        QVERIFY(saver.waitForFinished());
        if (saver.exitCode() == 100 || saver.exitCode() == 127)
            QSKIP("cannot run the saver as an unprivileged user here");
        QCOMPARE(saver.exitCode(), int(SaveResult::CannotCreateInFolder));
    } else {
        window = create(*answerer, path);
        loadFolder(*answerer, window.get(), makeFolder(u"imgs"_qs, {u"a.png"_qs}));
        call(window.get(), "annotate", entry(2));
        button(window.get(), u"保存并下一张"_qs)->click();
        QCOMPARE(boxTexts(), QStringList{u"无法在标签文件所在目录中创建文件，未保存"_qs});
        QVERIFY(annotationsModified(window.get()));
    }
    QCOMPARE(readFile(path), content);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{u"labels.csv"_qs});
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void SaveSafetyTest::fullDiskKeepsTheFileWhole_data()
{
    QTest::addColumn<QString>("room");
    QTest::newRow("room for the lock, not for the content") << u"lock"_qs;
    QTest::newRow("no block left") << u"none"_qs;
    QTest::newRow("no inode left") << u"inodes"_qs;
}

// A small file system of its own, filled up: the save must fail as a save,
// never put a short or empty file in place of the annotation file.
void SaveSafetyTest::fullDiskKeepsTheFileWhole()
{
    QFETCH(QString, room);
    const QString disk = dir->filePath(u"disk"_qs);
    QVERIFY(QDir().mkdir(disk));
    // The root folder and the annotation file take the only two inodes.
    const QByteArray options = room == u"inodes" ? "size=256k,nr_inodes=2" : "size=64k";
    if (::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, options.constData()) != 0)
        QSKIP(qPrintable(u"mounting a small file system needs root: "_qs
                         + QString::fromLocal8Bit(std::strerror(errno))));
    const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(disk).constData(), MNT_DETACH); });

    const QString path = disk + u"/labels.csv"_qs;
    QByteArray content = headerLine();
    for (int i = 0; i < 300; ++i)
        content += row(u"b"_qs + QString::number(i) + u".png"_qs, {i % 19 + 1});
    writeFile(path, content);
    if (room != u"inodes") {
        QFile filler(disk + u"/filler"_qs);
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray page(int(::sysconf(_SC_PAGESIZE)), 'x');
        while (filler.write(page) == page.size()) {
        }
        if (room == u"lock")
            QVERIFY(filler.resize(filler.size() - page.size()));
    }
    const QStringList entries = QDir(disk).entryList(QDir::Files | QDir::Hidden);

    window = create(*answerer, path);
    loadFolder(*answerer, window.get(), makeFolder(u"imgs"_qs, {u"a.png"_qs, u"b.png"_qs}));
    call(window.get(), "annotate", entry(4));
    button(window.get(), u"保存并下一张"_qs)->click();

    QCOMPARE(boxTexts(), QStringList{u"磁盘空间不足，标签文件未保存"_qs});
    QVERIFY(readFile(path) == content);
    QCOMPARE(QDir(disk).entryList(QDir::Files | QDir::Hidden), entries);
    QCOMPARE(currentIndex(window.get()), 0);
    QVERIFY(annotationsModified(window.get()));
    QCOMPARE(listTexts(window.get()), QStringList{entry(4)});
}

bool SaveSafetyTest::mountWholeSecondFileSystem(const QString &folder)
{
    if (::geteuid() != 0)
        return false;
    const QString image = dir->filePath(u"ext4.img"_qs);
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(16 << 20))
        return false;
    file.close();
    const auto run = [](const QString &program, const QStringList &arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    };
    return QDir().mkdir(folder)
        && run(u"mkfs.ext4"_qs, {u"-q"_qs, u"-F"_qs, u"-I"_qs, u"128"_qs, image})
        && run(u"mount"_qs, {u"-o"_qs, u"loop"_qs, image, folder});
}

// Where times keep whole seconds and inode numbers come back, another
// program's save within the second of this one's can leave the file exactly
// the identity this one wrote. Three stores saving rows of one size in turns
// stand for three windows; an in-place edit right after a save stands for
// another program.
void SaveSafetyTest::wholeSecondFileSystemLosesNoRow()
{
    const QString disk = dir->filePath(u"ext4"_qs);
    if (!mountWholeSecondFileSystem(disk))
        QSKIP("mounting a loop ext4 file system needs root, mkfs.ext4 and a loop device");
    const auto unmount = qScopeGuard([&] {
        QProcess::execute(u"umount"_qs, {u"-l"_qs, disk});
    });

    const QString path = disk + u"/labels.csv"_qs;
    const int rows = 90;
    QByteArray content = headerLine();
    QStringList names;
    for (int i = 0; i < rows; ++i) {
        names.append(u"n"_qs + QString::number(100 + i) + u".png"_qs);
        content += row(names.last());
    }
    writeFile(path, content);

    const QStringList labels = catalogue();
    std::vector<std::unique_ptr<CsvAnnotationFile>> stores;
    for (int k = 0; k < 3; ++k) {
        stores.push_back(std::make_unique<CsvAnnotationFile>(path, labels));
        stores.back()->refresh();
    }
    QByteArray expected = headerLine();
    for (int i = 0; i < rows; ++i) {
        CsvAnnotationFile &store = *stores[std::size_t(i % 3)];
        store.refresh();
        QCOMPARE(store.saveRow(names.at(i), {labels.at(i % 19)}), SaveResult::Saved);
        expected += row(names.at(i), {i % 19 + 1});
    }
    QCOMPARE(readFile(path), expected);

    // An edit of the same size in place, within the second of a save: the
    // next save keeps it, and the look once the second has settled sees it,
    // the store's own or the next action's.
    CsvAnnotationFile &store = *stores.front();
    const auto editInPlace = [&](int i, int from, int to) {
        QByteArray edited = readFile(path);
        edited.replace(row(names.at(i), {from}), row(names.at(i), {to}));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QCOMPARE(file.write(edited), qint64(edited.size()));
    };
    QCOMPARE(store.saveRow(names.at(0), {labels.at(5)}), SaveResult::Saved);
    editInPlace(1, 2, 3);
    store.refresh();
    QCOMPARE(store.saveRow(names.at(2), {labels.at(7)}), SaveResult::Saved);
    QVERIFY(readFile(path).contains(row(names.at(1), {3})));
    QCOMPARE(store.storedLabels(names.at(1)), QStringList{labels.at(2)});

    editInPlace(3, 4, 5);
    store.refresh();
    QTRY_COMPARE_WITH_TIMEOUT(store.storedLabels(names.at(3)), QStringList{labels.at(4)}, 5000);
    QCOMPARE(store.saveRow(names.at(4), {labels.at(7)}), SaveResult::Saved);
    editInPlace(5, 6, 7);
    store.refresh();
    QTest::qSleep(2100);
    store.refresh();
    QCOMPARE(store.storedLabels(names.at(5)), QStringList{labels.at(6)});

    // Three programs at once, each looking at the file before each save.
    const int rowsEach = 150;
    QList<QByteArray> zeros;
    QList<QByteArray> saved;
    for (const QString &prefix : {u"a"_qs, u"b"_qs, u"c"_qs}) {
        for (int i = 0; i < rowsEach; ++i) {
            const QString name = prefix + QString::number(i) + u".png"_qs;
            zeros.append(row(name));
            saved.append(row(name, {i % 19 + 1}));
        }
    }
    std::sort(zeros.begin(), zeros.end());
    std::sort(saved.begin(), saved.end());
    writeFile(path, headerLine() + zeros.join());
    QProcess savers[3];
    for (int k = 0; k < 3; ++k)
        startSaver(savers[k], {u"store"_qs, path, QString(QChar(u'a' + k)), QString::number(rowsEach)});
    for (QProcess &saver : savers) {
        QVERIFY(saver.waitForFinished(240000));
        QCOMPARE(saver.exitCode(), int(SaveResult::Saved));
    }
    QCOMPARE(readFile(path), headerLine() + saved.join());
}

QTEST_MAIN(SaveSafetyTest)
#include "tst_savesafety.moc"
