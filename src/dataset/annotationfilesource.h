#pragma once

#include "datasetsource.h"

#include <QHash>
#include <QStringView>

#include <array>
#include <functional>

// A source that reads the annotation file itself, once each time the file
// on disk changed, and keeps an index of the readers' rows by name.
class AnnotationFileSource final : public DatasetSource
{
    Q_OBJECT

public:
    AnnotationFileSource(const QString &path, const QStringList &catalogue,
                         std::function<QStringList()> listedNames,
                         std::function<int()> currentIndex, QObject *parent = nullptr);

    QStringList catalogue() const override;
    QStringList listedNames() const override;
    int currentIndex() const override;
    ImageFacts facts(const QString &fileName) const override;
    void refresh() override;

private:
    // What tells one version of the file from the next without reading it.
    using Signature = std::array<qint64, 6>;
    Signature look() const;

    QString path;
    QStringList labels;
    std::function<QStringList()> names;
    std::function<int()> current;
    bool read = false;
    Signature seen{};
    QStringList lines;                       // the keys of `rows` point into them
    QHash<QStringView, ImageFacts> rows;
};
