// The dataset window shows what DatasetFeature's source reads from the
// session and the annotation source, when the feature says it changed. The summary and the statistics describe every
// listed image, the table only those the filter keeps.
#include "datasetwindow.h"

#include "datasetfeature.h"
#include "datasetmodel.h"
#include "labelbardelegate.h"
#include "labelcatalogue.h"
#include "labelstatisticsmodel.h"
#include "remembered.h"
#include "splitdialog.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString columnsKey = QStringLiteral("dataset/imageColumns");

// A file name cut where it is too long keeps both its start and its end,
// where recordings put their frame numbers.
class MiddleElided final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = Qt::ElideMiddle;
    }
};

// The narrowest a file name and the labels are cut to before any column
// would leave the table's sight.
constexpr int leastNameWidth = 120;
constexpr int leastLabelsWidth = 120;

} // namespace

DatasetWindow::DatasetWindow(DatasetFeature *feature, QWidget *mainWindow)
    : QWidget(mainWindow, Qt::Window)
    , feature(feature)
{
    setObjectName(QStringLiteral("datasetWindow"));
    setWindowTitle(tr("数据集"));

    imageModel = new DatasetModel(feature->images(), feature->catalogue(), this);
    statisticsModel = new LabelStatisticsModel(feature->images(), feature->catalogue(), this);

    auto *layout = new QVBoxLayout(this);
    auto *topRow = new QHBoxLayout;
    summaryLine = new QLabel(this);
    summaryLine->setObjectName(QStringLiteral("summaryLine"));
    topRow->addWidget(summaryLine, 1);
    createModelControls(topRow);
    auto *splitExport = new QPushButton(tr("导出划分…"), this);
    splitExport->setObjectName(QStringLiteral("splitExport"));
    // A split is cut from the annotation file or the team's dataset;
    // annotations kept elsewhere have none.
    splitExport->setEnabled(!feature->annotationPath().isEmpty());
    connect(splitExport, &QPushButton::clicked, this, &DatasetWindow::openSplitDialog);
    topRow->addWidget(splitExport);
    layout->addLayout(topRow);

    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->addWidget(createStatistics());
    splitter->addWidget(createImageList());
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);

    // The review keys work here too, on the filter shown beside them.
    const auto reviewKey = [this](const QKeySequence &key, int step) {
        auto *action = new QAction(this);
        action->setShortcut(key);
        connect(action, &QAction::triggered, this,
                [this, step] { this->feature->moveByFilter(step, this); });
        addAction(action);
    };
    reviewKey(QKeySequence(Qt::ALT | Qt::Key_Right), 1);
    reviewKey(QKeySequence(Qt::ALT | Qt::Key_Left), -1);

    connect(feature, &DatasetFeature::rebuilt, this, &DatasetWindow::showEverything);
    connect(feature, &DatasetFeature::imageChanged, this, &DatasetWindow::showImageChange);
    connect(feature, &DatasetFeature::currentChanged, this, &DatasetWindow::showCurrent);
    connect(feature, &DatasetFeature::filterChanged, this, [this] {
        imageModel->reset(this->feature->filter());
        showCounts();
        showCurrent(this->feature->currentPosition());
    });

    showEverything();
    resize(1040, 640);
}

