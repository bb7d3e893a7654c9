#pragma once

#include "trainingsplit.h"

#include <QDialog>
#include <QTimer>

class QLabel;
class QLineEdit;
class QSpinBox;

// "导出划分": the shares, seed, grouping pattern and output folder of a
// training split of the annotation file or of a team's dataset (its
// address in place of the file), with what will be split shown before
// anything is written. The annotations are read once when the dialog opens
// for that preview, and again when the split is written.
class SplitDialog final : public QDialog
{
    Q_OBJECT

public:
    SplitDialog(const QString &annotationPath, const QStringList &catalogue, QWidget *parent);

private:
    QSpinBox *createShare(const char *objectName, int value);
    QWidget *createFolderRow();
    TrainingSplit::Settings settings() const;
    void chooseFolder();
    void showPreview();
    void write();

    QString annotationPath;
    TrainingSplit::MarkedRows rows;
    QSpinBox *trainShare = nullptr;
    QSpinBox *valShare = nullptr;
    QSpinBox *testShare = nullptr;
    QSpinBox *seed = nullptr;
    QLineEdit *groupPattern = nullptr;
    QLineEdit *outputFolder = nullptr;
    QLabel *preview = nullptr;
    // The groups are counted anew once typing pauses: a pattern is matched
    // against every name.
    QTimer patternPause;
};
