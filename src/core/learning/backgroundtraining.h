#pragma once

#include "labellearning.h"

#include <QObject>

#include <functional>

#include <memory>
#include <vector>

class QThread;

// Runs LabelLearning::train() on a thread of its own at low priority and
// hands the result to the thread that started it; the caller never waits.
// A newer start() or cancel() makes the running training stop at its next
// label or fold, and its result is never delivered.
class BackgroundTraining : public QObject
{
    Q_OBJECT

public:
    explicit BackgroundTraining(QObject *parent = nullptr);
    // Stops what runs and waits for it: at most one liblinear training.
    ~BackgroundTraining() override;

    void start(MarkedImages images, std::vector<float> thresholds);
    // The same with the images gathered by `gather` on the training's
    // thread, so that making a million rows of embeddings costs the caller
    // nothing.
    void start(std::function<std::shared_ptr<const MarkedImages>()> gather,
               std::vector<float> thresholds);
    void cancel();
    bool isRunning() const;

signals:
    void trained(std::shared_ptr<const LearningResult> result);

private:
    void finish(quint64 run, std::shared_ptr<const LearningResult> result);

    std::vector<QThread *> threads;
    std::shared_ptr<std::atomic<bool>> cancelled;
    quint64 runs = 0;
    bool running = false;
};
