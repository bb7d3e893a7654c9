#pragma once

#include "teamaddress.h"

#include <QCoreApplication>
#include <QByteArray>
#include <QString>
#include <QStringList>

// Moving a whole dataset between an annotation file and the server, for
// `norvanta --import FILE.csv ADDRESS` and `norvanta --export ADDRESS FILE.csv`.
// Each returns a one-line report for the person: the outcome, or the reason
// it failed (then `ok` is false); the file is touched only by the save's
// own safe replacement, and a file that a save would refuse is refused.
namespace TeamTransfer {

struct Report
{
    bool ok = false;
    bool unreachable = false; // the server could not be reached or used
    QString text;
};

Report importFile(const QString &csvPath, const TeamAddress &address, const QStringList &catalogue,
                  const QString &annotator);
Report exportFile(const TeamAddress &address, const QString &csvPath,
                  const QStringList &catalogue);
// The annotation file that an export writes of the dataset, and its count
// of data rows; false with the person's message in `error` when the server
// could not be reached or read.
bool exportText(const TeamAddress &address, const QStringList &catalogue, QByteArray *content,
                qsizetype *rows, QString *error);

} // namespace TeamTransfer
