#include "datasetfilter.h"

#include "suggestions.h"

#include <QStringMatcher>

#include <algorithm>
#include <cmath>

namespace {

// The name part of a filter, prepared once to look through many names.
class NameMatch
{
public:
    explicit NameMatch(const QString &text)
        : everything(text.isEmpty())
        , matcher(text, Qt::CaseInsensitive)
    {
    }
    bool operator()(const QString &name) const { return everything || matcher.indexIn(name) >= 0; }

private:
    bool everything;
    QStringMatcher matcher;
};

// The model's part of a filter, prepared once: which labels the model
// gives, as bits of the catalogue.
class ModelMatch
{
public:
    ModelMatch(const DatasetFilter &filter, const DatasetSource &images)
        : choice(filter.choice)
        , model(filter.asksTheModel() ? images.suggestions() : nullptr)
    {
        const QList<float> thresholds = model ? model->thresholds() : QList<float>();
        for (qsizetype label = 0; label < thresholds.size(); ++label) {
            if (!std::isnan(thresholds.at(label)))
                given |= 1u << label;
        }
    }
    bool operator()(qsizetype position, const ImageFacts &facts) const
    {
        if (choice < DatasetFilter::FirstSuggested)
            return true;
        if (!model || std::isnan(model->certaintyAt(position)))
            return false;
        const quint32 suggested = model->suggestedFlagsAt(position);
        if (choice == DatasetFilter::Doubtful)
            return model->doubtfulRankAt(position) >= 0;
        if (choice == DatasetFilter::Disagreeing)
            return facts.marked && (facts.flags & given) != suggested;
        return suggested & (1u << (choice - DatasetFilter::FirstSuggested));
    }

private:
    int choice;
    const Suggestions *model;
    quint32 given = 0;
};

// The state and label part of a filter, on one image's facts.
bool keepsFacts(const DatasetFilter &filter, const ImageFacts &facts)
{
    if (filter.asksTheModel())
        return true;
    switch (filter.choice) {
    case DatasetFilter::All:
        return true;
    case DatasetFilter::Marked:
        return facts.marked;
    case DatasetFilter::Unmarked:
        return !facts.marked;
    case DatasetFilter::NoDefectWithDefect: {
        if (filter.noDefectLabel < 0)
            return false;
        const quint32 noDefect = 1u << filter.noDefectLabel;
        const int catalogueSize = DatasetFilter::NoDefectWithDefect - DatasetFilter::FirstLabel;
        const quint32 defects = ((1u << catalogueSize) - 1) & ~noDefect;
        return (facts.flags & noDefect) && (facts.flags & defects);
    }
    default:
        return facts.flags & (1u << (filter.choice - DatasetFilter::FirstLabel));
    }
}

} // namespace

bool DatasetFilter::keepsReview(const DatasetSource &images, qsizetype position) const
{
    switch (review) {
    case Unreviewed:
        return images.factsAt(position).hasRow
            && images.reviewAt(position) == AnnotationStore::Unreviewed;
    case SentBack:
        return images.reviewAt(position) == AnnotationStore::SentBack;
    case Accepted:
        return images.reviewAt(position) == AnnotationStore::Accepted;
    case Differing: {
        const auto pair = images.doubleLabelsAt(position);
        return pair && pair->first != pair->second && !pair->settled;
    }
    }
    return true;
}

// Most doubtful first: from an image not on the list, Alt+Right starts at
// the most doubtful one and Alt+Left at the least.
qsizetype DatasetFilter::nearestDoubtful(const DatasetSource &images, qsizetype from,
                                         int step) const
{
    const Suggestions *model = images.suggestions();
    if (!model)
        return -1;
    const std::vector<qint32> order = model->doubtfulPositions();
    const qsizetype count = qsizetype(order.size());
    const qsizetype rank = model->doubtfulRankAt(from);
    qsizetype next = rank >= 0 ? rank + step : (step > 0 ? 0 : count - 1);
    for (; next >= 0 && next < count; next += step) {
        if (keeps(images, order[std::size_t(next)]))
            return order[std::size_t(next)];
    }
    return -1;
}

bool DatasetFilter::keeps(const DatasetSource &images, qsizetype position) const
{
    const ImageFacts facts = images.factsAt(position);
    return keepsFacts(*this, facts) && ModelMatch(*this, images)(position, facts)
        && (savedBy.isEmpty() || images.savedBy(position) == savedBy)
        && keepsReview(images, position) && NameMatch(nameText)(images.names().at(position));
}

// Both passes read the facts in place, one after the other.
std::vector<int> DatasetFilter::keptPositions(const DatasetSource &images) const
{
    const NameMatch nameMatches(nameText);
    const ModelMatch modelMatches(*this, images);
    const QStringList &names = images.names();
    const std::vector<ImageFacts> &facts = images.facts();
    const qsizetype size = std::min(names.size(), qsizetype(facts.size()));
    std::vector<int> kept;
    for (qsizetype i = 0; i < size; ++i) {
        if (keepsFacts(*this, facts[size_t(i)]) && modelMatches(i, facts[size_t(i)])
            && (savedBy.isEmpty() || images.savedBy(i) == savedBy) && keepsReview(images, i)
            && nameMatches(names.at(i)))
            kept.push_back(int(i));
    }
    return kept;
}

qsizetype DatasetFilter::nearestKept(const DatasetSource &images, qsizetype from, int step) const
{
    if (choice == Doubtful)
        return nearestDoubtful(images, from, step);
    const NameMatch nameMatches(nameText);
    const ModelMatch modelMatches(*this, images);
    const QStringList &names = images.names();
    const std::vector<ImageFacts> &facts = images.facts();
    const qsizetype size = std::min(names.size(), qsizetype(facts.size()));
    qsizetype position = qBound(qsizetype(-1), from, size) + step;
    for (; position >= 0 && position < size; position += step) {
        if (keepsFacts(*this, facts[size_t(position)])
            && modelMatches(position, facts[size_t(position)])
            && (savedBy.isEmpty() || images.savedBy(position) == savedBy)
            && keepsReview(images, position) && nameMatches(names.at(position)))
            return position;
    }
    return -1;
}
