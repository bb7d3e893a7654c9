#include "doubtfulcommand.h"

#include "annotationfile.h"
#include "annotationformat.h"
#include "classifier.h"
#include "commandline.h"
#include "labelcatalogue.h"
#include "labelquality.h"
#include "predictionstore.h"
#include "teamaddress.h"
#include "teamtransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

namespace {

using CommandLine::refuse;
using CommandLine::text;

struct MarkedRow
{
    QString name;
    quint32 flags = 0;
};

// The marked rows of an annotation file's bytes, in the file's order.
QList<MarkedRow> markedRows(const QByteArray &bytes)
{
    QList<MarkedRow> rows;
    const QStringList lines = AnnotationFormat::splitLines(QString::fromUtf8(bytes));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (!AnnotationFormat::hasSetFlag(lines.at(i)))
            continue;
        const QStringList fields = AnnotationFormat::splitFields(lines.at(i));
        MarkedRow row{fields.value(0), 0};
        for (qsizetype f = 1; f < fields.size() && f <= 32; ++f)
            if (fields.at(f).trimmed() == QLatin1String("1"))
                row.flags |= 1u << (f - 1);
        rows << row;
    }
    return rows;
}

// A team's dataset is read as its export gives it, into a folder of its own.
bool readStore(const QString &store, QByteArray *bytes, QString *error)
{
    QString path = store;
    QTemporaryDir exported;
    if (TeamAddress::isAddress(store)) {
        const std::optional<TeamAddress> address = TeamAddress::parse(store, error);
        if (!address)
            return false;
        path = exported.filePath(QStringLiteral("dataset.csv"));
        const TeamTransfer::Report report =
            TeamTransfer::exportFile(*address, path, AnnotationFormat::catalogue());
        if (!report.ok) {
            *error = report.text;
            return false;
        }
    }
    if (AnnotationFile::readBytes(path, bytes) != AnnotationText::Read) {
        *error = text("无法读取标签文件：%1").arg(QDir::toNativeSeparators(store));
        return false;
    }
    return true;
}

// The predictions of the store's one model, by file name.
// Refused (`status` 2) when the store names no model or several.
std::optional<QHash<QString, PredictionStore::Entry>> predictionsOf(const QString &store,
                                                                     QString *error, int *status)
{
    *status = 1;
    std::unique_ptr<PredictionStore> predictions = PredictionStore::named(store, error);
    if (!predictions)
        return std::nullopt;
    const QList<PredictionStore::Model> models = predictions->models(error);
    QStringList names;
    for (const PredictionStore::Model &model : models)
        if (!names.contains(model.name))
            names << model.name;
    if (names.size() != 1) {
        if (error->isEmpty() && (*status = 2))
            *error = names.isEmpty()
                ? text("没有已保存的预测")
                : text("存有多个模型的预测（%1）").arg(names.join(QStringLiteral("、")));
        return std::nullopt;
    }
    QByteArray digest;
    for (const PredictionStore::Model &model : models)
        if (!model.sha256.isEmpty())
            digest = model.sha256;
    if (!predictions->open(names.first(), digest, error))
        return std::nullopt;
    QHash<QString, PredictionStore::Entry> entries = predictions->readAll(error);
    if (!error->isEmpty())
        return std::nullopt;
    return entries;
}

MarkedImages markedImages(const QList<MarkedRow> &rows,
                          const QHash<QString, PredictionStore::Entry> &entries, int labels)
{
    MarkedImages images;
    images.labelCount = labels;
    for (const MarkedRow &row : rows) {
        const auto entry = entries.constFind(row.name);
        if (entry == entries.cend())
            continue;
        const QList<float> embedding = ModelFeatures::unpack(entry->features);
        if (images.names.isEmpty())
            images.width = embedding.size();
        images.names << row.name;
        images.flags.push_back(row.flags);
        for (int label = 0; label < labels; ++label)
            images.model.push_back(entry->values.value(label, NAN));
        for (qsizetype j = 0; j < images.width; ++j)
            images.embeddings.push_back(embedding.size() == images.width ? embedding.at(j) : NAN);
    }
    return images;
}

void print(const MarkedImages &images, const std::vector<DoubtfulImage> &doubtful, qsizetype top)
{
    const QStringList catalogue = AnnotationFormat::catalogue();
    for (qsizetype k = 0; k < qsizetype(doubtful.size()) && (top < 0 || k < top); ++k) {
        QStringList fields{images.names.at(doubtful[k].image)};
        for (const DoubtfulLabel &d : doubtful[k].labels)
            fields << QStringLiteral("%1=%2 %3")
                          .arg(labelCode(catalogue.at(d.label)))
                          .arg(d.saved ? 1 : 0)
                          .arg(double(d.probability), 0, 'f', 2);
        std::printf("%s\n", qUtf8Printable(fields.join(u'\t')));
    }
}

} // namespace

bool asksForDoubtful(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--doubtful", 10) == 0
            && (argv[i][10] == '\0' || argv[i][10] == '='))
            return true;
    return false;
}

int listDoubtful(const QString &store, const QString &top, qsizetype extraArguments)
{
    bool numeric = true;
    const qsizetype most = top.isEmpty() ? -1 : top.toLongLong(&numeric);
    if (extraArguments > 0 || !numeric || (!top.isEmpty() && most < 0))
        return refuse(text("用法：norvanta --doubtful STORE [--top N]"));
    QString error;
    QByteArray bytes;
    if (!readStore(store, &bytes, &error))
        return refuse(error, 1);
    int status = 1;
    const std::optional<QHash<QString, PredictionStore::Entry>> entries =
        predictionsOf(store, &error, &status);
    if (!entries)
        return refuse(error, status);
    const int labels = int(AnnotationFormat::catalogue().size());
    const MarkedImages images = markedImages(markedRows(bytes), *entries, labels);
    const std::vector<float> thresholds(labels, NAN);
    const std::atomic<bool> running(false);
    const std::optional<LearningResult> learnt = LabelLearning::train(images, thresholds, running);
    print(images, LabelQualities::assess(images, learnt ? &*learnt : nullptr, thresholds).doubtful,
          most);
    return 0;
}
