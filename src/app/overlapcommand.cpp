#include "overlapcommand.h"

#include "commandline.h"
#include "labelcatalogue.h"
#include "teamaddress.h"
#include "teamdatabase.h"

#include <QRegularExpression>

#include <optional>

namespace {

using CommandLine::text;

// A plain number from 0 to 100: digits, and a fraction after a point; no
// sign, exponent, spaces or words a conversion would also take.
std::optional<double> percentOf(const QString &value)
{
    static const QRegularExpression plain(QStringLiteral("^[0-9]{1,3}(\\.[0-9]{1,6})?$"));
    if (!plain.match(value).hasMatch())
        return std::nullopt;
    const double percent = value.toDouble();
    if (percent > 100)
        return std::nullopt;
    return percent;
}

} // namespace

GrantReport changeOverlap(const QString &percentText, const QString &addressText)
{
    const std::optional<double> percent = percentOf(percentText);
    if (!percent)
        return {2, text("重复标注比例无效：须为 0 到 100 之间的数，如 10 或 12.5")};
    return changeDataset(addressText, [&](TeamDatabase &database, const TeamAddress &address) {
        QString error;
        if (!database.setOverlap(*percent, &error))
            return GrantReport{1, error};
        return GrantReport{0, *percent > 0 ? text("数据集 %1 中 %2% 的图片将由两名标注人分别标注")
                                                 .arg(address.dataset(), QString::number(*percent))
                                           : text("数据集 %1 不再有图片由两名标注人分别标注")
                                                 .arg(address.dataset())};
    });
}
