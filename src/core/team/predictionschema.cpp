#include "predictionschema.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char *const tables[] = {"norvanta_prediction_models", "norvanta_predictions",
                              "norvanta_prediction_claims"};

QStringList tableStatements()
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_prediction_models ("
                       " id integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
                       " name text NOT NULL,"
                       " sha256 bytea NOT NULL,"
                       " UNIQUE (name, sha256))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_predictions ("
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " model integer NOT NULL REFERENCES norvanta_prediction_models (id),"
                       " image text NOT NULL,"
                       " size bigint NOT NULL,"
                       " modified bigint NOT NULL,"
                       " probabilities bytea NOT NULL,"
                       " features bytea,"
                       " PRIMARY KEY (dataset, model, image))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_prediction_claims ("
                       " dataset integer NOT NULL,"
                       " model integer NOT NULL,"
                       " image text NOT NULL,"
                       " holder text NOT NULL,"
                       " until timestamptz NOT NULL,"
                       " PRIMARY KEY (dataset, model, image))"),
    };
}

// The key of a model, made when it has none; a digest in hexadecimal, empty
// for the predictions imported under a name.
QString modelFunction()
{
    return QStringLiteral(R"(
CREATE OR REPLACE FUNCTION norvanta_prediction_model(p_name text, p_sha256 text)
RETURNS integer
LANGUAGE plpgsql AS $$
DECLARE
    found integer;
BEGIN
    INSERT INTO norvanta_prediction_models (name, sha256)
        VALUES (p_name, decode(coalesce(p_sha256, ''), 'hex'))
        ON CONFLICT (name, sha256) DO NOTHING RETURNING id INTO found;
    IF found IS NULL THEN
        SELECT m.id INTO found FROM norvanta_prediction_models m
            WHERE m.name = p_name AND m.sha256 = decode(coalesce(p_sha256, ''), 'hex');
    END IF;
    RETURN found;
END
$$)");
}

// Of `p_images`, those now taken for `p_holder`: each is free, lapsed, or
// the holder's already, and is then the holder's for a minute. Claims and
// writes of one model on one dataset take their turn (a transaction lock),
// so no two programs get the same image and none waits on another's rows.
QString claimFunction()
{
    return QStringLiteral(R"(
CREATE OR REPLACE FUNCTION norvanta_claim_predictions(p_dataset integer, p_model integer,
    p_images text[], p_holder text)
RETURNS SETOF text
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_advisory_xact_lock(p_dataset, p_model);
    DELETE FROM norvanta_prediction_claims c
        WHERE c.dataset = p_dataset AND c.model = p_model AND c.until < now();
    RETURN QUERY
    WITH taken AS (
        INSERT INTO norvanta_prediction_claims AS c (dataset, model, image, holder, until)
            SELECT DISTINCT p_dataset, p_model, i, p_holder, now() + interval '60 seconds'
            FROM unnest(p_images) AS i WHERE i IS NOT NULL
            ON CONFLICT (dataset, model, image) DO UPDATE
            SET holder = excluded.holder, until = excluded.until
            WHERE c.holder = excluded.holder
            RETURNING c.image)
    SELECT t.image FROM taken t;
END
$$)");
}

// Adds or replaces the entries (probabilities and features in hexadecimal,
// features NULL where there are none) and lets go of their claims.
QString writeFunction()
{
    return QStringLiteral(R"(
CREATE OR REPLACE FUNCTION norvanta_write_predictions(p_dataset integer, p_model integer,
    p_holder text, p_images text[], p_sizes bigint[], p_modified bigint[], p_values text[],
    p_features text[])
RETURNS void
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_advisory_xact_lock(p_dataset, p_model);
    INSERT INTO norvanta_predictions AS p
            (dataset, model, image, size, modified, probabilities, features)
        SELECT p_dataset, p_model, e.image, e.size, e.modified, decode(e.v, 'hex'),
            decode(e.f, 'hex')
        FROM unnest(p_images, p_sizes, p_modified, p_values, p_features)
            AS e(image, size, modified, v, f)
        ON CONFLICT (dataset, model, image) DO UPDATE
        SET size = excluded.size, modified = excluded.modified,
            probabilities = excluded.probabilities, features = excluded.features;
    DELETE FROM norvanta_prediction_claims c
        WHERE c.dataset = p_dataset AND c.model = p_model AND c.holder = p_holder
            AND c.image = ANY (p_images);
END
$$)");
}

const struct
{
    const char *name;
    const char *signature;
    QString (*definition)();
} functions[] = {
    {"norvanta_prediction_model", "norvanta_prediction_model(text,text)", modelFunction},
    {"norvanta_claim_predictions", "norvanta_claim_predictions(integer,integer,text[],text)",
     claimFunction},
    {"norvanta_write_predictions",
     "norvanta_write_predictions(integer,integer,text,text[],bigint[],bigint[],text[],text[])",
     writeFunction},
};

QString bodyOf(const QString &definition)
{
    const qsizetype start = definition.indexOf(QStringLiteral("$$")) + 2;
    return definition.mid(start, definition.lastIndexOf(QStringLiteral("$$")) - start);
}

// The tables and functions the server lacks, or has with another body, in
// one round trip: a team's program asks at every connection.
bool findMissing(QSqlQuery *query, QStringList *missing)
{
    QStringList checks;
    for (const char *table : tables)
        checks << QStringLiteral("to_regclass('%1') IS NOT NULL").arg(QLatin1String(table));
    for (const auto &function : functions)
        checks << QStringLiteral("EXISTS (SELECT 1 FROM pg_proc WHERE oid = to_regprocedure('%1')"
                                 " AND prosrc = ?)").arg(QLatin1String(function.signature));
    query->prepare(QStringLiteral("SELECT ") + checks.join(QStringLiteral(", ")));
    for (const auto &function : functions)
        query->addBindValue(bodyOf(function.definition()));
    if (!query->exec() || !query->next())
        return false;
    int column = 0;
    for (const char *table : tables) {
        if (!query->value(column++).toBool())
            *missing << QString::fromLatin1(table);
    }
    for (const auto &function : functions) {
        if (!query->value(column++).toBool())
            *missing << QString::fromLatin1(function.name);
    }
    return true;
}

} // namespace

bool PredictionSchema::ensure(QSqlDatabase &db, bool required, QString *error)
{
    QSqlQuery query(db);
    QStringList missing;
    if (!findMissing(&query, &missing)) {
        *error = query.lastError().text();
        return false;
    }
    if (missing.isEmpty())
        return true;
    QStringList statements = tableStatements();
    for (const auto &function : functions)
        statements << function.definition();
    // The lock the rest of the schema is made under.
    bool made = db.transaction() && query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(7150447)"));
    for (const QString &statement : statements)
        made = made && query.exec(statement);
    if (made && db.commit())
        return true;
    const QString cause = query.lastError().isValid() ? query.lastError().databaseText()
                                                      : db.lastError().text();
    db.rollback();
    if (!required)
        return true;
    *error = QCoreApplication::translate("PredictionSchema",
                                         "数据库中缺少 %1，当前角色无权创建；请数据库管理员按说明建表并授权")
                 .arg(missing.join(QStringLiteral(", ")));
    if (query.lastError().nativeErrorCode() != QStringLiteral("42501"))
        *error = cause;
    return false;
}
