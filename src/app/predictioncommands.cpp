#include "predictioncommands.h"

#include "commandline.h"
#include "predictionstore.h"
#include "predictiontransfer.h"

#include <QCommandLineParser>

#include <cstdio>
#include <cstring>

namespace {

using CommandLine::text;

int tell(FILE *stream, const QString &line, int status)
{
    if (stream == stderr)
        std::fprintf(stream, "%s: %s\n", qUtf8Printable(QCoreApplication::applicationName()),
                     qUtf8Printable(line));
    else
        std::fprintf(stream, "%s\n", qUtf8Printable(line));
    return status;
}

int refuse(const QString &reason)
{
    return tell(stderr, reason, 2);
}

} // namespace

bool asksToMovePredictions(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"--import-predictions", "--export-predictions"}) {
            const std::size_t length = std::strlen(option);
            if (std::strncmp(argv[i], option, length) == 0
                && (argv[i][length] == '\0' || argv[i][length] == '='))
                return true;
        }
    }
    return false;
}

int movePredictions(const QCommandLineParser &parser, const PredictionOptions &options)
{
    const bool importing = parser.isSet(options.importFrom);
    if (importing && parser.isSet(options.exportFrom))
        return refuse(text("--import-predictions 与 --export-predictions 不能同时给出"));
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 1)
        return refuse(importing
                          ? text("用法：norvanta --import-predictions FILE.csv STORE --model-name NAME")
                          : text("用法：norvanta --export-predictions STORE FILE.csv [--model-name NAME]"));
    const QString modelName = parser.value(options.modelName);
    if (importing && modelName.trimmed().isEmpty())
        return refuse(text("--import-predictions 需要 --model-name NAME"));
    QString error;
    const auto store = PredictionStore::named(
        importing ? arguments.at(0) : parser.value(options.exportFrom), &error);
    if (!store)
        return refuse(error);
    const PredictionTransfer::Report report = importing
        ? PredictionTransfer::importFile(parser.value(options.importFrom), store.get(), modelName)
        : PredictionTransfer::exportFile(store.get(), arguments.at(0), modelName);
    if (!report.ok)
        return tell(stderr, report.text, report.refused ? 2 : 1);
    return tell(stdout, report.text, 0);
}
