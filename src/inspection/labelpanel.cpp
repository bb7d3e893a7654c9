#include "labelpanel.h"

#include "labelcatalogue.h"

#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>

#include <cmath>

namespace {

const QColor savedBackground(0xe8, 0xf5, 0xe9);
const QColor unsavedBackground(0xff, 0xec, 0xb3);
const QColor candidateBackground(0xbb, 0xde, 0xfb);
const QColor savedText(0x2e, 0x7d, 0x32);
const QColor unsavedText(0xc6, 0x28, 0x28);
const QColor dimmedText(0xb0, 0xb0, 0xb0);
const QColor chanceBar(0x90, 0xca, 0xf9);
const QColor suggestedBar(0x1e, 0x88, 0xe5);
// A trained label's bar: another hue, so that it reads as this dataset's.
const QColor trainedBar(0xa5, 0xd6, 0xa7);
const QColor trainedSuggestedBar(0x2e, 0x7d, 0x32);

// The probability's bar under its percentage, in the cell's left part.
constexpr int barWidth = 36;
constexpr int chanceRole = Qt::UserRole;
constexpr int suggestedRole = Qt::UserRole + 1;
constexpr int trainedRole = Qt::UserRole + 2;

class ChanceDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        const QVariant chance = index.data(chanceRole);
        if (!chance.isValid())
            return;
        const QRect cell = option.rect.adjusted(4, option.rect.height() - 5, 0, -2);
        painter->fillRect(QRect(cell.topLeft(), QSize(barWidth, cell.height())),
                          QColor(0xe0, 0xe0, 0xe0));
        const int filled = int(std::lround(barWidth * qBound(0.0, chance.toDouble(), 1.0)));
        const bool suggested = index.data(suggestedRole).toBool();
        const bool trained = index.data(trainedRole).toBool();
        painter->fillRect(QRect(cell.topLeft(), QSize(filled, cell.height())),
                          trained ? (suggested ? trainedSuggestedBar : trainedBar)
                                  : (suggested ? suggestedBar : chanceBar));
    }
};

} // namespace

LabelPanel::LabelPanel(const QStringList &catalogue, QWidget *parent)
    : QTreeWidget(parent)
    , entries(catalogue)
    , states(catalogue.size(), State::Absent)
{
    setObjectName(QStringLiteral("labelPanel"));
    setColumnCount(ColumnCount);
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Keys belong to the picture and to the codes: the panel is clicked, never
    // typed into.
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);

    QFont codeFont = font();
    codeFont.setBold(true);
    codeFont.setFamily(QStringLiteral("monospace"));
    codeFont.setStyleHint(QFont::TypeWriter);
    for (const QString &entry : catalogue) {
        auto *item = new QTreeWidgetItem(this);
        item->setText(Code, labelCode(entry));
        item->setFont(Code, codeFont);
        item->setText(Name, entry.chopped(3));
        item->setTextAlignment(Mark, Qt::AlignCenter);
    }
    setItemDelegateForColumn(Chance, new ChanceDelegate(this));
    QHeaderView *columns = header();
    columns->setStretchLastSection(false);
    columns->setSectionResizeMode(Name, QHeaderView::Stretch);
    columns->setSectionResizeMode(Chance, QHeaderView::Fixed);
    columns->resizeSection(Chance, qMax(barWidth + 8,
                                        fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 12));
    columns->setSectionResizeMode(Mark, QHeaderView::Fixed);
    columns->setSectionResizeMode(Code, QHeaderView::ResizeToContents);
    columns->resizeSection(Mark, fontMetrics().horizontalAdvance(QStringLiteral("✓")) + 14);

    // Every row in sight, none scrolled away.
    const int rows = int(catalogue.size());
    setMinimumHeight(rows * sizeHintForRow(0) + 2 * frameWidth() + 2);
    setMaximumHeight(minimumHeight());

    connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) {
        const int row = indexOfTopLevelItem(item);
        if (!this->clickable || row < 0)
            return;
        const State state = states.at(row);
        if (state == State::Saved || state == State::Added)
            emit removeRequested(entries.at(row));
        else
            emit giveRequested(entries.at(row));
    });
    for (int row = 0; row < entries.size(); ++row)
        showRow(row);
}

void LabelPanel::showLabels(const QStringList &current, const QStringList &saved)
{
    for (int row = 0; row < entries.size(); ++row) {
        const QString &entry = entries.at(row);
        const bool shown = current.contains(entry);
        const bool stored = saved.contains(entry);
        const State state = shown ? (stored ? State::Saved : State::Added)
                                  : (stored ? State::Removed : State::Absent);
        if (state != states.at(row)) {
            states[row] = state;
            showRow(row);
        }
    }
}

