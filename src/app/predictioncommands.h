#pragma once

#include <QCommandLineOption>
#include <QCoreApplication>

class QCommandLineParser;

// norvanta --import-predictions FILE.csv STORE --model-name NAME
// norvanta --export-predictions STORE FILE.csv [--model-name NAME]
// STORE is an annotation file's path or a team's address. Both run
// without a display.
struct PredictionOptions
{
    QCommandLineOption importFrom{
        QStringLiteral("import-predictions"),
        QCoreApplication::translate("norvanta", "把 FILE.csv 中其他程序的预测存入 STORE（标签文件或 ADDRESS）"),
        QStringLiteral("FILE.csv")};
    QCommandLineOption exportFrom{
        QStringLiteral("export-predictions"),
        QCoreApplication::translate("norvanta", "把 STORE 中一个模型的预测写入 FILE.csv"),
        QStringLiteral("STORE")};
    QCommandLineOption modelName{QStringLiteral("model-name"),
                                 QCoreApplication::translate("norvanta", "预测所属模型的名称"),
                                 QStringLiteral("NAME")};
};

// Whether the command line asks for either; decided before the application
// object exists.
bool asksToMovePredictions(int argc, char *argv[]);

// Runs the one asked for: 0 when done, 2 when refused (one line on the
// standard error, nothing stored), 1 when a store or a file failed.
int movePredictions(const QCommandLineParser &parser, const PredictionOptions &options);
