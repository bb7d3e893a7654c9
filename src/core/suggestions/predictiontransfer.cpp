#include "predictiontransfer.h"

#include "annotationformat.h"
#include "predictionstore.h"
#include "predictionvalues.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PredictionTransfer", text);
}

PredictionTransfer::Report refusal(const QString &text)
{
    return {false, true, text};
}

PredictionTransfer::Report failure(const QString &text)
{
    return {false, false, text};
}

// A probability as a pipeline writes it: a plain decimal number (an
// exponent allowed) from 0 to 1; an empty field gives none.
bool readProbability(const QString &field, float *value)
{
    if (field.isEmpty()) {
        *value = std::numeric_limits<float>::quiet_NaN();
        return true;
    }
    if (!field.front().isDigit() && field.front() != u'.')
        return false;
    bool ok = false;
    const double number = QLocale::c().toDouble(field, &ok);
    if (!ok || !std::isfinite(number) || number < 0 || number > 1)
        return false;
    *value = float(number);
    return true;
}

// The catalogue position of each column after the first; refused with the
// reason when the header is no header of the annotation file's kind.
QString readHeader(const QString &line, QList<qsizetype> *columns)
{
    const QStringList fields = AnnotationFormat::splitFields(line);
    const QStringList catalogue = AnnotationFormat::catalogue();
    if (fields.first() != AnnotationFormat::nameColumnTitle())
        return tr("第 1 行不是表头：第 1 列应为“%1”").arg(AnnotationFormat::nameColumnTitle());
    for (qsizetype i = 1; i < fields.size(); ++i) {
        const qsizetype label = catalogue.indexOf(fields.at(i));
        if (label < 0)
            return tr("第 1 行第 %1 列不是标签：%2").arg(i + 1).arg(fields.at(i));
        if (columns->contains(label))
            return tr("第 1 行第 %1 列的标签重复：%2").arg(i + 1).arg(fields.at(i));
        columns->append(label);
    }
    return QString();
}

// One data row (line `number`) as an imported entry; the reason otherwise.
QString readRow(const QString &line, qsizetype number, const QList<qsizetype> &columns,
                PredictionStore::Entry *entry)
{
    const QStringList fields = AnnotationFormat::splitFields(line);
    if (fields.size() != columns.size() + 1)
        return tr("第 %1 行有 %2 个字段，表头有 %3 个").arg(number).arg(fields.size()).arg(columns.size() + 1);
    entry->fileName = fields.first();
    if (entry->fileName.isEmpty() || !AnnotationFormat::canHoldName(entry->fileName))
        return tr("第 %1 行的图片名称无效：%2").arg(number).arg(entry->fileName);
    entry->values.fill(std::numeric_limits<float>::quiet_NaN(), AnnotationFormat::catalogue().size());
    for (qsizetype i = 0; i < columns.size(); ++i) {
        if (!readProbability(fields.at(i + 1), &entry->values[columns.at(i)]))
            return tr("第 %1 行第 %2 列不是 0 到 1 之间的概率：%3")
                .arg(number)
                .arg(i + 2)
                .arg(fields.at(i + 1));
    }
    return QString();
}

// Every row of the file, or the reason it is refused, naming its line.
QString readEntries(const QString &text, QList<PredictionStore::Entry> *entries)
{
    const QStringList lines = AnnotationFormat::splitLines(text);
    if (lines.isEmpty())
        return tr("没有表头");
    QList<qsizetype> columns;
    if (const QString problem = readHeader(lines.first(), &columns); !problem.isEmpty())
        return problem;
    QHash<QString, qsizetype> lineOf;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        PredictionStore::Entry entry;
        if (const QString problem = readRow(lines.at(i), i + 1, columns, &entry); !problem.isEmpty())
            return problem;
        if (const qsizetype earlier = lineOf.value(entry.fileName); earlier > 0)
            return tr("第 %1 行的图片与第 %2 行重复：%3").arg(i + 1).arg(earlier).arg(entry.fileName);
        lineOf.insert(entry.fileName, i + 1);
        entries->append(std::move(entry));
    }
    return QString();
}

} // namespace

