#include "testsettings.h"

#include <QSettings>
#include <QTemporaryDir>

namespace {

bool chosen = false;

} // namespace

void TestSettings::keepIn(const QString &folder)
{
    chosen = true;
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, folder);
        QSettings::setPath(format, QSettings::SystemScope, folder + QStringLiteral("/system"));
    }
}

void TestSettings::isolate()
{
    if (chosen)
        return;
    static QTemporaryDir folder;
    keepIn(folder.path());
}
