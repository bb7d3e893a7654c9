#include "splitdialog.h"

#include "teamaddress.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

SplitDialog::SplitDialog(const QString &annotationPath, const QStringList &catalogue,
                         QWidget *parent)
    : QDialog(parent)
    , annotationPath(annotationPath)
    , rows(TrainingSplit::MarkedRows::read(annotationPath, catalogue))
{
    setObjectName(QStringLiteral("splitDialog"));
    setWindowTitle(tr("导出划分"));

    const TrainingSplit::Settings defaults;
    auto *form = new QFormLayout;
    trainShare = createShare("trainShare", defaults.shares[0]);
    valShare = createShare("valShare", defaults.shares[1]);
    testShare = createShare("testShare", defaults.shares[2]);
    form->addRow(tr("训练 (train.csv)"), trainShare);
    form->addRow(tr("验证 (val.csv)"), valShare);
    form->addRow(tr("测试 (test.csv)"), testShare);

    seed = new QSpinBox(this);
    seed->setObjectName(QStringLiteral("splitSeed"));
    seed->setRange(0, std::numeric_limits<int>::max());
    seed->setValue(int(defaults.seed));
    form->addRow(tr("种子"), seed);

    groupPattern = new QLineEdit(this);
    groupPattern->setObjectName(QStringLiteral("groupPattern"));
    groupPattern->setPlaceholderText(tr("正则表达式，如 ^(.+)_\\d+\\.\\w+$；留空则每张图片自成一组"));
    groupPattern->setToolTip(tr("名称中第一个匹配的第一个捕获组相同的图片属于同一组，"
                                "同一组的图片划入同一个集合；不匹配的图片自成一组。"));
    form->addRow(tr("分组模式"), groupPattern);
    form->addRow(tr("输出目录"), createFolderRow());

    preview = new QLabel(this);
    preview->setObjectName(QStringLiteral("splitPreview"));
    preview->setWordWrap(true);

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *writeButton = buttons->addButton(tr("写入"), QDialogButtonBox::AcceptRole);
    writeButton->setObjectName(QStringLiteral("writeSplit"));
    buttons->addButton(QDialogButtonBox::Cancel);
    connect(writeButton, &QPushButton::clicked, this, &SplitDialog::write);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(preview);
    layout->addWidget(buttons);

    patternPause.setSingleShot(true);
    patternPause.setInterval(300);
    connect(&patternPause, &QTimer::timeout, this, &SplitDialog::showPreview);
    connect(groupPattern, &QLineEdit::textChanged, this, [this] { patternPause.start(); });
    for (QSpinBox *share : {trainShare, valShare, testShare})
        connect(share, &QSpinBox::valueChanged, this, &SplitDialog::showPreview);
    showPreview();
    resize(560, sizeHint().height());
}

QSpinBox *SplitDialog::createShare(const char *objectName, int value)
{
    auto *share = new QSpinBox(this);
    share->setObjectName(QString::fromLatin1(objectName));
    share->setRange(0, 100);
    share->setSuffix(QStringLiteral(" %"));
    share->setValue(value);
    return share;
}

QWidget *SplitDialog::createFolderRow()
{
    auto *row = new QWidget(this);
    auto *line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    outputFolder = new QLineEdit(row);
    outputFolder->setObjectName(QStringLiteral("outputFolder"));
    // Beside the annotation file, in a folder of its own; a team's dataset
    // lives on a server, so its split goes to the home folder.
    const QDir beside = TeamAddress::isAddress(annotationPath)
        ? QDir::home()
        : QFileInfo(annotationPath).absoluteDir();
    const QString besideFile = beside.filePath(QStringLiteral("splits"));
    outputFolder->setText(QDir::toNativeSeparators(besideFile));
    line->addWidget(outputFolder, 1);
    auto *choose = new QPushButton(tr("选择…"), row);
    choose->setObjectName(QStringLiteral("chooseOutputFolder"));
    connect(choose, &QPushButton::clicked, this, &SplitDialog::chooseFolder);
    line->addWidget(choose);
    return row;
}

