#pragma once

#include <QString>

class QSqlDatabase;

// The part of a team's schema that keeps the predictions of the team's
// classifier, shared by the dataset's members (see the README):
//   norvanta_prediction_models  a model's integer key, by name and digest
//   norvanta_predictions        per dataset, model and image: the image's
//                               size and time, the packed probabilities
//                               and the features
//   norvanta_prediction_claims  the images a program is predicting now,
//                               each until its holder writes it or a
//                               minute passed
// Members change them only through the functions named norvanta_*, so that
// a member's role needs no right on the tables beyond reading them.
namespace PredictionSchema {

// Makes what is missing or outdated, in one transaction under the lock the
// rest of the schema is made under, when the role may. A role that may not
// gets false with the missing parts named in `error` when `required`, and
// true otherwise: labelling goes on without the predictions.
bool ensure(QSqlDatabase &db, bool required, QString *error);

} // namespace PredictionSchema
