#pragma once

#include <QString>
#include <QStringList>

// The label catalogue: the order is the order of the label buttons and of
// the flag columns of the annotation file and of a team's dataset, so it
// must never change.
QStringList labelCatalogue();

// A label's code, its last two letters, in capitals: the keys that give it.
QString labelCode(const QString &label);

// The catalogue's "no defect" entry, and whether `label` is it.
QString noDefectLabel();
bool isNoDefect(const QString &label);
