#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class DatasetFeature;
class DatasetModel;
class LabelStatisticsModel;
class SplitDialog;

// The state of the whole folder: a summary, per-label statistics, and a
// table of the listed images that the filter keeps, from which a reviewer
// moves the main window. A window of its own, owned by the main window.
class DatasetWindow final : public QWidget
{
    Q_OBJECT

public:
    DatasetWindow(DatasetFeature *feature, QWidget *mainWindow);

    // The table's rows, in the order it shows them.
    const DatasetModel &tableModel() const { return *imageModel; }

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *createStatistics();
    QWidget *createImageList();
    void setUpImageColumns();
    void fitColumns();
    void showEverything();
    void showImageChange(qsizetype position);
    void showCounts();
    void showAgreement();
    void showCurrent(int position);
    // Adds a "saved by" choice for each annotator not yet in the filter box.
    void showAnnotators();
    void showReviewChoices();
    // Each annotator's figures, as the tooltip of the annotator's choice.
    void showAnnotatorFigures();
    void takeFilter();
    void activate(const QModelIndex &index);
    void copySelectedRows() const;
    void openSplitDialog();
    // The model: its progress line and buttons (datasetmodelcontrols.cpp).
    void createModelControls(QHBoxLayout *row);
    // The filter's choices that ask the model, there while there is one.
    void showModelChoices();
    void loadModel();
    void showModel();
    void showPredictions();
    // How good the suggestions are, in the per-label table, and the
    // thresholds it finds, taken for this store by 采用建议阈值.
    void showQualities();
    void adoptThresholds();

    // The filter box's model choices carry their choice in this role.
    static constexpr int modelChoiceRole = Qt::UserRole + 1;
    // Its review choices (a team's dataset) carry theirs in this one.
    static constexpr int reviewChoiceRole = Qt::UserRole + 2;

    DatasetFeature *feature;
    DatasetModel *imageModel = nullptr;
    LabelStatisticsModel *statisticsModel = nullptr;
    QSortFilterProxyModel *sortedStatistics = nullptr;
    QLabel *summaryLine = nullptr;
    QTableView *statisticsView = nullptr;
    QComboBox *labelFilter = nullptr;
    QLineEdit *nameFilter = nullptr;
    QTableView *imageTable = nullptr;
    QLabel *shownLine = nullptr;
    QLabel *modelLine = nullptr;
    QPushButton *unloadButton = nullptr;
    QPushButton *retrainButton = nullptr;
    QPushButton *adoptButton = nullptr;
    // A filter that asks the model is made anew once predictions stop
    // arriving for a moment, not for each of them.
    QTimer modelFilterRefresh;
    bool fitsColumns = true;
    bool fittingColumns = false;
    QPointer<SplitDialog> splitDialog;
};
