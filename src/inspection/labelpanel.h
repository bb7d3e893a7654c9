#pragma once

#include <QChar>
#include <QStringList>
#include <QTreeWidget>

// The 19 catalogue labels in catalogue order, each with its two-letter code
// apart from its name ("RO  树根"), the current image's labels marked: saved
// ones as saved, added or removed ones as not yet saved. A click asks for a
// label to be given, or removed when the image has it; the panel itself
// changes nothing. While the first letter of a code waits, the labels it can
// still complete stand out and the others dim. Beside each label the
// model's probability for the image, as a short bar and a whole percentage,
// those at or above their threshold marked as suggested.
class LabelPanel final : public QTreeWidget
{
    Q_OBJECT

public:
    enum Column { Mark, Code, Name, Chance, ColumnCount };
    // What a row shows of the current image's label.
    enum class State { Absent, Saved, Added, Removed };
    // How a row stands while a first letter waits.
    enum class Emphasis { Plain, Candidate, Dimmed };

    LabelPanel(const QStringList &catalogue, QWidget *parent = nullptr);

    // `current` as the main window shows them, `saved` as the annotation
    // file holds them.
    void showLabels(const QStringList &current, const QStringList &saved);
    // The first letter of a code that waits for its second; null while none
    // waits.
    void showWaiting(QChar first);
    // The labels a click on a row would change; false while there is no
    // image.
    void setClickable(bool clickable);
    // Per catalogue label, the model's probability for the current image and
    // its threshold (NaN: a label the model does not give, which shows
    // nothing); empty lists show none. `trained`: the labels, as bits of the
    // catalogue, whose probability was trained on this dataset's labels;
    // their bars are drawn apart.
    void showProbabilities(const QList<float> &probabilities, const QList<float> &thresholds,
                           quint32 trained = 0);

    QStringList catalogue() const { return entries; }
    State state(int row) const { return states.at(row); }
    Emphasis emphasis(int row) const;
    bool isSuggested(int row) const;

signals:
    void giveRequested(const QString &label);
    void removeRequested(const QString &label);

private:
    void showRow(int row);
    void showChance(int row);

    QStringList entries;
    QList<State> states;
    QList<float> chances;
    QList<float> thresholds;
    quint32 trained = 0;
    QChar waiting;
    bool clickable = false;
};
