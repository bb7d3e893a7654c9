#pragma once

#include "teamaddress.h"

#include <QStringList>

class AgreementTally;

// The pairs of labellings of a team's dataset that the agreement is worked
// out over: for every image whose second annotator saved, the first row
// (the dataset's row, or the first row as it stood where a reviewer settled
// the image) and the second.
namespace TeamAgreement {

// Adds every pair of the address's dataset to `tally`, read in one
// statement by whoever may read the dataset (the owner, or a member it was
// granted to). False with the person's message in `error`; `unreachable`
// tells a server that could not be reached or used (a dataset not granted
// too) from a read that failed once connected.
bool readPairs(const TeamAddress &address, const QStringList &catalogue, AgreementTally *tally,
               QString *error, bool *unreachable);

} // namespace TeamAgreement
