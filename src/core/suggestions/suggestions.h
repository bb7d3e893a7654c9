#pragma once

#include "annotationstore.h"
#include "labelquality.h"
#include "predictionstore.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>


// The team's classifier for one store and one open folder: the model chosen
// (an ONNX file with its description beside it), the predictions stored for
// it, and the background pass that predicts the listed images that have
// none yet, the shown image first, then its neighbours, then the rest in
// listing order, on one thread of low priority. Nothing here waits for the
// model: a question is answered from the predictions at hand.
//
// Labels are the catalogue's, by their index in it; a label the model does
// not give has no probability and no threshold.
class Suggestions : public QObject
{
    Q_OBJECT

public:
    // Predictions are kept in `store`; `catalogue` is the store's catalogue.
    Suggestions(const QStringList &catalogue, std::unique_ptr<PredictionStore> store,
                QObject *parent = nullptr);
    ~Suggestions() override;

    // Takes the model `onnxPath` (its description `NAME.json` beside it) in
    // place of the one there was. Refused with the text a person reads in
    // `error` ("无法载入模型：%1", "缺少模型说明文件：%1", "模型说明文件有误：%1"),
    // nothing changed.
    bool loadModel(const QString &onnxPath, QString *error);
    void unloadModel();
    bool hasModel() const;
    // The description's name, and the .onnx file's path; empty without a model.
    QString modelName() const;
    QString modelPath() const;

    // The images to predict and to answer for: the open folder's listing.
    void setListed(const QString &folder, const QStringList &names);
    // The position shown now, predicted before every other.
    void setShown(qsizetype position);

    // Per catalogue label: the model's threshold; empty without a model, NaN
    // for a label the model does not give.
    QList<float> thresholds() const;
    // Per catalogue label: the stored probability for `fileName` (NaN for a
    // label the model does not give); nothing when there is no current
    // prediction of it.
    std::optional<QList<float>> probabilities(const QString &fileName) const;
    // The labels at or above their threshold, in catalogue order.
    QStringList suggested(const QString &fileName) const;
    // How sure the model is: the smallest |p - threshold| over its labels;
    // nothing without a prediction.
    std::optional<float> certainty(const QString &fileName) const;
    // The listed position, among those `eligible` accepts, whose prediction
    // is least sure (ties: the first listed); -1 when none has a prediction.
    qsizetype leastSure(const std::function<bool(qsizetype)> &eligible) const;

    // The same by listed position, for tables of a million rows: the
    // suggested labels as bits of the catalogue (0 without a prediction), and
    // the certainty (NaN without a prediction).
    quint32 suggestedFlagsAt(qsizetype position) const;
    float certaintyAt(qsizetype position) const;

    // Learning from the dataset's own labels: trains, in the background, a
    // logistic regression per label on the embeddings of the marked listed
    // images with a prediction (`listedFacts`: the store's facts of every
    // listed image, in listing order). Once trained, every answer above is
    // the better of the model's and the trained probability per label;
    // modelChanged() tells it. A model without embeddings trains nothing.
    // The store is asked first whether this program may train: on a team's
    // server one program trains at a time, and the others answer with the
    // weights it stores, taken in whenever they change.
    void retrain(const std::vector<AnnotationStore::RowFacts> &listedFacts);
    // A training runs, or its result is being taken into every answer.
    bool isTraining() const;
    // The labels, as bits of the catalogue, whose probability for
    // `fileName` is the trained one.
    quint32 trainedLabels(const QString &fileName) const;
    // The last training's result and the marked images it learnt from, in
    // its rows' order; null before one finished.
    std::shared_ptr<const LearningResult> learnt() const;
    std::shared_ptr<const MarkedImages> learntFrom() const;

    // How good the suggestions are over the marked listed images with a
    // prediction, as `listedFacts` has them now: the per-label table and the
    // likely mistakes, a trained label's figures cross-validated (an image
    // marked since the training counts with its trained probability). Kept
    // until the next assess(); the rows of both are listed positions. Only
    // the images whose facts changed since the last assess() are counted
    // anew (a save costs one image's labels), unless a training or new
    // thresholds were taken since.
    void assess(const std::vector<AnnotationStore::RowFacts> &listedFacts);
    const Assessment &assessment() const;
    // The listed position of each doubtful image of assessment(), most
    // doubtful first.
    std::vector<qint32> doubtfulPositions() const;
    // The doubtful labels of the listed image at `position` (most doubtful
    // first); none when it is not doubtful.
    std::vector<DoubtfulLabel> doubtfulLabelsAt(qsizetype position) const;
    // The place of the listed image at `position` in doubtfulPositions();
    // -1 when it is not doubtful.
    qsizetype doubtfulRankAt(qsizetype position) const;

    // Thresholds adopted for this store (one per catalogue label; NaN keeps
    // the model's) in place of the description's, for every answer, until
    // another model is taken; every answer may change (modelChanged()).
    void setThresholds(const QList<float> &thresholds);
    bool hasAdoptedThresholds() const;

    // Listed images with a current prediction, and how many are listed.
    qsizetype predictedCount() const;
    qsizetype listedCount() const;
    // Listed images whose picture could not be decoded: they get none.
    qsizetype undecodableCount() const;

signals:
    // A model was taken or let go, or the predictions stored for it were
    // all read (after a model was taken, or a new listing): every answer may
    // have changed.
    void modelChanged();
    // New predictions are stored and answered for.
    void predicted(const QStringList &fileNames);
    // The background pass moved on: predictedCount() of listedCount().
    void progress(qsizetype done, qsizetype total);
    // The model turned out unusable at its first inference (an output whose
    // size is not the number of its labels): it was let go, and `text` is
    // what the person is told, in the same box as a refused load.
    void modelRefused(const QString &text);
    // setThresholds() took `thresholds`.
    void thresholdsAdopted(const QList<float> &thresholds);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
