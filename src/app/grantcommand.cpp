#include "grantcommand.h"

#include "commandline.h"
#include "labelcatalogue.h"
#include "teamaddress.h"
#include "teamdatabase.h"

#include <QCoreApplication>

namespace {

using CommandLine::text;

} // namespace

GrantReport changeDataset(const QString &addressText,
                          const std::function<GrantReport(TeamDatabase &, const TeamAddress &)> &change)
{
    QString error;
    const std::optional<TeamAddress> address = TeamAddress::parse(addressText, &error);
    if (!address)
        return {2, error};
    TeamDatabase database(*address, labelCatalogue(), QString(), QString());
    if (!database.open(&error))
        return {2, text("无法连接标签数据库：") + error};
    return change(database, *address);
}

GrantReport changeGrant(const QString &role, const QString &addressText, bool granting,
                        bool reviewer)
{
    return changeDataset(addressText, [&](TeamDatabase &database, const TeamAddress &address) {
        QString error;
        bool changed = false;
        if (!database.setMember(role, granting, &changed, &error, reviewer))
            return GrantReport{1, error};
        const QString dataset = address.dataset();
        if (reviewer)
            return GrantReport{0, changed ? text("已指定角色 %1 审核数据集 %2").arg(role, dataset)
                                          : text("角色 %1 已可审核数据集 %2").arg(role, dataset)};
        if (granting)
            return GrantReport{0, changed ? text("已授予角色 %1 使用数据集 %2").arg(role, dataset)
                                          : text("角色 %1 已可使用数据集 %2").arg(role, dataset)};
        return GrantReport{0, changed ? text("已收回角色 %1 对数据集 %2 的使用权").arg(role, dataset)
                                      : text("角色 %1 本无数据集 %2 的使用权").arg(role, dataset)};
    });
}
