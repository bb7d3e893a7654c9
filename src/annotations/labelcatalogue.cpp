#include "labelcatalogue.h"

QStringList labelCatalogue()
{
    return {
        QStringLiteral("裂缝、断裂和坍塌_RB"),
        QStringLiteral("侧向修复切口_OS"),
        QStringLiteral("变形_DE"),
        QStringLiteral("表面损伤_OB"),
        QStringLiteral("施工变更相关缺陷_OK"),
        QStringLiteral("凿孔连接_PH"),
        QStringLiteral("无缺陷_ND"),
        QStringLiteral("脱节、关节移位_FS"),
        QStringLiteral("生产错误_PF"),
        QStringLiteral("接口材料脱落_IS"),
        QStringLiteral("树根_RO"),
        QStringLiteral("渗透_IN"),
        QStringLiteral("沉积_AF"),
        QStringLiteral("结垢、腐蚀物_BE"),
        QStringLiteral("障碍物_FO"),
        QStringLiteral("支管暗接_GR"),
        QStringLiteral("与过渡轮廓的连接_OP"),
        QStringLiteral("水位_VA"),
        QStringLiteral("钻孔连接_PB"),
    };
}
