#include "predictionstore.h"

#include "predictionfile.h"
#include "predictionserver.h"
#include "teamaddress.h"

#include <QCoreApplication>
#include <QFileInfo>

std::unique_ptr<PredictionStore> PredictionStore::besideFile(const QString &annotationPath)
{
    return std::make_unique<PredictionFile>(annotationPath);
}

std::unique_ptr<PredictionStore> PredictionStore::onServer(const TeamAddress &address)
{
    return std::make_unique<PredictionServer>(address);
}

std::unique_ptr<PredictionStore> PredictionStore::named(const QString &store, QString *error)
{
    if (TeamAddress::isAddress(store)) {
        const std::optional<TeamAddress> address = TeamAddress::parse(store, error);
        return address ? onServer(*address) : nullptr;
    }
    if (store.isEmpty() || QFileInfo(store).isDir()) {
        *error = QCoreApplication::translate("PredictionStore", "不是标签文件：%1").arg(store);
        return nullptr;
    }
    return besideFile(store);
}