QWidget *DatasetWindow::createStatistics()
{
    sortedStatistics = new QSortFilterProxyModel(this);
    sortedStatistics->setSortRole(LabelStatisticsModel::SortRole);
    sortedStatistics->setSourceModel(statisticsModel);

    statisticsView = new QTableView(this);
    statisticsView->setObjectName(QStringLiteral("labelStatistics"));
    statisticsView->setModel(sortedStatistics);
    statisticsView->setItemDelegateForColumn(LabelStatisticsModel::Bar,
                                             new LabelBarDelegate(LabelStatisticsModel::BarRole,
                                                                  statisticsView));
    QHeaderView *rows = statisticsView->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(fontMetrics().height() + 6);
    statisticsView->setSelectionBehavior(QAbstractItemView::SelectRows);
    statisticsView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    statisticsView->setWordWrap(false);
    QHeaderView *header = statisticsView->horizontalHeader();
    header->setSectionResizeMode(LabelStatisticsModel::Entry, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(LabelStatisticsModel::Count, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(LabelStatisticsModel::Share, QHeaderView::ResizeToContents);
    header->setStretchLastSection(true);
    header->setMinimumSectionSize(60);
    // Catalogue order until the person sorts by a column.
    header->setSortIndicator(-1, Qt::DescendingOrder);
    statisticsView->setSortingEnabled(true);
    // Wide enough for the longest entry, both numbers and a bar, and tall
    // enough for every entry, so that neither needs a scroll bar.
    int entryWidth = 0;
    for (const QString &entry : feature->catalogue())
        entryWidth = qMax(entryWidth, fontMetrics().horizontalAdvance(entry));
    const int numberWidth = fontMetrics().horizontalAdvance(QStringLiteral("100.0%"));
    statisticsView->setMinimumWidth(entryWidth + 2 * numberWidth + 3 * 24 + 120);
    statisticsView->setMinimumHeight((fontMetrics().height() + 6) * (statisticsModel->rowCount() + 1)
                                     + 2 * statisticsView->frameWidth() + 4);
    return statisticsView;
}

QWidget *DatasetWindow::createImageList()
{
    auto *panel = new QWidget(this);
    auto *column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);

    auto *filterRow = new QHBoxLayout;
    labelFilter = new QComboBox(panel);
    labelFilter->setObjectName(QStringLiteral("labelFilter"));
    labelFilter->addItems({tr("全部"), tr("已标记"), tr("未标记")});
    labelFilter->addItems(feature->catalogue());
    labelFilter->addItem(tr("无缺陷与缺陷并存"));
    labelFilter->setCurrentIndex(feature->filter().choice);
    showAnnotators();
    showReviewChoices();
    showModelChoices();
    if (!feature->filter().savedBy.isEmpty())
        labelFilter->setCurrentIndex(labelFilter->findData(feature->filter().savedBy));
    if (feature->filter().review != DatasetFilter::AnyReview)
        labelFilter->setCurrentIndex(labelFilter->findData(feature->filter().review, reviewChoiceRole));
    const int modelChoice = labelFilter->findData(feature->filter().choice, modelChoiceRole);
    if (feature->filter().asksTheModel() && modelChoice >= 0)
        labelFilter->setCurrentIndex(modelChoice);
    filterRow->addWidget(labelFilter);
    nameFilter = new QLineEdit(panel);
    nameFilter->setObjectName(QStringLiteral("nameFilter"));
    nameFilter->setPlaceholderText(tr("文件名包含…"));
    nameFilter->setClearButtonEnabled(true);
    nameFilter->setText(feature->filter().nameText);
    filterRow->addWidget(nameFilter, 1);
    column->addLayout(filterRow);
    connect(labelFilter, &QComboBox::currentIndexChanged, this, &DatasetWindow::takeFilter);
    connect(nameFilter, &QLineEdit::textChanged, this, &DatasetWindow::takeFilter);

    imageTable = new QTableView(panel);
    imageTable->setObjectName(QStringLiteral("imageTable"));
    imageTable->setModel(imageModel);
    imageTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    imageTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    imageTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    imageTable->setWordWrap(false);
    // Rows of one fixed height: the view never measures a million rows.
    QHeaderView *rows = imageTable->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(fontMetrics().height() + 6);
    setUpImageColumns();
    // In list order until the person sorts by a column; the review keys
    // then follow the table's order.
    imageTable->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    imageTable->setSortingEnabled(true);
    connect(imageModel, &QAbstractItemModel::modelReset, this,
            [this] { showCurrent(this->feature->currentPosition()); });
    imageTable->installEventFilter(this);
    imageTable->viewport()->installEventFilter(this);
    connect(imageTable, &QTableView::doubleClicked, this, &DatasetWindow::activate);
    column->addWidget(imageTable, 1);

    shownLine = new QLabel(panel);
    shownLine->setObjectName(QStringLiteral("shownLine"));
    column->addWidget(shownLine);
    return panel;
}

bool DatasetWindow::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate)
        feature->lookAndFollow();
    if (event->type() == QEvent::Hide && !event->spontaneous())
        Remembered().setValue(columnsKey, imageTable->horizontalHeader()->saveState());
    return QWidget::event(event);
}

