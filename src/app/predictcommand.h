#pragma once

#include <QString>
#include <QStringList>

// norvanta --predict NAME.onnx STORE IMAGE_FOLDER: predicts, without a
// window, every listed image of IMAGE_FOLDER without a current prediction in
// STORE (an annotation file or a team's address), on every core. Its progress
// goes to the standard output, a bar on a terminal and a line each tenth
// otherwise. What is predicted is stored in batches, so that a run stopped
// (Ctrl+C) and started again predicts only what was not stored.

// Whether the command line asks for it: then no display is needed.
bool asksToPredict(int argc, char *argv[]);

// 0 when every image was predicted (or found undecodable), 2 on a wrong
// command line or a refusal, told on the standard error in one line; 1 when
// predictions could not be stored; 130 when stopped.
int predictImages(const QString &onnxPath, const QStringList &arguments);
