#include "backgroundtraining.h"

#include <QThread>

#include <algorithm>

BackgroundTraining::BackgroundTraining(QObject *parent) : QObject(parent) {}

BackgroundTraining::~BackgroundTraining()
{
    cancel();
    for (QThread *thread : threads) {
        thread->wait();
        delete thread;
    }
}

void BackgroundTraining::start(MarkedImages images, std::vector<float> thresholds)
{
    auto kept = std::make_shared<const MarkedImages>(std::move(images));
    start([kept] { return kept; }, std::move(thresholds));
}

void BackgroundTraining::start(std::function<std::shared_ptr<const MarkedImages>()> gather,
                               std::vector<float> thresholds)
{
    cancel();
    cancelled = std::make_shared<std::atomic<bool>>(false);
    const quint64 run = ++runs;
    running = true;
    QThread *thread = QThread::create(
        [this, run, stop = cancelled, gather = std::move(gather),
         thresholds = std::move(thresholds)] {
            const std::shared_ptr<const MarkedImages> images = gather();
            std::optional<LearningResult> result = LabelLearning::train(*images, thresholds, *stop);
            if (!result)
                return;
            auto shared = std::make_shared<const LearningResult>(std::move(*result));
            QMetaObject::invokeMethod(
                this, [this, run, shared] { finish(run, shared); }, Qt::QueuedConnection);
        });
    connect(thread, &QThread::finished, this, [this, thread] {
        threads.erase(std::remove(threads.begin(), threads.end(), thread), threads.end());
        thread->deleteLater();
    });
    threads.push_back(thread);
    thread->start(QThread::LowPriority);
}

void BackgroundTraining::cancel()
{
    if (cancelled)
        cancelled->store(true);
    running = false;
}

bool BackgroundTraining::isRunning() const
{
    return running;
}

void BackgroundTraining::finish(quint64 run, std::shared_ptr<const LearningResult> result)
{
    if (run != runs || !running)
        return;
    running = false;
    emit trained(std::move(result));
}
