#pragma once

#include <QString>

// norvanta --agreement ADDRESS: how far the two annotators of the dataset's
// doubly-labelled images agree, per catalogue label, as the dataset
// window's label table shows it: one header line, then one line per label
// in catalogue order, the label first, tab-separated. No display.

bool asksForAgreement(int argc, char *argv[]);

// 0 when printed, 2 when refused (a bad command line or address, a server
// that cannot be reached or used, a dataset not granted), 1 when the
// dataset could not be read; a refusal is one line on the standard error.
int printAgreement(const QString &address, qsizetype extraArguments);
