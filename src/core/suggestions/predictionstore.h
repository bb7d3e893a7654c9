#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class TeamAddress;

// Where one annotation store's predictions are kept: a SQLite file beside an
// annotation file, or a table on a team's server. Entries are per image and
// per model; a model is known by its name and the SHA-256 of its bytes.
// Predictions imported from another pipeline carry the name only (an empty
// digest), and count for every model of that name.
//
// Used from one thread at a time (the predicting thread, or the command
// line); each call opens what it needs and says why when it fails. The
// connection is made in the thread of the call: a call from another thread
// than the last one's connects anew there, so the store may be made on one
// thread and used on another. Each store object has a connection of its own.
class PredictionStore
{
public:
    struct Entry
    {
        QString fileName;
        // The image file as it was predicted: a different size or
        // modification time makes the entry stale. Imported entries have
        // neither (-1): they stay current whatever the file does.
        qint64 size = -1;
        qint64 modified = -1; // milliseconds since the epoch
        // One probability per catalogue label, in the catalogue's order; NaN
        // for a label the model does not give.
        QList<float> values;
        // The model's embedding of the image, reduced; empty when the model
        // names no features output.
        QByteArray features;
    };

    // A model with entries stored: its name, and its digest (empty for
    // imported entries).
    struct Model
    {
        QString name;
        QByteArray sha256;
    };

    virtual ~PredictionStore() = default;

    // Makes ready to keep the predictions of the model `modelName` with the
    // digest `sha256` (empty: imported under the name); a file is made only
    // here, on first use.
    virtual bool open(const QString &modelName, const QByteArray &sha256, QString *error) = 0;
    // Every entry of the opened model (its own, then imported ones of its
    // name where it has none), by file name.
    virtual QHash<QString, Entry> readAll(QString *error) = 0;
    // The entries readAll() gives, handed to `take` one at a time, so that a
    // store may stream a million of them instead of holding them all; the
    // features may be left out when `withFeatures` is false. False with the
    // reason in `error` when the store could not be read.
    virtual bool readEach(const std::function<void(const Entry &)> &take, bool withFeatures,
                          QString *error)
    {
        Q_UNUSED(withFeatures);
        QString failure;
        const QHash<QString, Entry> entries = readAll(&failure);
        if (!failure.isEmpty()) {
            if (error)
                *error = failure;
            return false;
        }
        for (const Entry &entry : entries)
            take(entry);
        return true;
    }
    // Adds or replaces entries of the opened model, all or none.
    virtual bool write(const QList<Entry> &entries, QString *error) = 0;
    // Of `names`, those this program may predict now: on a team's server the
    // ones no other program is predicting, which are then taken for this
    // one until written or a minute passed; a file gives all of them.
    virtual QStringList claim(const QStringList &names, QString *error)
    {
        Q_UNUSED(error);
        return names;
    }
    // The trained weights kept for the opened model (one blob per model);
    // empty when none are. A store that keeps none reads none and writes
    // nothing.
    virtual QByteArray readWeights(QString *error)
    {
        Q_UNUSED(error);
        return QByteArray();
    }
    virtual bool writeWeights(const QByteArray &weights, QString *error)
    {
        Q_UNUSED(weights);
        Q_UNUSED(error);
        return true;
    }
    // One program of a team trains at a time, and the others take its
    // result: true when this one may train now, which it then may for
    // `seconds` or until it gives the turn back (a turn left by a program
    // that stopped lapses). A file's store always may.
    virtual bool takeTrainingTurn(int seconds, QString *error)
    {
        Q_UNUSED(seconds);
        Q_UNUSED(error);
        return true;
    }
    virtual void giveTrainingTurn() {}
    // The models that have entries, by name then digest; makes nothing (no
    // store yet: none).
    virtual QList<Model> models(QString *error)
    {
        Q_UNUSED(error);
        return {};
    }

    // The store beside the annotation file `annotationPath`
    // ("<file>.predictions.sqlite"), or on the server of `address`.
    static std::unique_ptr<PredictionStore> besideFile(const QString &annotationPath);
    static std::unique_ptr<PredictionStore> onServer(const TeamAddress &address);
    // The store of `store`, an annotation file's path or a team's address
    // as the command line tells them apart; nothing, with the reason in
    // `error`, for an address that does not parse or a folder.
    static std::unique_ptr<PredictionStore> named(const QString &store, QString *error);
};
