#pragma once

#include <QSize>
#include <QString>

// Writes a PNG of `size` whose every pixel is black, 8-bit RGB, without ever
// holding its pixels: the compressed stream of zeros is written directly,
// about one byte for every 160 pixels. With `decodable` false the picture
// data is no compressed stream at all, so that a decode fails at once, after
// the header has told the size.
void writeBlackPng(const QString &path, const QSize &size, bool decodable = true);

// Waits until every decode on the application's thread pools has ended, then
// lets the results they hand on arrive.
void waitForBackgroundDecodes();