PredictionTransfer::Report PredictionTransfer::importFile(const QString &csvPath,
                                                          PredictionStore *store,
                                                          const QString &modelName)
{
    const QString shown = QDir::toNativeSeparators(csvPath);
    QFile file(csvPath);
    if (!file.open(QIODevice::ReadOnly))
        return refusal(tr("无法读取 %1：%2").arg(shown, file.errorString()));
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    QList<PredictionStore::Entry> entries;
    if (const QString problem = readEntries(text, &entries); !problem.isEmpty())
        return refusal(QStringLiteral("%1：%2").arg(shown, problem));
    QString error;
    if (!store->open(modelName, QByteArray(), &error) || !store->write(entries, &error))
        return failure(tr("无法保存预测：%1").arg(error));
    return {true, false, tr("已导入 %1 张图片的预测（模型 %2）").arg(entries.size()).arg(modelName)};
}

namespace {

// The model to export: by its name, or the only one stored; its digest,
// empty when the name has imported entries only. The refusal otherwise.
QString chooseModel(const QList<PredictionStore::Model> &models, QString *name, QByteArray *digest)
{
    QStringList names;
    for (const PredictionStore::Model &model : models) {
        if (!names.contains(model.name))
            names << model.name;
    }
    if (name->isEmpty() && names.size() != 1)
        return names.isEmpty() ? tr("没有已保存的预测")
                               : tr("存有多个模型的预测（%1），请用 --model-name 指定")
                                     .arg(names.join(QStringLiteral("、")));
    if (name->isEmpty())
        *name = names.first();
    if (!names.contains(*name))
        return tr("没有模型 %1 的预测").arg(*name);
    QList<QByteArray> digests;
    for (const PredictionStore::Model &model : models) {
        if (model.name == *name && !model.sha256.isEmpty())
            digests << model.sha256;
    }
    if (digests.size() > 1)
        return tr("模型 %1 有 %2 个不同文件的预测，无法选择").arg(*name).arg(digests.size());
    *digest = digests.value(0);
    return QString();
}

QByteArray csvOf(const QHash<QString, PredictionStore::Entry> &entries)
{
    const QStringList catalogue = AnnotationFormat::catalogue();
    QList<qsizetype> columns;
    for (qsizetype label = 0; label < catalogue.size(); ++label) {
        if (std::any_of(entries.cbegin(), entries.cend(), [label](const PredictionStore::Entry &entry) {
                return label < entry.values.size() && !std::isnan(entry.values.at(label));
            }))
            columns << label;
    }
    QStringList header{AnnotationFormat::nameColumnTitle()};
    for (const qsizetype label : columns)
        header << catalogue.at(label);
    QStringList names = entries.keys();
    std::sort(names.begin(), names.end());
    QString text = header.join(u',') + u'\n';
    for (const QString &name : names) {
        const QList<float> &values = entries.value(name).values;
        text += name;
        for (const qsizetype label : columns) {
            text += u',';
            if (label < values.size() && !std::isnan(values.at(label)))
                text += PredictionValues::shortestText(values.at(label));
        }
        text += u'\n';
    }
    return text.toUtf8();
}

} // namespace

PredictionTransfer::Report PredictionTransfer::exportFile(PredictionStore *store,
                                                          const QString &csvPath,
                                                          const QString &modelName)
{
    QString error;
    const QList<PredictionStore::Model> models = store->models(&error);
    if (!error.isEmpty())
        return failure(tr("无法读取预测：%1").arg(error));
    QString name = modelName;
    QByteArray digest;
    if (const QString problem = chooseModel(models, &name, &digest); !problem.isEmpty())
        return refusal(problem);
    if (!store->open(name, digest, &error))
        return failure(tr("无法读取预测：%1").arg(error));
    const QHash<QString, PredictionStore::Entry> entries = store->readAll(&error);
    if (!error.isEmpty())
        return failure(tr("无法读取预测：%1").arg(error));
    const QByteArray bytes = csvOf(entries);
    QSaveFile file(csvPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return failure(tr("无法写入 %1：%2").arg(QDir::toNativeSeparators(csvPath), file.errorString()));
    return {true, false, tr("已导出 %1 张图片的预测（模型 %2）").arg(entries.size()).arg(name)};
}
