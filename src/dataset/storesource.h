#pragma once

#include "datasetsource.h"

#include <functional>

class AnnotationStore;

// The dataset window's source: the main window's list and position, and the
// annotation store's index of the file.
class StoreSource final : public DatasetSource
{
    Q_OBJECT

public:
    // Takes `store` as its child when nothing owns it yet.
    StoreSource(AnnotationStore *store, std::function<QStringList()> listedNames,
                std::function<int()> currentIndex, QObject *parent = nullptr);

    QStringList catalogue() const override;
    QStringList listedNames() const override;
    int currentIndex() const override;
    ImageFacts facts(const QString &fileName) const override;
    void refresh() override;

private:
    AnnotationStore *store;
    std::function<QStringList()> names;
    std::function<int()> current;
};