TrainingSplit::Settings SplitDialog::settings() const
{
    TrainingSplit::Settings chosen;
    chosen.shares = {trainShare->value(), valShare->value(), testShare->value()};
    chosen.seed = quint32(seed->value());
    chosen.pattern = groupPattern->text();
    return chosen;
}

void SplitDialog::chooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("选择输出目录"),
                                                             outputFolder->text(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        outputFolder->setText(QDir::toNativeSeparators(folder));
}

void SplitDialog::showPreview()
{
    patternPause.stop();
    if (rows.status() != TrainingSplit::MarkedRows::Read) {
        preview->setText(rows.problem(annotationPath));
        return;
    }
    const TrainingSplit::Settings chosen = settings();
    QStringList lines;
    const QString patternProblem = TrainingSplit::patternProblem(chosen.pattern);
    qsizetype groupCount = rows.size();
    if (chosen.pattern.isEmpty() || !patternProblem.isEmpty()) {
        lines << tr("将划分 %1 张已标记的图片，%2 组；%3 张未标记的图片不划分。")
                     .arg(rows.size()).arg(rows.size()).arg(rows.unmarked());
    } else {
        const TrainingSplit::Groups groups = TrainingSplit::group(rows, chosen.pattern);
        groupCount = groups.count;
        lines << tr("将划分 %1 张已标记的图片，%2 组；%3 张未标记的图片不划分。")
                     .arg(rows.size()).arg(groups.count).arg(rows.unmarked())
              << tr("%1 个名称不匹配分组模式，各自成组。").arg(groups.unmatched);
    }
    if (!patternProblem.isEmpty())
        lines << patternProblem;
    const QString sharesProblem = TrainingSplit::sharesProblem(chosen.shares);
    if (!sharesProblem.isEmpty())
        lines << sharesProblem;
    // A group lands whole in one split: with fewer groups than splits to
    // fill, one of them stays empty whatever the shares ask.
    const auto parts = std::count_if(chosen.shares.cbegin(), chosen.shares.cend(),
                                     [](int share) { return share > 0; });
    if (sharesProblem.isEmpty() && groupCount > 0 && groupCount < parts)
        lines << tr("组数（%1）少于比例不为 0 的集合数（%2），至少有一个集合将为空。")
                     .arg(groupCount).arg(parts);
    preview->setText(lines.join(u'\n'));
}

void SplitDialog::write()
{
    const TrainingSplit::Settings chosen = settings();
    QString refusal = TrainingSplit::sharesProblem(chosen.shares);
    if (refusal.isEmpty())
        refusal = TrainingSplit::patternProblem(chosen.pattern);
    const QString folder = QDir::fromNativeSeparators(outputFolder->text().trimmed());
    if (refusal.isEmpty() && folder.isEmpty())
        refusal = tr("请选择输出目录");
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, tr("导出划分"), refusal);
        return;
    }

    const QStringList existing = TrainingSplit::existingOutputs(folder);
    if (!existing.isEmpty()) {
        const QMessageBox::StandardButton answer = QMessageBox::question(
            this, tr("导出划分"),
            tr("%1 中已有 %2。要替换吗？").arg(QDir::toNativeSeparators(folder), existing.join(tr("、"))),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }

    QApplication::setOverrideCursor(Qt::WaitCursor);
    const TrainingSplit::Outcome outcome =
        TrainingSplit::run(annotationPath, rows.catalogue(), chosen, folder);
    QApplication::restoreOverrideCursor();
    if (!outcome.written) {
        QMessageBox::warning(this, tr("导出划分"), outcome.problem);
        return;
    }
    QMessageBox::information(this, tr("导出划分"),
                             tr("已写入 %1：train %2 张，val %3 张，test %4 张。")
                                 .arg(QDir::toNativeSeparators(folder))
                                 .arg(outcome.rows[0])
                                 .arg(outcome.rows[1])
                                 .arg(outcome.rows[2]));
    accept();
}
