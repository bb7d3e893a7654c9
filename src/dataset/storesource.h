#pragma once

#include "datasetsource.h"

class LabellingSession;

// The dataset window's source: the labelling session (the listed images and
// the current position) and its store, whose listed facts and counts answer
// for every listed image.
class StoreSource final : public DatasetSource
{
    Q_OBJECT

public:
    explicit StoreSource(const LabellingSession *labelling, QObject *parent = nullptr);

    QStringList catalogue() const override;
    QString annotationPath() const override;
    const QStringList &names() const override;
    quint64 listing() const override;
    int currentIndex() const override;
    ImageFacts factsAt(qsizetype position) const override;
    const std::vector<ImageFacts> &facts() const override;
    qsizetype markedCount() const override;
    qsizetype labelCount(int label) const override;
    bool knowsWhoSaved() const override;
    QString savedBy(qsizetype position) const override;
    AnnotationStore::Review reviewAt(qsizetype position) const override;
    std::optional<AnnotationStore::DoubleLabels> doubleLabelsAt(qsizetype position) const override;
    qint64 savedAt(qsizetype position) const override;
    QStringList annotators() const override;
    const Suggestions *suggestions() const override;
    void refresh() override;

private:
    const LabellingSession *labelling;
};
