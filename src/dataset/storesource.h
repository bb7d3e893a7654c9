#pragma once

#include "datasetsource.h"

class Tavrelin;

// The dataset window's source: the main window's session (the listed images
// and the current position) and its annotation store, whose index answers
// for every name and tells when it was read anew or a row was saved.
class StoreSource final : public DatasetSource
{
    Q_OBJECT

public:
    explicit StoreSource(const Tavrelin *window, QObject *parent = nullptr);

    QStringList catalogue() const override;
    QString annotationPath() const override;
    QStringList listedNames() const override;
    int currentIndex() const override;
    ImageFacts facts(const QString &fileName) const override;
    ImageFacts factsAt(qsizetype position) const override;
    void refresh() override;

private:
    const Tavrelin *window;
};