bool DatasetWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == imageTable->viewport() && event->type() == QEvent::Resize)
        fitColumns();
    if (watched == imageTable && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key == QKeySequence::Copy) {
            copySelectedRows();
            return true;
        }
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && !(key->modifiers() & ~Qt::KeypadModifier)) {
            activate(imageTable->currentIndex());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// The widths the person left last time, or the program's own; either way
// the labels take the spare width.
void DatasetWindow::setUpImageColumns()
{
    QHeaderView *header = imageTable->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    imageTable->setColumnWidth(DatasetModel::Position, 70);
    imageTable->setColumnWidth(DatasetModel::FileName, 220);
    imageTable->setColumnWidth(DatasetModel::State, 70);
    imageTable->setColumnWidth(
        DatasetModel::SavedBy,
        fontMetrics().horizontalAdvance(QStringLiteral("annotator，2026-12-31 23:59:59")) + 12);
    imageTable->setItemDelegateForColumn(DatasetModel::FileName, new MiddleElided(imageTable));
    // The widths the person left last time; until there are any, the file
    // name gives way to keep every column in sight.
    const QByteArray rememberedColumns = Remembered().value(columnsKey).toByteArray();
    header->restoreState(rememberedColumns);
    fitsColumns = rememberedColumns.isEmpty();
    connect(header, &QHeaderView::sectionResized, this, [this](int column) {
        if (column == DatasetModel::FileName && !fittingColumns)
            fitsColumns = false;
    });
    // Whatever was remembered, the labels take the spare width, and the
    // table is never so narrow that a column leaves its sight.
    header->setStretchLastSection(false);
    header->setSectionResizeMode(DatasetModel::Entries, QHeaderView::Stretch);
    int least = leastNameWidth + leastLabelsWidth;
    for (const int column : {DatasetModel::Position, DatasetModel::State, DatasetModel::SavedBy}) {
        if (column < imageModel->columnCount())
            least += header->sectionSize(column);
    }
    imageTable->setMinimumWidth(least + 2 * imageTable->frameWidth()
                                + style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4);
}

// The file name gives up width, down to its least, where the table is too
// narrow for every column, until the person sets its width.
void DatasetWindow::fitColumns()
{
    if (!fitsColumns)
        return;
    QHeaderView *header = imageTable->horizontalHeader();
    int others = leastLabelsWidth;
    for (int column = 0; column < header->count(); ++column) {
        if (column != DatasetModel::FileName && column != DatasetModel::Entries)
            others += header->sectionSize(column);
    }
    const int room = imageTable->viewport()->width() - others;
    if (header->sectionSize(DatasetModel::FileName) > room) {
        fittingColumns = true;
        header->resizeSection(DatasetModel::FileName, qMax(room, leastNameWidth));
        fittingColumns = false;
    }
}

void DatasetWindow::showEverything()
{
    showAnnotators();
    // First: the likely mistakes the table may show come from it.
    showQualities();
    imageModel->reset(feature->filter());
    statisticsModel->countsChanged();
    statisticsModel->doubleLabelsChanged();
    showAgreement();
    showCounts();
}

void DatasetWindow::showImageChange(qsizetype position)
{
    showAnnotators();
    showQualities();
    imageModel->imageChanged(position);
    statisticsModel->countsChanged();
    statisticsModel->doubleLabelsChanged(position);
    showAgreement();
    showCounts();
}

// The agreement's columns, while some listed image was labelled twice.
void DatasetWindow::showAgreement()
{
    for (int column = LabelStatisticsModel::Doubled; column < LabelStatisticsModel::ColumnCount;
         ++column)
        statisticsView->setColumnHidden(column, !statisticsModel->hasDoubleLabels());
}

void DatasetWindow::showCounts()
{
    const DatasetSource &images = feature->images();
    const qsizetype total = images.names().size();
    const qsizetype marked = images.markedCount();
    summaryLine->setText(tr("共 %1 张 | 已标记 %2 | 未标记 %3")
                             .arg(total)
                             .arg(marked)
                             .arg(total - marked));
    shownLine->setText(tr("显示 %1 / %2").arg(imageModel->rowCount()).arg(total));
}

void DatasetWindow::showCurrent(int position)
{
    const int row = imageModel->rowOf(position);
    if (row < 0) {
        imageTable->clearSelection();
        return;
    }
    const QModelIndex current = imageModel->index(row, DatasetModel::FileName);
    imageTable->selectionModel()->setCurrentIndex(
        current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    imageTable->scrollTo(current);
}

void DatasetWindow::showAnnotators()
{
    if (!labelFilter)
        return;
    const QStringList annotators = feature->images().annotators();
    // After the labels and the choice of "no defect" beside a defect, before
    // the model's choices.
    const int first = DatasetFilter::NoDefectWithDefect + 1;
    int shown = 0;
    while (first + shown < labelFilter->count() && !labelFilter->itemData(first + shown).isNull())
        ++shown;
    for (qsizetype i = shown; i < annotators.size(); ++i, ++shown)
        labelFilter->insertItem(first + shown, tr("由 %1 保存").arg(annotators.at(i)),
                                annotators.at(i));
    showAnnotatorFigures();
}

// After the annotators: a team's dataset keeps reviews.
void DatasetWindow::showReviewChoices()
{
    if (!feature->images().knowsWhoSaved())
        return;
    const std::pair<int, QString> choices[] = {{DatasetFilter::Unreviewed, tr("待审核")},
                                               {DatasetFilter::SentBack, tr("已退回")},
                                               {DatasetFilter::Accepted, tr("已审核")},
                                               {DatasetFilter::Differing, tr("标注不一致")}};
    for (const auto &[choice, text] : choices) {
        labelFilter->addItem(text);
        labelFilter->setItemData(labelFilter->count() - 1, choice, reviewChoiceRole);
    }
    labelFilter->setItemData(labelFilter->count() - 1,
                             tr("两位标注人盲标的标签不同、且尚未经审核人定夺的图片"),
                             Qt::ToolTipRole);
}

// One pass over the listed images, only on a team's dataset, where the
// annotators are listed.
void DatasetWindow::showAnnotatorFigures()
{
    const DatasetSource &images = feature->images();
    if (!images.knowsWhoSaved())
        return;
    struct Figures
    {
        qsizetype saved = 0, accepted = 0, sentBack = 0;
    };
    QHash<QString, Figures> figures;
    const qsizetype size = std::min(images.names().size(), qsizetype(images.facts().size()));
    for (qsizetype i = 0; i < size; ++i) {
        if (!images.facts()[size_t(i)].hasRow)
            continue;
        Figures &of = figures[images.savedBy(i)];
        ++of.saved;
        of.accepted += images.reviewAt(i) == AnnotationStore::Accepted;
        of.sentBack += images.reviewAt(i) == AnnotationStore::SentBack;
    }
    const int first = DatasetFilter::NoDefectWithDefect + 1;
    for (int item = first; item < labelFilter->count() && !labelFilter->itemData(item).isNull(); ++item) {
        const Figures of = figures.value(labelFilter->itemData(item).toString());
        labelFilter->setItemData(item, tr("已保存 %1 张，已审核 %2 张，已退回 %3 张")
                                           .arg(of.saved).arg(of.accepted).arg(of.sentBack),
                                 Qt::ToolTipRole);
    }
}

void DatasetWindow::takeFilter()
{
    DatasetFilter filter;
    filter.choice = labelFilter->currentIndex();
    filter.savedBy = labelFilter->currentData().toString();
    const QVariant modelChoice = labelFilter->currentData(modelChoiceRole);
    if (modelChoice.isValid())
        filter.choice = modelChoice.toInt();
    const QVariant reviewChoice = labelFilter->currentData(reviewChoiceRole);
    if (reviewChoice.isValid()) {
        filter.review = reviewChoice.toInt();
        filter.choice = DatasetFilter::All;
    }
    if (!filter.savedBy.isEmpty())
        filter.choice = DatasetFilter::All;
    filter.nameText = nameFilter->text();
    const QStringList catalogue = feature->catalogue();
    for (qsizetype label = 0; label < catalogue.size(); ++label) {
        if (isNoDefect(catalogue.at(label)))
            filter.noDefectLabel = int(label);
    }
    feature->setFilter(filter);
}

void DatasetWindow::activate(const QModelIndex &index)
{
    if (index.isValid())
        feature->moveTo(imageModel->positionAt(index.row()));
}

void DatasetWindow::copySelectedRows() const
{
    std::vector<int> selected;
    const QItemSelection selection = imageTable->selectionModel()->selection();
    for (const QItemSelectionRange &range : selection) {
        for (int row = range.top(); row <= range.bottom(); ++row)
            selected.push_back(row);
    }
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());

    QString text;
    for (const int row : selected) {
        for (int column = 0; column < imageModel->columnCount(); ++column) {
            if (column > 0)
                text += u'\t';
            text += imageModel->index(row, column).data().toString();
        }
        text += u'\n';
    }
    QGuiApplication::clipboard()->setText(text);
}

// Not modal: the person may look up names in the table while choosing a
// pattern. One dialog at a time; it goes with this window.
void DatasetWindow::openSplitDialog()
{
    if (!splitDialog) {
        splitDialog = new SplitDialog(feature->annotationPath(), feature->catalogue(), this);
        splitDialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    splitDialog->show();
    splitDialog->raise();
    splitDialog->activateWindow();
}
