// The dataset window's part of the team's classifier: which model suggests
// (a line with its progress, a button to choose one and one to let it go),
// the filter choices that ask it, and the table's columns following its
// predictions. The choice itself is the session's suggestions', which the
// main window remembers for its store.
#include "datasetwindow.h"

#include "datasetfeature.h"
#include "datasetmodel.h"
#include "labelcatalogue.h"
#include "labelstatisticsmodel.h"
#include "suggestions.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>

#include <algorithm>
#include <cmath>

void DatasetWindow::createModelControls(QHBoxLayout *row)
{
    modelLine = new QLabel(this);
    modelLine->setObjectName(QStringLiteral("modelLine"));
    row->addWidget(modelLine);
    auto *loadButton = new QPushButton(tr("载入模型…"), this);
    loadButton->setObjectName(QStringLiteral("loadModel"));
    loadButton->setToolTip(tr("选择团队的 ONNX 模型（说明文件 NAME.json 在其旁）："
                              "它为每张图片给出建议的标签，并为此标签文件或数据集记住"));
    connect(loadButton, &QPushButton::clicked, this, &DatasetWindow::loadModel);
    row->addWidget(loadButton);
    unloadButton = new QPushButton(tr("移除模型"), this);
    unloadButton->setObjectName(QStringLiteral("unloadModel"));
    unloadButton->setToolTip(tr("不再使用模型，也不再记住它；已存的预测留在原处"));
    row->addWidget(unloadButton);
    retrainButton = new QPushButton(tr("重新训练"), this);
    retrainButton->setObjectName(QStringLiteral("retrainModel"));
    retrainButton->setToolTip(tr("在后台按已标记图片的标签为每个标签训练一个分类器；"
                                 "交叉验证更好的标签改用它的概率"));
    row->addWidget(retrainButton);
    adoptButton = new QPushButton(tr("采用建议阈值"), this);
    adoptButton->setObjectName(QStringLiteral("adoptThresholds"));
    adoptButton->setToolTip(tr("为此标签文件或数据集采用左表中使 F2 最大的阈值（样本足够的标签），"
                               "与模型一起记住；模型说明文件不变"));
    connect(adoptButton, &QPushButton::clicked, this, &DatasetWindow::adoptThresholds);
    row->addWidget(adoptButton);

    modelFilterRefresh.setSingleShot(true);
    modelFilterRefresh.setInterval(500);
    connect(&modelFilterRefresh, &QTimer::timeout, this, [this] {
        showQualities();
        imageModel->reset(this->feature->filter());
        showCounts();
        showCurrent(this->feature->currentPosition());
    });
    Suggestions *suggestions = feature->suggestions();
    if (suggestions) {
        connect(unloadButton, &QPushButton::clicked, suggestions, &Suggestions::unloadModel);
        connect(retrainButton, &QPushButton::clicked, suggestions,
                [this, suggestions] { suggestions->retrain(feature->images().facts()); });
        connect(suggestions, &Suggestions::modelChanged, this, [this] {
            showEverything();
            showModel();
        });
        connect(suggestions, &Suggestions::progress, this, &DatasetWindow::showModel);
        connect(suggestions, &Suggestions::predicted, this, &DatasetWindow::showPredictions);
    }
    loadButton->setEnabled(suggestions != nullptr);
    showModel();
}

void DatasetWindow::showModelChoices()
{
    if (!labelFilter)
        return;
    const Suggestions *suggestions = feature->suggestions();
    const bool hasModel = suggestions && suggestions->hasModel();
    const int first = labelFilter->findData(int(DatasetFilter::FirstSuggested), modelChoiceRole);
    if (hasModel == (first >= 0))
        return;
    if (!hasModel) {
        // A model choice that was chosen goes with its model: everything shows.
        if (labelFilter->currentIndex() >= first)
            labelFilter->setCurrentIndex(DatasetFilter::All);
        while (labelFilter->count() > first)
            labelFilter->removeItem(first);
        return;
    }
    for (qsizetype label = 0; label < feature->catalogue().size(); ++label) {
        labelFilter->addItem(tr("模型建议：%1").arg(feature->catalogue().at(label)));
        labelFilter->setItemData(labelFilter->count() - 1,
                                 int(DatasetFilter::FirstSuggested + label), modelChoiceRole);
    }
    labelFilter->addItem(tr("与模型不一致"));
    labelFilter->setItemData(labelFilter->count() - 1, int(DatasetFilter::Disagreeing),
                             modelChoiceRole);
    labelFilter->setItemData(labelFilter->count() - 1,
                             tr("已标记、且保存的标签与模型建议不同的图片（只比较模型给出的标签）"),
                             Qt::ToolTipRole);
    labelFilter->addItem(tr("可能标错"));
    labelFilter->setItemData(labelFilter->count() - 1, int(DatasetFilter::Doubtful),
                             modelChoiceRole);
    labelFilter->setItemData(labelFilter->count() - 1,
                             tr("已标记、而建议有把握地与所存标签相反的图片，最可疑的在前"),
                             Qt::ToolTipRole);
}

// A refused model changes nothing: the one there was stays.
void DatasetWindow::loadModel()
{
    Suggestions *suggestions = feature->suggestions();
    const QString path = QFileDialog::getOpenFileName(
        this, tr("载入模型"), QFileInfo(suggestions->modelPath()).absolutePath(),
        tr("ONNX 模型 (*.onnx)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!suggestions->loadModel(path, &error))
        QMessageBox::warning(this, tr("Error"), error);
}

void DatasetWindow::showModel()
{
    const Suggestions *suggestions = feature->suggestions();
    const bool hasModel = suggestions && suggestions->hasModel();
    unloadButton->setEnabled(hasModel);
    retrainButton->setEnabled(hasModel);
    showModelChoices();
    modelLine->setVisible(hasModel);
    if (!hasModel)
        return;
    modelLine->setText(tr("模型 %1：已预测 %2 / %3 张")
                           .arg(suggestions->modelName())
                           .arg(suggestions->predictedCount())
                           .arg(suggestions->listedCount()));
    modelLine->setToolTip(QDir::toNativeSeparators(suggestions->modelPath()));
}

void DatasetWindow::showPredictions()
{
    imageModel->predictionsChanged();
    if (!modelFilterRefresh.isActive())
        modelFilterRefresh.start();
}

void DatasetWindow::showQualities()
{
    if (!statisticsView)
        return;
    Suggestions *suggestions = feature->suggestions();
    const bool hasModel = suggestions && suggestions->hasModel();
    if (hasModel)
        suggestions->assess(feature->images().facts());
    const std::vector<LabelQuality> none;
    const std::vector<LabelQuality> &table = hasModel ? suggestions->assessment().table : none;
    statisticsModel->setQualities(table);
    for (int column = LabelStatisticsModel::Marked; column <= LabelStatisticsModel::BestThreshold;
         ++column)
        statisticsView->setColumnHidden(column, table.empty());
    adoptButton->setEnabled(std::any_of(table.cbegin(), table.cend(), [](const LabelQuality &q) {
        return q.enough && !std::isnan(q.suggestedThreshold);
    }));
}

void DatasetWindow::adoptThresholds()
{
    Suggestions *suggestions = feature->suggestions();
    if (!suggestions || !suggestions->hasModel())
        return;
    suggestions->assess(feature->images().facts());
    QList<float> thresholds(feature->catalogue().size(), NAN);
    for (const LabelQuality &quality : suggestions->assessment().table)
        if (quality.enough && !std::isnan(quality.suggestedThreshold))
            thresholds[quality.label] = quality.suggestedThreshold;
    suggestions->setThresholds(thresholds);
}
