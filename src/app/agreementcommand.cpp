#include "agreementcommand.h"

#include "commandline.h"
#include "labelagreement.h"
#include "labelcatalogue.h"
#include "teamaddress.h"
#include "teamagreement.h"

#include <cstdio>
#include <cstring>

namespace {

using CommandLine::refuse;
using CommandLine::text;

} // namespace

bool asksForAgreement(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--agreement", 11) == 0
            && (argv[i][11] == '\0' || argv[i][11] == '='))
            return true;
    return false;
}

int printAgreement(const QString &addressText, qsizetype extraArguments)
{
    if (extraArguments > 0)
        return refuse(text("用法：norvanta --agreement ADDRESS"));
    QString error;
    const std::optional<TeamAddress> address = TeamAddress::parse(addressText, &error);
    if (!address)
        return refuse(error);
    const QStringList catalogue = labelCatalogue();
    AgreementTally tally(int(catalogue.size()));
    bool unreachable = false;
    if (!TeamAgreement::readPairs(*address, catalogue, &tally, &error, &unreachable))
        return refuse(error, unreachable ? 2 : 1);
    QString table = (QStringList{text("标签")} + LabelAgreement::headers()).join(u'\t') + u'\n';
    for (int label = 0; label < catalogue.size(); ++label)
        table += (QStringList{catalogue.at(label)} + LabelAgreement::cells(tally.counts(label)))
                     .join(u'\t')
            + u'\n';
    std::fputs(qUtf8Printable(table), stdout);
    return 0;
}
