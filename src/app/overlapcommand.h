#pragma once

#include "grantcommand.h"

#include <QString>

// `norvanta --overlap PERCENT ADDRESS`: the owner of the team's tables sets
// the share of the dataset's images that two annotators label, each blind
// to the other's labels. The images are drawn once from a seed kept with
// the dataset, so that those chosen stay chosen when the share rises.
// Nothing is shown but one line; the status as for a grant.
GrantReport changeOverlap(const QString &percentText, const QString &addressText);
