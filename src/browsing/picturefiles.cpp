#include "picturefiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>

FileStamp FileStamp::of(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return {info.size(), info.lastModified().toMSecsSinceEpoch()};
}

QThreadPool *newBackgroundPool()
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return nullptr;
    auto *pool = new QThreadPool(application);
    pool->setMaxThreadCount(qMax(1, QThread::idealThreadCount() - 1));
    return pool;
}
