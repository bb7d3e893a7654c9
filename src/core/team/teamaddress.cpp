#include "teamaddress.h"

#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

static const QString schemes[] = {QStringLiteral("postgresql://"), QStringLiteral("postgres://")};

bool TeamAddress::isAddress(const QString &text)
{
    for (const QString &scheme : schemes) {
        if (text.startsWith(scheme, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool TeamAddress::isDatasetName(const QString &name)
{
    if (name.isEmpty() || name.size() > 63)
        return false;
    for (const QChar c : name) {
        if (!c.isLetterOrNumber() && c != u'_' && c != u'-' && c != u'.')
            return false;
    }
    return true;
}

// libpq's connection parameters that an address may set; any other name is
// refused rather than forwarded, and so is every spelling of a password or
// of the file that holds one.
static bool isKnownParameter(const QString &key)
{
    static const QStringList known{
        QStringLiteral("host"), QStringLiteral("hostaddr"), QStringLiteral("port"),
        QStringLiteral("dbname"), QStringLiteral("user"), QStringLiteral("connect_timeout"),
        QStringLiteral("client_encoding"), QStringLiteral("options"),
        QStringLiteral("application_name"), QStringLiteral("fallback_application_name"),
        QStringLiteral("keepalives"), QStringLiteral("keepalives_idle"),
        QStringLiteral("keepalives_interval"), QStringLiteral("keepalives_count"),
        QStringLiteral("tcp_user_timeout"), QStringLiteral("sslmode"), QStringLiteral("requiressl"),
        QStringLiteral("sslcompression"), QStringLiteral("sslcert"), QStringLiteral("sslkey"),
        QStringLiteral("sslrootcert"), QStringLiteral("sslcrl"), QStringLiteral("sslcrldir"),
        QStringLiteral("sslsni"), QStringLiteral("sslcertmode"), QStringLiteral("requirepeer"),
        QStringLiteral("require_auth"), QStringLiteral("ssl_min_protocol_version"),
        QStringLiteral("ssl_max_protocol_version"), QStringLiteral("gssencmode"),
        QStringLiteral("krbsrvname"), QStringLiteral("gsslib"), QStringLiteral("service"),
        QStringLiteral("target_session_attrs"), QStringLiteral("load_balance_hosts"),
        QStringLiteral("channel_binding")};
    return known.contains(key);
}

static bool namesAPassword(const QString &key)
{
    QString letters;
    for (const QChar c : key) {
        if (c.isLetter())
            letters += c.toLower();
    }
    return letters.contains(QStringLiteral("password")) || letters.contains(QStringLiteral("passfile"));
}

static QString decoded(const QString &part)
{
    return QUrl::fromPercentEncoding(part.toUtf8());
}

std::optional<TeamAddress> TeamAddress::parse(const QString &text, QString *error)
{
    QString rest;
    for (const QString &scheme : schemes) {
        if (text.startsWith(scheme, Qt::CaseInsensitive))
            rest = text.mid(scheme.size());
    }
    if (!isAddress(text)) {
        *error = tr("不是标签数据库的地址：%1").arg(text);
        return std::nullopt;
    }

    TeamAddress address;
    address.text = text;
    const qsizetype query = rest.indexOf(u'?');
    const QString location = rest.left(query);
    const qsizetype slash = location.indexOf(u'/');
    if (slash < 0 || slash == location.size() - 1) {
        *error = tr("标签数据库的地址缺少数据库名：%1").arg(text);
        return std::nullopt;
    }
    address.parameters.append({QStringLiteral("dbname"), decoded(location.mid(slash + 1))});
    if (!address.takeAuthority(location.left(slash), error)
        || !address.takeQuery(query < 0 ? QStringList() : rest.mid(query + 1).split(u'&'), error))
        return std::nullopt;
    if (address.datasetName.isEmpty()) {
        *error = tr("标签数据库的地址缺少 dataset=数据集名称：%1").arg(text);
        return std::nullopt;
    }
    return address;
}

bool TeamAddress::takeAuthority(QString authority, QString *error)
{
    const qsizetype at = authority.lastIndexOf(u'@');
    if (at >= 0) {
        const QString user = authority.left(at);
        if (user.contains(u':')) {
            // Not even the rest of the address is repeated: it holds the password.
            *error = tr("标签数据库的地址不能含有密码；请使用 ~/.pgpass 或 PGPASSWORD");
            return false;
        }
        if (!user.isEmpty())
            parameters.append({QStringLiteral("user"), decoded(user)});
        authority = authority.mid(at + 1);
    }
    // A port follows the last ":" outside the brackets of an IPv6 host.
    const qsizetype colon = authority.lastIndexOf(u':');
    if (colon >= 0 && colon > authority.lastIndexOf(u']')) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
        const QString port = authority.mid(colon + 1);
        if (!digits.match(port).hasMatch() || port.toInt() < 1 || port.toInt() > 65535) {
            *error = tr("标签数据库的端口无效：%1").arg(port);
            return false;
        }
        parameters.append({QStringLiteral("port"), port});
        authority.truncate(colon);
    }
    if (authority.startsWith(u'[') && authority.endsWith(u']'))
        authority = authority.mid(1, authority.size() - 2);
    if (!authority.isEmpty())
        parameters.append({QStringLiteral("host"), decoded(authority)});
    return true;
}

bool TeamAddress::takeQuery(const QStringList &pairs, QString *error)
{
    for (const QString &pair : pairs) {
        const qsizetype equals = pair.indexOf(u'=');
        const QString key = decoded(pair.left(equals));
        const QString value = equals < 0 ? QString() : decoded(pair.mid(equals + 1));
        if (equals <= 0) {
            *error = tr("标签数据库的地址参数无效：%1").arg(pair);
            return false;
        }
        if (key == u"dataset") {
            if (!datasetName.isEmpty() || !isDatasetName(value)) {
                *error = !datasetName.isEmpty()
                             ? tr("标签数据库的地址给出了多个数据集")
                             : tr("数据集名称无效（1 到 63 个字母、数字、_、- 或 .）：%1").arg(value);
                return false;
            }
            datasetName = value;
        } else if (namesAPassword(key)) {
            *error = tr("标签数据库的地址不能含有密码；请使用 ~/.pgpass 或 PGPASSWORD");
            return false;
        } else if (!isKnownParameter(key)) {
            *error = tr("标签数据库的地址参数未知：%1").arg(key);
            return false;
        } else if (value.contains(u';')) {
            // The driver takes ";" for a separator of its options.
            *error = tr("标签数据库的地址参数不能含有分号：%1").arg(key);
            return false;
        } else {
            parameters.append({key, value});
        }
    }
    return true;
}

QString TeamAddress::parameter(const QString &key) const
{
    QString value;
    for (const auto &[name, given] : parameters) {
        if (name == key)
            value = given;
    }
    return value;
}

QString TeamAddress::connectOptions() const
{
    QStringList options;
    // Defaults that the address may override: libpq takes the last of a key.
    options << QStringLiteral("application_name='norvanta'") << QStringLiteral("connect_timeout='5'");
    for (const auto &[key, value] : parameters) {
        QString quoted = value;
        quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
        options << key + QStringLiteral("='") + quoted + u'\'';
    }
    return options.join(u';');
}

QString resolveAnnotator(const QString &named)
{
    if (!named.isEmpty())
        return named;
    return qEnvironmentVariable("NORVANTA_ANNOTATOR");
}

bool isAnnotatorName(const QString &name)
{
    if (name.trimmed().isEmpty() || name.size() > 63)
        return false;
    return std::none_of(name.cbegin(), name.cend(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}
