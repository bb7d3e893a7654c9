#pragma once

#include <QCoreApplication>
#include <QString>

#include <cstdio>

// What each of the program's commands says on the command line: its texts,
// and a refusal as one line on the standard error, named after the program,
// ending with the status given (a wrong command line's, 2, unless said).
namespace CommandLine {

inline QString text(const char *source)
{
    return QCoreApplication::translate("norvanta", source);
}

inline int refuse(const QString &reason, int status = 2)
{
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(QCoreApplication::applicationName()),
                 qUtf8Printable(reason));
    return status;
}

} // namespace CommandLine
