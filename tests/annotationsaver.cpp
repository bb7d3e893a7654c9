// A second program saving into the same annotation file, as another window
// would. Modes:
//   annotationsaver save PATH PREFIX COUNT   saves COUNT rows named PREFIX<n>.png
//                                            one after the other; the exit status
//                                            is the last save's result
//   annotationsaver hold PATH                takes the file's lock, says "held"
//                                            and waits to be killed
//   annotationsaver store PATH PREFIX COUNT  as save, through one annotation store
//                                            that looks at the file before each
//                                            save, as a window's display does
//   annotationsaver team ADDRESS PREFIX COUNT
//                                            as save, into a team's dataset, trying a
//                                            failed save again as a person would;
//                                            says "saved NAME" after each save the
//                                            server confirmed
#include "annotationfile.h"
#include "fileoracle.h"
#include "annotationlock.h"
#include "csvannotationfile.h"
#include "teamaddress.h"
#include "teamstore.h"
#include "testwindow.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QThread>

static int saveToTeam(const QString &addressText, const QString &prefix, int count,
                      const QStringList &catalogue)
{
    QString error;
    const auto address = TeamAddress::parse(addressText, &error);
    if (!address)
        return 2;
    TeamStore store(*address, catalogue, prefix);
    if (!store.open(&error))
        return 3;
    QTextStream out(stdout);
    for (int i = 0; i < count; ++i) {
        const QString name = prefix + QString::number(i) + QStringLiteral(".png");
        store.showing(name);
        SaveResult result = SaveResult::Unreachable;
        for (int tries = 0; tries < 100 && result != SaveResult::Saved; ++tries) {
            if (tries > 0)
                QThread::msleep(100);
            result = store.saveRow(name, {catalogue.at(i % 19)});
        }
        if (result != SaveResult::Saved)
            return int(result);
        out << "saved " << name << Qt::endl;
    }
    return 0;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == u"hold") {
        AnnotationLock lock(args.at(2));
        if (lock.acquire() != AnnotationLock::Held)
            return 2;
        QTextStream(stdout) << "held" << Qt::endl;
        QThread::sleep(600);
        return 0;
    }
    if (args.size() != 5 || (args.at(1) != u"save" && args.at(1) != u"store" && args.at(1) != u"team"))
        return 2;

    const QStringList catalogue = TestWindow::catalogue();
    const int count = args.at(4).toInt();
    if (args.at(1) == u"team")
        return saveToTeam(args.at(2), args.at(3), count, catalogue);
    CsvAnnotationFile store(args.at(2), catalogue);
    SaveResult result = SaveResult::Saved;
    for (int i = 0; i < count && result == SaveResult::Saved; ++i) {
        const QString name = args.at(3) + QString::number(i) + QStringLiteral(".png");
        if (args.at(1) == u"store") {
            store.refresh();
            result = store.saveRow(name, {catalogue.at(i % 19)});
        } else {
            result = FileOracle::saveRow(args.at(2), name, catalogue, {catalogue.at(i % 19)});
        }
    }
    return int(result);
}
