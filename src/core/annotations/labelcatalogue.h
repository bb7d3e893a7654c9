#pragma once

#include <QStringList>

// The label catalogue: the order is the order of the label buttons and of
// the flag columns of the annotation file and of a team's dataset, so it
// must never change.
QStringList labelCatalogue();