void LabelPanel::showWaiting(QChar first)
{
    if (first == waiting)
        return;
    waiting = first;
    for (int row = 0; row < entries.size(); ++row)
        showRow(row);
}

void LabelPanel::setClickable(bool clickable)
{
    if (clickable == this->clickable)
        return;
    this->clickable = clickable;
    setCursor(clickable ? Qt::PointingHandCursor : Qt::ArrowCursor);
    for (int row = 0; row < entries.size(); ++row)
        showRow(row);
}

void LabelPanel::showProbabilities(const QList<float> &probabilities,
                                   const QList<float> &thresholds, quint32 trained)
{
    if (probabilities == chances && thresholds == this->thresholds && trained == this->trained)
        return;
    chances = probabilities;
    this->thresholds = thresholds;
    this->trained = trained;
    for (int row = 0; row < entries.size(); ++row)
        showRow(row);
}

bool LabelPanel::isSuggested(int row) const
{
    const float chance = chances.value(row, NAN);
    const float threshold = thresholds.value(row, NAN);
    return !std::isnan(chance) && !std::isnan(threshold) && chance >= threshold;
}

LabelPanel::Emphasis LabelPanel::emphasis(int row) const
{
    if (waiting.isNull())
        return Emphasis::Plain;
    const QString &entry = entries.at(row);
    return entry.at(entry.size() - 2) == waiting ? Emphasis::Candidate : Emphasis::Dimmed;
}

void LabelPanel::showRow(int row)
{
    QTreeWidgetItem *item = topLevelItem(row);
    const State state = states.at(row);
    const QString &entry = entries.at(row);
    const bool candidate = emphasis(row) == Emphasis::Candidate;
    const bool dimmed = emphasis(row) == Emphasis::Dimmed;

    QString mark;
    QString stateText;
    QColor background;
    QColor markColour;
    switch (state) {
    case State::Absent:
        stateText = clickable ? tr("单击添加") : QString();
        break;
    case State::Saved:
        mark = QStringLiteral("✓");
        stateText = tr("已保存；单击删除");
        background = savedBackground;
        markColour = savedText;
        break;
    case State::Added:
        mark = QStringLiteral("+");
        stateText = tr("已添加，未保存；单击删除");
        background = unsavedBackground;
        markColour = unsavedText;
        break;
    case State::Removed:
        mark = QStringLiteral("−");
        stateText = tr("已删除，未保存；单击重新添加");
        background = unsavedBackground;
        markColour = unsavedText;
        break;
    }
    if (candidate)
        background = candidateBackground;

    item->setText(Mark, mark);
    QFont nameFont = font();
    nameFont.setBold(state == State::Saved || state == State::Added || candidate);
    nameFont.setStrikeOut(state == State::Removed);
    item->setFont(Name, nameFont);
    item->setFont(Mark, nameFont);
    for (int column = 0; column < ColumnCount; ++column) {
        item->setBackground(column, background.isValid() ? QBrush(background) : QBrush());
        item->setForeground(column, dimmed ? QBrush(dimmedText)
                                    : column == Mark && markColour.isValid() ? QBrush(markColour)
                                                                             : QBrush());
        if (column == Chance)
            continue;
        item->setToolTip(column, stateText.isEmpty()
                                     ? entry
                                     : QStringLiteral("%1：%2").arg(entry, stateText));
    }
    showChance(row);
}

// A label the model does not give, or an image it has not predicted, shows
// an empty cell.
void LabelPanel::showChance(int row)
{
    QTreeWidgetItem *item = topLevelItem(row);
    const float chance = chances.value(row, NAN);
    if (std::isnan(chance)) {
        item->setText(Chance, QString());
        item->setData(Chance, chanceRole, QVariant());
        item->setToolTip(Chance, QString());
        return;
    }
    const bool suggested = isSuggested(row);
    item->setText(Chance, QStringLiteral("%1%").arg(std::lround(chance * 100.0f)));
    item->setData(Chance, chanceRole, double(chance));
    item->setData(Chance, suggestedRole, suggested);
    const bool learnt = trained >> row & 1u;
    item->setData(Chance, trainedRole, learnt);
    item->setTextAlignment(Chance, Qt::AlignRight | Qt::AlignTop);
    QFont chanceFont = font();
    chanceFont.setBold(suggested);
    item->setFont(Chance, chanceFont);
    if (suggested && emphasis(row) != Emphasis::Dimmed)
        item->setForeground(Chance, QBrush(suggestedBar));
    const QString told = suggested ? tr("模型建议：%1（阈值 %2%）")
                                         .arg(entries.at(row))
                                         .arg(std::lround(thresholds.at(row) * 100.0f))
                                   : tr("模型的概率");
    item->setToolTip(Chance, learnt ? told + u'\n' + tr("按本数据集标签训练") : told);
}
