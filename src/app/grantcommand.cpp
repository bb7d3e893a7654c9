#include "grantcommand.h"

#include "commandline.h"
#include "labelcatalogue.h"
#include "teamaddress.h"
#include "teamdatabase.h"

#include <QCoreApplication>

namespace {

using CommandLine::text;

} // namespace

GrantReport changeGrant(const QString &role, const QString &addressText, bool granting,
                        bool reviewer)
{
    GrantReport report;
    QString error;
    const std::optional<TeamAddress> address = TeamAddress::parse(addressText, &error);
    if (!address) {
        report.status = 2;
        report.text = error;
        return report;
    }
    // A member's role could never open a dataset not granted to it: only
    // the owner gets this far, and makes the dataset when it is new.
    TeamDatabase database(*address, labelCatalogue(), QString(), QString());
    if (!database.open(&error)) {
        report.status = 2;
        report.text = text("无法连接标签数据库：") + error;
        return report;
    }
    bool changed = false;
    if (!database.setMember(role, granting, &changed, &error, reviewer)) {
        report.status = 1;
        report.text = error;
        return report;
    }
    const QString dataset = address->dataset();
    if (reviewer)
        report.text = changed ? text("已指定角色 %1 审核数据集 %2").arg(role, dataset)
                              : text("角色 %1 已可审核数据集 %2").arg(role, dataset);
    else if (granting)
        report.text = changed ? text("已授予角色 %1 使用数据集 %2").arg(role, dataset)
                              : text("角色 %1 已可使用数据集 %2").arg(role, dataset);
    else
        report.text = changed ? text("已收回角色 %1 对数据集 %2 的使用权").arg(role, dataset)
                              : text("角色 %1 本无数据集 %2 的使用权").arg(role, dataset);
    return report;
}
