#pragma once

#include <QString>

// Keeps the settings that the program remembers between runs away from the
// user's own: a test or benchmark reads and writes them in a folder of its
// own, and never finds what an earlier run left.
namespace TestSettings {

// From now on every setting of this process lives in `folder`.
void keepIn(const QString &folder);
// A temporary folder for the rest of the process, unless one is chosen
// already; done by every dialog answerer, before any window is made.
void isolate();

} // namespace TestSettings
