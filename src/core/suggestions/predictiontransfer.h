#pragma once

#include <QString>

class PredictionStore;

// Predictions moved between a store and a file in the annotation file's
// form: the header row "图片名称" and catalogue texts, then a row per image
// with a probability from 0 to 1 under each label (an empty field: none).
namespace PredictionTransfer {

struct Report
{
    bool ok = false;
    // The file or the command was refused (nothing was changed), rather
    // than a store or a file failing.
    bool refused = false;
    QString text;
};

// Reads `csvPath` whole, then stores its rows as the predictions imported
// under `modelName`, replacing those of the same images: all or none. The
// header may name any of the catalogue's labels, each once, in any order.
// Refused with the line where the file breaks a rule.
Report importFile(const QString &csvPath, PredictionStore *store, const QString &modelName);

// Writes the predictions of the model `modelName` (empty: the only model
// stored) into `csvPath`: the labels the model gives, in catalogue order,
// the images ordered by name (UTF-16 code units), each probability as the
// shortest decimal that stands for the stored value (so a probability
// imported with up to four places comes back as it was written), LF line
// ends. Refused
// when there is no such model, or several (without a name, or several
// digests of one name).
Report exportFile(PredictionStore *store, const QString &csvPath, const QString &modelName);

} // namespace PredictionTransfer
