#include "teamschema.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

// Every function a member calls runs as the owner of the tables (SECURITY
// DEFINER), with a search path that no member can put an object of its own
// into before the owner's, and begins by checking that the calling role
// (session_user: the role the server authenticated) was granted the
// dataset. A member's role has only SELECT on the tables, which row
// security limits to the datasets granted to it, and EXECUTE on the
// functions: a member writes only through them, and only as itself.
//
// Every function is made by definitionOf() and granted by grantsOf(): a new
// one is an entry in `functions`, whose body begins with
// `PERFORM norvanta_check(p_dataset)` and records `session_user` as the role
// that wrote. A new table is its CREATE in tableStatements() and an entry in
// `tables`, which gives every role SELECT on it and row security by its
// dataset column. A database that lacks either gains it at the owner's next
// open (findMissing() compares names and bodies).

namespace TeamSchema {

namespace {

// A server function: its definition is made from these parts alone.
struct ServerFunction
{
    const char *name;
    const char *arguments; // as in CREATE FUNCTION, each "name type"
    const char *returns;
    const char *language;
    const char *attributes; // STABLE, or empty for VOLATILE
    const char *body;
};

// Whether the calling role is (or acts as) the owner of the tables.
const char isOwnerBody[] = R"(
    SELECT pg_has_role(session_user, c.relowner, 'MEMBER') FROM pg_class c
        WHERE c.oid = 'public.norvanta_datasets'::regclass
)";

// The datasets the calling role may read and write: all for the owner, else
// those granted to the role or to a role it belongs to. Row security asks
// it once per statement (a hashed subplan), not per row.
const char usableBody[] = R"(
    SELECT d.id FROM norvanta_datasets d WHERE norvanta_is_owner()
        OR EXISTS (SELECT 1 FROM norvanta_members m JOIN pg_roles r ON r.rolname = m.role
            WHERE m.dataset = d.id AND pg_has_role(session_user, r.oid, 'MEMBER'))
)";

const char checkBody[] = R"(
BEGIN
    IF NOT EXISTS (SELECT 1 FROM norvanta_usable() u WHERE u = p_dataset) THEN
        RAISE EXCEPTION 'norvanta: the role % has no grant of this dataset', session_user
            USING ERRCODE = 'NV002';
    END IF;
END
)";

// The name a row is saved under: the person's, as the program passes it,
// else the role's.
const char annotatorBody[] = R"(
BEGIN
    IF p_annotator IS NULL OR p_annotator = '' THEN
        RETURN session_user;
    END IF;
    IF length(p_annotator) > 63 OR p_annotator ~ '[[:cntrl:]]' THEN
        RAISE EXCEPTION 'norvanta: an annotator is named by 1 to 63 characters' USING ERRCODE = 'NV003';
    END IF;
    RETURN p_annotator;
END
)";

// The dataset's identifier; only the owner makes a dataset.
const char openBody[] = R"(
DECLARE
    found integer;
BEGIN
    SELECT d.id INTO found FROM norvanta_datasets d WHERE d.name = p_name;
    IF found IS NULL AND norvanta_is_owner() THEN
        INSERT INTO norvanta_datasets (name) VALUES (p_name) ON CONFLICT (name) DO NOTHING;
        SELECT d.id INTO found FROM norvanta_datasets d WHERE d.name = p_name;
    END IF;
    IF found IS NULL THEN
        RAISE EXCEPTION 'norvanta: the role % has no grant of this dataset', session_user
            USING ERRCODE = 'NV002';
    END IF;
    PERFORM norvanta_check(found);
    RETURN found;
END
)";

// A save in one call: the row is locked, checked against the version the
// window knows unless the window itself saved it last, written with a fresh
// stamp and recorded in the history, all in the caller's transaction. The
// listeners are told the stamp by the saving window once this has been
// committed (see TeamWorker); they read the row by it.
//
// A save the window has given up on must never be written: the window
// passes the moment it stops waiting, in the server's clock (milliseconds
// since the epoch; 0 for none), and a save that starts, or would commit,
// after it fails instead. The second check comes after the row's lock was
// waited for and the row written, just before the commit, so that only the
// commit itself lies after it; the window waits a second longer.
const char saveBody[] = R"(
DECLARE
    old norvanta_annotations%ROWTYPE;
    saved norvanta_annotations%ROWTYPE;
    v_annotator text := norvanta_annotator(p_annotator);
BEGIN
    PERFORM norvanta_check(p_dataset);
    IF p_deadline > 0 AND extract(epoch FROM clock_timestamp()) * 1000 > p_deadline THEN
        RAISE EXCEPTION 'norvanta: the window stopped waiting for this save' USING ERRCODE = 'NV001';
    END IF;
    SELECT * INTO old FROM norvanta_annotations a
        WHERE a.dataset = p_dataset AND a.image = p_image FOR UPDATE;
    IF NOT FOUND THEN
        INSERT INTO norvanta_annotations AS a
                (dataset, image, flags, version, annotator, saved_at, client, role, stamp)
            VALUES (p_dataset, p_image, p_flags, 1, v_annotator, now(), p_client, session_user,
                nextval('norvanta_stamps'))
            ON CONFLICT (dataset, image) DO NOTHING RETURNING * INTO saved;
        IF NOT FOUND THEN
            SELECT * INTO old FROM norvanta_annotations a
                WHERE a.dataset = p_dataset AND a.image = p_image FOR UPDATE;
        END IF;
    END IF;
    IF old.version IS NOT NULL THEN
        IF old.version <> p_known AND (old.client <> p_client OR old.role <> session_user) THEN
            RETURN QUERY SELECT true, old.image, old.flags, old.version, old.annotator,
                (extract(epoch FROM old.saved_at) * 1000)::bigint, old.client, old.stamp, old.review;
            RETURN;
        END IF;
        UPDATE norvanta_annotations a SET flags = p_flags, version = a.version + 1,
                annotator = v_annotator, saved_at = now(), client = p_client, role = session_user,
                stamp = nextval('norvanta_stamps'), review = 0, review_reason = ''
            WHERE a.dataset = p_dataset AND a.image = p_image RETURNING * INTO saved;
    END IF;
    INSERT INTO norvanta_history (dataset, image, annotator, saved_at, flags_before, flags_after, role)
        VALUES (p_dataset, p_image, v_annotator, saved.saved_at, old.flags, p_flags, session_user);
    -- A reviewer's save of an image labelled twice, whose second row is
    -- saved, settles it: the first row as it stood is kept beside the
    -- second, and the final row is accepted, under the save's stamp.
    IF old.version IS NOT NULL AND EXISTS (SELECT 1 FROM norvanta_second_rows s
            WHERE s.dataset = p_dataset AND s.image = p_image AND s.flags IS NOT NULL
            AND s.settled_at IS NULL) AND norvanta_is_reviewer(p_dataset) THEN
        UPDATE norvanta_second_rows s SET first_flags = old.flags, settled_by = v_annotator,
                settled_at = saved.saved_at, stamp = saved.stamp
            WHERE s.dataset = p_dataset AND s.image = p_image AND s.flags IS NOT NULL
            AND s.settled_at IS NULL;
        IF FOUND THEN
            UPDATE norvanta_annotations a SET review = 1
                WHERE a.dataset = p_dataset AND a.image = p_image RETURNING * INTO saved;
            INSERT INTO norvanta_history (dataset, image, annotator, saved_at, flags_before,
                    flags_after, role, review, review_reason)
                VALUES (p_dataset, p_image, v_annotator, saved.saved_at, p_flags, p_flags,
                    session_user, 1, '');
        END IF;
    END IF;
    IF p_deadline > 0 AND extract(epoch FROM clock_timestamp()) * 1000 > p_deadline THEN
        RAISE EXCEPTION 'norvanta: the window stopped waiting for this save' USING ERRCODE = 'NV001';
    END IF;
    RETURN QUERY SELECT false, saved.image, saved.flags, saved.version, saved.annotator,
        (extract(epoch FROM saved.saved_at) * 1000)::bigint, saved.client, saved.stamp, saved.review;
END
)";

// A step to the next unmarked image in one call: the first of the
// candidates (file names, separated by "/", which no name holds) that is not
// marked and that no other window holds is held for `p_holder`, whose other
// holds are given up; NULL when there is none. A hold is the holder's and
// its role's: another role naming the same holder takes nothing of it.
// - A candidate that another window's step is looking at right now (its
//   transaction lock on the name) is passed over at once: that window takes
//   it, or finds it taken or marked. No step waits for another, so steps of
//   many windows, each holding some rows until it ends, never deadlock.
// - A hold is one row per image: an arrow's hold being inserted at the same
//   time is waited for, and then found.
// - Each statement sees what was committed before it started, so a window
//   that saved a candidate and let go of it while the insert ran is seen by
//   the check after it.
// - A hold is a passing claim, and one lost in a crash of the server costs
//   no label: its commit does not wait for the disk.
const char takeBody[] = R"(
DECLARE
    candidate text;
    v_annotator text := norvanta_annotator(p_annotator);
BEGIN
    PERFORM norvanta_check(p_dataset);
    PERFORM set_config('synchronous_commit', 'off', true);
    DELETE FROM norvanta_holds h WHERE h.ctid IN (SELECT l.ctid FROM norvanta_holds l
        WHERE l.renewed < now() - interval '120 seconds' FOR UPDATE SKIP LOCKED);
    FOREACH candidate IN ARRAY string_to_array(p_candidates, '/') LOOP
        CONTINUE WHEN NOT pg_try_advisory_xact_lock(hashtextextended(candidate, p_dataset));
        INSERT INTO norvanta_holds AS h (dataset, image, holder, annotator, renewed, role)
            SELECT p_dataset, candidate, p_holder, v_annotator, now(), session_user
            WHERE NOT EXISTS (SELECT 1 FROM norvanta_annotations a
                WHERE a.dataset = p_dataset AND a.image = candidate AND a.flags <> 0
                AND a.review <> 2)
            ON CONFLICT (dataset, image) DO UPDATE
            SET holder = excluded.holder, annotator = excluded.annotator, renewed = now()
            WHERE (h.holder = excluded.holder AND h.role = excluded.role)
                OR h.renewed < now() - interval '120 seconds';
        CONTINUE WHEN NOT FOUND;
        IF EXISTS (SELECT 1 FROM norvanta_annotations a
                WHERE a.dataset = p_dataset AND a.image = candidate AND a.flags <> 0
                AND a.review <> 2) THEN
            DELETE FROM norvanta_holds h WHERE h.dataset = p_dataset AND h.image = candidate
                AND h.holder = p_holder AND h.role = session_user;
            CONTINUE;
        END IF;
        DELETE FROM norvanta_holds h WHERE h.holder = p_holder AND h.role = session_user
            AND (h.dataset <> p_dataset OR h.image <> candidate);
        RETURN candidate;
    END LOOP;
    RETURN NULL;
END
)";

// The arrows' hold: `p_image` held for the holder unless another holds it,
// the holder's other holds given up and every lapsed hold deleted; an empty
// name gives up all of the holder's. The image when held, else NULL.
const char holdBody[] = R"(
DECLARE
    held text;
BEGIN
    PERFORM norvanta_check(p_dataset);
    IF p_image IS NULL OR p_image = '' THEN
        DELETE FROM norvanta_holds h WHERE h.holder = p_holder AND h.role = session_user;
        RETURN NULL;
    END IF;
    DELETE FROM norvanta_holds h
        WHERE (h.holder = p_holder AND h.role = session_user AND h.image <> p_image)
        OR h.ctid IN (SELECT l.ctid FROM norvanta_holds l
            WHERE l.renewed < now() - interval '120 seconds' FOR UPDATE SKIP LOCKED);
    INSERT INTO norvanta_holds AS h (dataset, image, holder, annotator, renewed, role)
        VALUES (p_dataset, p_image, p_holder, norvanta_annotator(p_annotator), now(), session_user)
        ON CONFLICT (dataset, image) DO UPDATE
        SET holder = excluded.holder, annotator = excluded.annotator, renewed = now()
        WHERE (h.holder = excluded.holder AND h.role = excluded.role)
            OR h.renewed < now() - interval '120 seconds'
        RETURNING h.image INTO held;
    RETURN held;
END
)";

const char renewBody[] = R"(
    UPDATE norvanta_holds h SET renewed = now() WHERE h.holder = p_holder AND h.role = session_user
)";

// An import's rows go by COPY into a temporary table of this transaction
// that the owner makes and the caller may only insert into, so that
// norvanta_import() reads a table no member could have made into anything
// else.
const char importBeginBody[] = R"(
BEGIN
    CREATE TEMPORARY TABLE norvanta_incoming (image text NOT NULL, flags integer NOT NULL)
        ON COMMIT DROP;
    EXECUTE format('GRANT INSERT ON TABLE pg_temp.norvanta_incoming TO %I', session_user);
END
)";

// The rows that differ are written with fresh stamps and recorded in the
// history; the dataset's count of imports tells the listening windows,
// which hear of it, that it must be read anew. Rows the dataset lacks are
// inserted plainly, which costs less than an insert that looks for a
// conflict at each row; should a window save one of them meanwhile, that
// insert fails as a whole and is made again, row by row against what stands.
const char importBody[] = R"(
DECLARE
    v_annotator text := norvanta_annotator(p_annotator);
    v_changed bigint;
BEGIN
    PERFORM norvanta_check(p_dataset);
    IF NOT EXISTS (SELECT 1 FROM pg_class c WHERE c.oid = to_regclass('pg_temp.norvanta_incoming')
            AND c.relowner = (SELECT r.oid FROM pg_roles r WHERE r.rolname = current_user)) THEN
        RAISE EXCEPTION 'norvanta: no rows to import' USING ERRCODE = 'NV004';
    END IF;
    ANALYZE pg_temp.norvanta_incoming;
    IF to_regclass('pg_temp.norvanta_changed') IS NOT NULL THEN
        DROP TABLE pg_temp.norvanta_changed;
    END IF;
    CREATE TEMPORARY TABLE norvanta_changed ON COMMIT DROP AS
        SELECT i.image, i.flags, a.flags AS before FROM pg_temp.norvanta_incoming i
        LEFT JOIN norvanta_annotations a ON a.dataset = p_dataset AND a.image = i.image
        WHERE a.flags IS DISTINCT FROM i.flags;
    BEGIN
        INSERT INTO norvanta_annotations
            (dataset, image, flags, version, annotator, saved_at, client, role, stamp)
        SELECT p_dataset, c.image, c.flags, 1, v_annotator, now(), p_client, session_user,
            nextval('norvanta_stamps') FROM pg_temp.norvanta_changed c WHERE c.before IS NULL;
    EXCEPTION WHEN unique_violation THEN
        INSERT INTO norvanta_annotations AS a
            (dataset, image, flags, version, annotator, saved_at, client, role, stamp)
        SELECT p_dataset, c.image, c.flags, 1, v_annotator, now(), p_client, session_user,
            nextval('norvanta_stamps') FROM pg_temp.norvanta_changed c WHERE c.before IS NULL
        ON CONFLICT (dataset, image) DO UPDATE SET flags = excluded.flags,
            version = a.version + 1, annotator = excluded.annotator, saved_at = excluded.saved_at,
            client = excluded.client, role = excluded.role, stamp = excluded.stamp,
            review = 0, review_reason = '';
    END;
    UPDATE norvanta_annotations a SET flags = c.flags, version = a.version + 1,
        annotator = v_annotator, saved_at = now(), client = p_client, role = session_user,
        stamp = nextval('norvanta_stamps'), review = 0, review_reason = ''
    FROM pg_temp.norvanta_changed c WHERE c.before IS NOT NULL AND a.dataset = p_dataset AND a.image = c.image;
    INSERT INTO norvanta_history (dataset, image, annotator, saved_at, flags_before, flags_after, role)
        SELECT p_dataset, c.image, v_annotator, now(), c.before, c.flags, session_user
        FROM pg_temp.norvanta_changed c;
    GET DIAGNOSTICS v_changed = ROW_COUNT;
    UPDATE norvanta_datasets d SET imports = d.imports + 1 WHERE d.id = p_dataset;
    RETURN v_changed;
END
)";

// Whether the calling role may review the dataset's rows: the owner, and
// the members granted it as reviewers (or a role they belong to).
const char isReviewerBody[] = R"(
    SELECT norvanta_is_owner() OR EXISTS (SELECT 1 FROM norvanta_members m
        JOIN pg_roles r ON r.rolname = m.role
        WHERE m.dataset = p_dataset AND m.reviewer AND pg_has_role(session_user, r.oid, 'MEMBER'))
)";

// A reviewer accepts (review 1) or sends back (2, with a reason of one
// line) the row of `p_image` as the reviewer saw it, version `p_known`: a
// row saved since is refused, since its labels were not the ones looked at.
// The review is a new version with a fresh stamp, so every window hears of
// it as of a save; the row keeps who saved it and when, and the next save
// clears the review. The history records the reviewer, the role and the time.
const char reviewBody[] = R"(
DECLARE
    old norvanta_annotations%ROWTYPE;
    saved norvanta_annotations%ROWTYPE;
    v_reason text := CASE WHEN p_accept THEN ''
        ELSE btrim(regexp_replace(coalesce(p_reason, ''), '[[:cntrl:]]+', ' ', 'g')) END;
BEGIN
    PERFORM norvanta_check(p_dataset);
    IF NOT norvanta_is_reviewer(p_dataset) THEN
        RAISE EXCEPTION 'norvanta: the role % reviews no row of this dataset', session_user
            USING ERRCODE = 'NV005';
    END IF;
    IF NOT p_accept AND v_reason = '' THEN
        RAISE EXCEPTION 'norvanta: a row is sent back with a reason' USING ERRCODE = 'NV007';
    END IF;
    SELECT * INTO old FROM norvanta_annotations a
        WHERE a.dataset = p_dataset AND a.image = p_image FOR UPDATE;
    IF NOT FOUND OR old.version <> p_known THEN
        RAISE EXCEPTION 'norvanta: the row was saved again since it was shown' USING ERRCODE = 'NV006';
    END IF;
    UPDATE norvanta_annotations a SET review = CASE WHEN p_accept THEN 1 ELSE 2 END,
            review_reason = v_reason, version = a.version + 1, stamp = nextval('norvanta_stamps')
        WHERE a.dataset = p_dataset AND a.image = p_image RETURNING * INTO saved;
    -- Sent back, the image goes back to its annotator: the reviewer's
    -- window lets go of it.
    IF NOT p_accept THEN
        DELETE FROM norvanta_holds h WHERE h.dataset = p_dataset AND h.image = p_image
            AND h.holder = p_holder AND h.role = session_user;
    END IF;
    INSERT INTO norvanta_history (dataset, image, annotator, saved_at, flags_before, flags_after,
            role, review, review_reason)
        VALUES (p_dataset, p_image, norvanta_annotator(p_annotator), now(), old.flags, old.flags,
            session_user, saved.review, v_reason);
    RETURN QUERY SELECT saved.image, saved.flags, saved.version, saved.annotator,
        (extract(epoch FROM saved.saved_at) * 1000)::bigint, saved.client, saved.stamp,
        saved.review, saved.review_reason;
END
)";

// In the order they are made: each calls only those before it.
// The key of a model of the team's classifier, made when it has none; a
// digest in hexadecimal, empty for the predictions imported under a name.
const char predictionModelBody[] = R"(
DECLARE
    found integer;
BEGIN
    IF NOT EXISTS (SELECT 1 FROM norvanta_usable()) THEN
        RAISE EXCEPTION 'norvanta: the role % has no grant of any dataset', session_user
            USING ERRCODE = 'NV002';
    END IF;
    INSERT INTO norvanta_prediction_models (name, sha256)
        VALUES (p_name, decode(coalesce(p_sha256, ''), 'hex'))
        ON CONFLICT (name, sha256) DO NOTHING RETURNING id INTO found;
    IF found IS NULL THEN
        SELECT m.id INTO found FROM norvanta_prediction_models m
            WHERE m.name = p_name AND m.sha256 = decode(coalesce(p_sha256, ''), 'hex');
    END IF;
    RETURN found;
END
)";

// Of `p_images`, those now taken for `p_holder`: each is free, lapsed, or
// the holder's already, and is then the holder's for a minute. Claims and
// writes of one model on one dataset take their turn (a transaction lock),
// so no two programs get the same image and none waits on another's rows.
const char claimPredictionsBody[] = R"(
BEGIN
    PERFORM norvanta_check(p_dataset);
    PERFORM pg_advisory_xact_lock(p_dataset, p_model);
    DELETE FROM norvanta_prediction_claims c
        WHERE c.dataset = p_dataset AND c.model = p_model AND c.until < now();
    RETURN QUERY
    WITH taken AS (
        INSERT INTO norvanta_prediction_claims AS c (dataset, model, image, holder, role, until)
            SELECT DISTINCT p_dataset, p_model, i, p_holder, session_user,
                now() + interval '60 seconds'
            FROM unnest(p_images) AS i WHERE i IS NOT NULL
            ON CONFLICT (dataset, model, image) DO UPDATE
            SET holder = excluded.holder, until = excluded.until
            WHERE c.holder = excluded.holder AND c.role = excluded.role
            RETURNING c.image)
    SELECT t.image FROM taken t;
END
)";

// Adds or replaces the entries (probabilities and features in hexadecimal,
// features NULL where there are none) and lets go of their claims.
const char writePredictionsBody[] = R"(
BEGIN
    PERFORM norvanta_check(p_dataset);
    PERFORM pg_advisory_xact_lock(p_dataset, p_model);
    INSERT INTO norvanta_predictions AS p
            (dataset, model, image, size, modified, probabilities, features, role)
        SELECT p_dataset, p_model, e.image, e.size, e.modified, decode(e.v, 'hex'),
            decode(e.f, 'hex'), session_user
        FROM unnest(p_images, p_sizes, p_modified, p_values, p_features)
            AS e(image, size, modified, v, f)
        ON CONFLICT (dataset, model, image) DO UPDATE
        SET size = excluded.size, modified = excluded.modified,
            probabilities = excluded.probabilities, features = excluded.features,
            role = excluded.role;
    DELETE FROM norvanta_prediction_claims c
        WHERE c.dataset = p_dataset AND c.model = p_model AND c.holder = p_holder
            AND c.role = session_user AND c.image = ANY (p_images);
END
)";

// Keeps the trained weights of one model on one dataset (in hexadecimal),
// in place of those there were.
const char writePredictionWeightsBody[] = R"(
BEGIN
    PERFORM norvanta_check(p_dataset);
    INSERT INTO norvanta_prediction_weights AS w (dataset, model, weights, role)
        VALUES (p_dataset, p_model, decode(p_weights, 'hex'), session_user)
        ON CONFLICT (dataset, model) DO UPDATE
        SET weights = excluded.weights, role = excluded.role;
END
)";

// Whether `p_image` is among the dataset's images labelled twice: a draw
// from the dataset's seed and the name, the same at every call, so that an
// image chosen stays chosen while the share stays or rises. The program
// draws the same way (TeamSnapshot::isDoubled()), in the same arithmetic.
const char doubledBody[] = R"(
    SELECT p_percent > 0 AND ('x' || substr(md5(p_seed::text || '/' || p_image), 1, 8))::bit(32)::bigint::float8
        / 4294967296.0::float8 * 100.0::float8 < p_percent
)";

// A second row as the program reads it, by the names `s` and `v_` it is
// selected under: see TeamDatabase.
//
// Ctrl+U's blind second labelling: the first of the candidates that is
// doubled, saved by another role, and either not yet given to anyone or
// given to the calling role and not saved by it, is held for `p_holder` and
// given to the calling role; no row when there is none. One other role only:
// a candidate another window's step is looking at is passed over, as in
// norvanta_take, and the row's key makes the giving atomic. The hold comes
// first, so that an image another window shows is never given.
const char takeSecondBody[] = R"(
DECLARE
    candidate text;
    v_annotator text := norvanta_annotator(p_annotator);
    v_seed bigint;
    v_percent double precision;
    v_fresh boolean;
    given norvanta_second_rows%ROWTYPE;
BEGIN
    PERFORM norvanta_check(p_dataset);
    SELECT d.overlap_seed, d.overlap_percent INTO v_seed, v_percent FROM norvanta_datasets d
        WHERE d.id = p_dataset;
    IF v_percent <= 0 THEN
        RETURN;
    END IF;
    DELETE FROM norvanta_holds h WHERE h.ctid IN (SELECT l.ctid FROM norvanta_holds l
        WHERE l.renewed < now() - interval '120 seconds' FOR UPDATE SKIP LOCKED);
    FOREACH candidate IN ARRAY string_to_array(p_candidates, '/') LOOP
        CONTINUE WHEN NOT norvanta_doubled(v_seed, v_percent, candidate);
        CONTINUE WHEN NOT pg_try_advisory_xact_lock(hashtextextended(candidate, p_dataset));
        CONTINUE WHEN NOT EXISTS (SELECT 1 FROM norvanta_annotations a
            WHERE a.dataset = p_dataset AND a.image = candidate AND a.role <> session_user);
        CONTINUE WHEN EXISTS (SELECT 1 FROM norvanta_second_rows s
            WHERE s.dataset = p_dataset AND s.image = candidate
            AND (s.role <> session_user OR s.flags IS NOT NULL OR s.settled_at IS NOT NULL));
        INSERT INTO norvanta_holds AS h (dataset, image, holder, annotator, renewed, role)
            VALUES (p_dataset, candidate, p_holder, v_annotator, now(), session_user)
            ON CONFLICT (dataset, image) DO UPDATE
            SET holder = excluded.holder, annotator = excluded.annotator, renewed = now()
            WHERE (h.holder = excluded.holder AND h.role = excluded.role)
                OR h.renewed < now() - interval '120 seconds';
        CONTINUE WHEN NOT FOUND;
        INSERT INTO norvanta_second_rows AS s (dataset, image, annotator, role, assigned, stamp, client)
            VALUES (p_dataset, candidate, v_annotator, session_user, now(), nextval('norvanta_stamps'),
                p_holder)
            ON CONFLICT (dataset, image) DO NOTHING RETURNING * INTO given;
        v_fresh := FOUND;
        IF NOT v_fresh THEN
            SELECT * INTO given FROM norvanta_second_rows s
                WHERE s.dataset = p_dataset AND s.image = candidate FOR UPDATE;
        END IF;
        IF given.role <> session_user OR given.flags IS NOT NULL OR given.settled_at IS NOT NULL THEN
            DELETE FROM norvanta_holds h WHERE h.dataset = p_dataset AND h.image = candidate
                AND h.holder = p_holder AND h.role = session_user;
            CONTINUE;
        END IF;
        DELETE FROM norvanta_holds h WHERE h.holder = p_holder AND h.role = session_user
            AND (h.dataset <> p_dataset OR h.image <> candidate);
        RETURN QUERY SELECT v_fresh, given.image, given.flags, given.annotator,
            (extract(epoch FROM given.saved_at) * 1000)::bigint, given.client, given.stamp, given.role;
        RETURN;
    END LOOP;
END
)";

// The second annotator's save, into the second row given to the calling
// role (p_flags NULL makes it unsaved again, as an undo of its first save
// does), by norvanta_save's rules: refused as a conflict (the row that
// stands) when another window saved it after the stamp the window knows,
// and never written after the window's deadline. A settled image takes no
// second save: its final row is the dataset's.
const char saveSecondBody[] = R"(
DECLARE
    old norvanta_second_rows%ROWTYPE;
    saved norvanta_second_rows%ROWTYPE;
    v_annotator text := norvanta_annotator(p_annotator);
BEGIN
    PERFORM norvanta_check(p_dataset);
    IF p_deadline > 0 AND extract(epoch FROM clock_timestamp()) * 1000 > p_deadline THEN
        RAISE EXCEPTION 'norvanta: the window stopped waiting for this save' USING ERRCODE = 'NV001';
    END IF;
    SELECT * INTO old FROM norvanta_second_rows s
        WHERE s.dataset = p_dataset AND s.image = p_image FOR UPDATE;
    IF NOT FOUND OR old.role <> session_user OR old.settled_at IS NOT NULL THEN
        RAISE EXCEPTION 'norvanta: the image is not the role''s to label second' USING ERRCODE = 'NV008';
    END IF;
    IF old.stamp <> p_known AND old.client <> p_client AND old.saved_at IS NOT NULL THEN
        RETURN QUERY SELECT true, old.image, old.flags, old.annotator,
            (extract(epoch FROM old.saved_at) * 1000)::bigint, old.client, old.stamp, old.role;
        RETURN;
    END IF;
    UPDATE norvanta_second_rows s SET flags = p_flags,
            saved_at = CASE WHEN p_flags IS NULL THEN NULL ELSE now() END,
            annotator = v_annotator, client = p_client, stamp = nextval('norvanta_stamps')
        WHERE s.dataset = p_dataset AND s.image = p_image RETURNING * INTO saved;
    IF p_deadline > 0 AND extract(epoch FROM clock_timestamp()) * 1000 > p_deadline THEN
        RAISE EXCEPTION 'norvanta: the window stopped waiting for this save' USING ERRCODE = 'NV001';
    END IF;
    RETURN QUERY SELECT false, saved.image, saved.flags, saved.annotator,
        (extract(epoch FROM saved.saved_at) * 1000)::bigint, saved.client, saved.stamp, saved.role;
END
)";

// One program at a time trains a model on a dataset: the turn goes to the
// one that asks while none holds it, or the holder's time ran out; the
// holder may ask again to hold it longer.
const char takeTrainingTurnBody[] = R"(
BEGIN
    PERFORM norvanta_check(p_dataset);
    INSERT INTO norvanta_training_turns AS t (dataset, model, holder, role, until)
        VALUES (p_dataset, p_model, p_holder, session_user,
                clock_timestamp() + make_interval(secs => least(greatest(p_seconds, 1), 3600)))
        ON CONFLICT (dataset, model) DO UPDATE
        SET holder = excluded.holder, role = excluded.role, until = excluded.until
        WHERE t.until < clock_timestamp()
            OR (t.holder = excluded.holder AND t.role = excluded.role);
    RETURN FOUND;
END
)";

const char giveTrainingTurnBody[] = R"(
BEGIN
    PERFORM norvanta_check(p_dataset);
    DELETE FROM norvanta_training_turns
        WHERE dataset = p_dataset AND model = p_model AND holder = p_holder
            AND role = session_user;
END
)";

const ServerFunction functions[] = {
    {"norvanta_is_owner", "", "boolean", "sql", "STABLE", isOwnerBody},
    {"norvanta_usable", "", "SETOF integer", "sql", "STABLE", usableBody},
    {"norvanta_check", "p_dataset integer", "void", "plpgsql", "STABLE", checkBody},
    {"norvanta_annotator", "p_annotator text", "text", "plpgsql", "STABLE", annotatorBody},
    {"norvanta_open", "p_name text", "integer", "plpgsql", "", openBody},
    {"norvanta_is_reviewer", "p_dataset integer", "boolean", "sql", "STABLE", isReviewerBody},
    {"norvanta_save",
     "p_dataset integer, p_image text, p_flags integer, p_known bigint, p_annotator text, "
     "p_client text, p_deadline bigint",
     "TABLE (r_conflict boolean, r_image text, r_flags integer, r_version bigint, "
     "r_annotator text, r_saved_ms bigint, r_client text, r_stamp bigint, r_review smallint)",
     "plpgsql", "", saveBody},
    {"norvanta_doubled", "p_seed bigint, p_percent double precision, p_image text", "boolean",
     "sql", "IMMUTABLE", doubledBody},
    {"norvanta_take_second", "p_dataset integer, p_candidates text, p_holder text, p_annotator text",
     "TABLE (r_fresh boolean, r_image text, r_flags integer, r_annotator text, r_saved_ms bigint, "
     "r_client text, r_stamp bigint, r_role text)",
     "plpgsql", "", takeSecondBody},
    {"norvanta_save_second",
     "p_dataset integer, p_image text, p_flags integer, p_known bigint, p_annotator text, "
     "p_client text, p_deadline bigint",
     "TABLE (r_conflict boolean, r_image text, r_flags integer, r_annotator text, "
     "r_saved_ms bigint, r_client text, r_stamp bigint, r_role text)",
     "plpgsql", "", saveSecondBody},
    {"norvanta_review",
     "p_dataset integer, p_image text, p_known bigint, p_accept boolean, p_reason text, "
     "p_annotator text, p_holder text",
     "TABLE (r_image text, r_flags integer, r_version bigint, r_annotator text, "
     "r_saved_ms bigint, r_client text, r_stamp bigint, r_review smallint, r_reason text)",
     "plpgsql", "", reviewBody},
    {"norvanta_take", "p_dataset integer, p_candidates text, p_holder text, p_annotator text", "text",
     "plpgsql", "", takeBody},
    {"norvanta_hold", "p_dataset integer, p_image text, p_holder text, p_annotator text", "text",
     "plpgsql", "", holdBody},
    {"norvanta_renew", "p_holder text", "void", "sql", "", renewBody},
    {"norvanta_import_begin", "", "void", "plpgsql", "", importBeginBody},
    {"norvanta_import", "p_dataset integer, p_annotator text, p_client text", "bigint", "plpgsql", "",
     importBody},
    {"norvanta_prediction_model", "p_name text, p_sha256 text", "integer", "plpgsql", "",
     predictionModelBody},
    {"norvanta_claim_predictions",
     "p_dataset integer, p_model integer, p_images text[], p_holder text", "SETOF text", "plpgsql",
     "", claimPredictionsBody},
    {"norvanta_write_predictions",
     "p_dataset integer, p_model integer, p_holder text, p_images text[], p_sizes bigint[], "
     "p_modified bigint[], p_values text[], p_features text[]",
     "void", "plpgsql", "", writePredictionsBody},
    {"norvanta_take_training_turn",
     "p_dataset integer, p_model integer, p_holder text, p_seconds integer", "boolean", "plpgsql",
     "", takeTrainingTurnBody},
    {"norvanta_give_training_turn", "p_dataset integer, p_model integer, p_holder text", "void",
     "plpgsql", "", giveTrainingTurnBody},
    {"norvanta_write_prediction_weights", "p_dataset integer, p_model integer, p_weights text",
     "void", "plpgsql", "", writePredictionWeightsBody},
};

// The tables, each with the column that names its dataset for row security.
const struct
{
    const char *name;
    const char *dataset;
} tables[] = {
    {"norvanta_datasets", "id"},         {"norvanta_annotations", "dataset"},
    {"norvanta_history", "dataset"},     {"norvanta_holds", "dataset"},
    {"norvanta_members", "dataset"},     {"norvanta_schema", nullptr},
    {"norvanta_prediction_models", nullptr}, {"norvanta_predictions", "dataset"},
    {"norvanta_prediction_claims", "dataset"}, {"norvanta_prediction_weights", "dataset"},
    {"norvanta_second_rows", "dataset"},
    {"norvanta_training_turns", "dataset"},
};

// "norvanta_save(integer,text,...)": the argument types without the names.
QString signatureOf(const ServerFunction &function)
{
    QStringList types;
    for (const QString &argument : QString::fromLatin1(function.arguments).split(u',', Qt::SkipEmptyParts))
        types << argument.trimmed().section(u' ', 1, -1);
    return QStringLiteral("public.%1(%2)").arg(QLatin1String(function.name), types.join(u','));
}

QString definitionOf(const ServerFunction &function)
{
    return QStringLiteral("CREATE OR REPLACE FUNCTION public.%1(%2) RETURNS %3 LANGUAGE %4 %5"
                          " SECURITY DEFINER SET search_path = pg_catalog, public, pg_temp AS $$%6$$")
        .arg(QLatin1String(function.name), QLatin1String(function.arguments),
             QLatin1String(function.returns), QLatin1String(function.language),
             QLatin1String(function.attributes), QLatin1String(function.body));
}

QStringList grantsOf(const ServerFunction &function)
{
    const QString signature = signatureOf(function);
    return {QStringLiteral("REVOKE ALL ON FUNCTION %1 FROM PUBLIC").arg(signature),
            QStringLiteral("GRANT EXECUTE ON FUNCTION %1 TO PUBLIC").arg(signature)};
}

QStringList tableStatements()
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_datasets ("
                       " id integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
                       " name text NOT NULL UNIQUE,"
                       " created timestamptz NOT NULL DEFAULT now())"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_annotations ("
                       " dataset integer NOT NULL,"
                       " image text NOT NULL,"
                       " flags integer NOT NULL,"
                       " version bigint NOT NULL,"
                       " annotator text NOT NULL,"
                       " saved_at timestamptz NOT NULL,"
                       " client text NOT NULL,"
                       " PRIMARY KEY (dataset, image))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_history ("
                       " id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
                       " dataset integer NOT NULL,"
                       " image text NOT NULL,"
                       " annotator text NOT NULL,"
                       " saved_at timestamptz NOT NULL,"
                       " flags_before integer,"
                       " flags_after integer NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS norvanta_history_image"
                       " ON norvanta_history (dataset, image)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_holds ("
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " image text NOT NULL,"
                       " holder text NOT NULL,"
                       " annotator text NOT NULL,"
                       " renewed timestamptz NOT NULL,"
                       " PRIMARY KEY (dataset, image))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS norvanta_holds_holder ON norvanta_holds (holder)"),
        // Since the second version: who saved by the server's word, the
        // stamps that notifications name, the grants, the schema's number.
        QStringLiteral("ALTER TABLE norvanta_annotations ADD COLUMN IF NOT EXISTS role text NOT NULL DEFAULT '',"
                       " ADD COLUMN IF NOT EXISTS stamp bigint NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE norvanta_history ADD COLUMN IF NOT EXISTS role text NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE norvanta_holds ADD COLUMN IF NOT EXISTS role text NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE norvanta_datasets ADD COLUMN IF NOT EXISTS imports bigint NOT NULL DEFAULT 0"),
        QStringLiteral("CREATE SEQUENCE IF NOT EXISTS norvanta_stamps"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS norvanta_annotations_stamp ON norvanta_annotations (stamp)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_members ("
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " role text NOT NULL,"
                       " granted timestamptz NOT NULL DEFAULT now(),"
                       " PRIMARY KEY (dataset, role))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_schema (version integer NOT NULL)"),
        // Since the third version: the reviewers among the members, each
        // row's review (0 none, 1 accepted, 2 sent back, with the reason)
        // and the reviews in the history (NULL for a save).
        QStringLiteral("ALTER TABLE norvanta_members ADD COLUMN IF NOT EXISTS reviewer boolean NOT NULL DEFAULT false"),
        QStringLiteral("ALTER TABLE norvanta_annotations ADD COLUMN IF NOT EXISTS review smallint NOT NULL DEFAULT 0,"
                       " ADD COLUMN IF NOT EXISTS review_reason text NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE norvanta_history ADD COLUMN IF NOT EXISTS review smallint,"
                       " ADD COLUMN IF NOT EXISTS review_reason text"),
        // The team's classifier: a model's key by name and digest; per
        // dataset, model and image the image's size and time, the packed
        // probabilities and the features; the images a program is
        // predicting now, each until written or a minute passed.
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
                       " role text NOT NULL DEFAULT '',"
                       " PRIMARY KEY (dataset, model, image))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_prediction_claims ("
                       " dataset integer NOT NULL,"
                       " model integer NOT NULL,"
                       " image text NOT NULL,"
                       " holder text NOT NULL,"
                       " role text NOT NULL DEFAULT '',"
                       " until timestamptz NOT NULL,"
                       " PRIMARY KEY (dataset, model, image))"),
        // What a dataset's own labels taught, per dataset and model.
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_prediction_weights ("
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " model integer NOT NULL REFERENCES norvanta_prediction_models (id),"
                       " weights bytea NOT NULL,"
                       " role text NOT NULL DEFAULT '',"
                       " PRIMARY KEY (dataset, model))"),
        // Which program trains a model on a dataset now, and until when.
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_training_turns ("
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " model integer NOT NULL REFERENCES norvanta_prediction_models (id),"
                       " holder text NOT NULL,"
                       " role text NOT NULL DEFAULT '',"
                       " until timestamptz NOT NULL,"
                       " PRIMARY KEY (dataset, model))"),
        // Since the fourth version: the share of a dataset's images labelled
        // twice, and the blind second rows beside the dataset's own. An image
        // is chosen by a stable draw from the dataset's seed and its name, so
        // a choice once made is kept; its second row is given to one other
        // annotator (flags NULL until they save it). A reviewer settles the
        // image by saving the final row into the dataset; the first row as it
        // stood is kept here then (first_flags), for the agreement.
        QStringLiteral("ALTER TABLE norvanta_datasets ADD COLUMN IF NOT EXISTS overlap_percent real NOT NULL DEFAULT 0,"
                       " ADD COLUMN IF NOT EXISTS overlap_seed bigint NOT NULL DEFAULT 0"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS norvanta_second_rows ("
                       " dataset integer NOT NULL REFERENCES norvanta_datasets (id),"
                       " image text NOT NULL,"
                       " flags integer,"
                       " annotator text NOT NULL,"
                       " role text NOT NULL,"
                       " assigned timestamptz NOT NULL,"
                       " saved_at timestamptz,"
                       " stamp bigint NOT NULL DEFAULT 0,"
                       " first_flags integer,"
                       " settled_by text,"
                       " settled_at timestamptz,"
                       " PRIMARY KEY (dataset, image))"),
        // Rows and history are written only by the functions, each of which
        // checks its dataset first, and a dataset is never deleted: the
        // server's own check of the dataset for every row written cost half
        // of a large import, for nothing the functions do not ensure.
        QStringLiteral("ALTER TABLE norvanta_annotations DROP CONSTRAINT IF EXISTS norvanta_annotations_dataset_fkey"),
        QStringLiteral("ALTER TABLE norvanta_history DROP CONSTRAINT IF EXISTS norvanta_history_dataset_fkey"),
        // The window that saved a second row last, so that its own saves
        // are no conflict; the stamps that notifications name.
        QStringLiteral("ALTER TABLE norvanta_second_rows ADD COLUMN IF NOT EXISTS client text NOT NULL DEFAULT ''"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS norvanta_second_rows_stamp ON norvanta_second_rows (stamp)"),
        // The first version's save returned no stamp, and those before this one
        // no review: a result of another form is made anew.
        QStringLiteral("DROP FUNCTION IF EXISTS norvanta_save(integer, text, integer, bigint, text, text, bigint)"),
    };
}

// Every right on the team's tables, sequences and view that anyone but the
// owner holds is taken back (the first version's set-up granted members
// INSERT, UPDATE and DELETE); then each table is readable by every role, as
// far as its row security lets it, and the view shows what its reader may read.
QStringList rightsStatements(const QStringList &labels)
{
    QStringList statements{QStringLiteral(R"(DO $$
DECLARE
    given record;
BEGIN
    FOR given IN SELECT DISTINCT c.relname, a.grantee FROM pg_class c, aclexplode(c.relacl) a
            WHERE c.relnamespace = 'public'::regnamespace AND c.relname LIKE 'norvanta\_%'
            AND a.grantee <> c.relowner LOOP
        IF given.grantee = 0 THEN
            EXECUTE format('REVOKE ALL ON public.%I FROM PUBLIC', given.relname);
        ELSE
            EXECUTE format('REVOKE ALL ON public.%I FROM %I', given.relname,
                pg_get_userbyid(given.grantee));
        END IF;
    END LOOP;
END
$$)")};
    for (const auto &table : tables) {
        const QString name = QLatin1String(table.name);
        statements << QStringLiteral("GRANT SELECT ON %1 TO PUBLIC").arg(name);
        if (!table.dataset)
            continue;
        statements << QStringLiteral("ALTER TABLE %1 ENABLE ROW LEVEL SECURITY").arg(name)
                   << QStringLiteral("DROP POLICY IF EXISTS norvanta_granted ON %1").arg(name)
                   << QStringLiteral("CREATE POLICY norvanta_granted ON %1 FOR SELECT"
                                     " USING (%2 IN (SELECT norvanta_usable()))")
                          .arg(name, QLatin1String(table.dataset));
    }
    QStringList columns;
    for (qsizetype i = 0; i < labels.size(); ++i)
        columns << QStringLiteral("(a.flags >> %1) & 1 AS \"%2\"").arg(i).arg(labels.at(i));
    statements << QStringLiteral("CREATE OR REPLACE VIEW norvanta_labels WITH (security_invoker = true)"
                                 " AS SELECT d.name AS dataset, a.image AS \"图片名称\", %1,"
                                 " a.annotator, a.saved_at"
                                 " FROM norvanta_annotations a JOIN norvanta_datasets d ON d.id = a.dataset")
                      .arg(columns.join(QStringLiteral(", ")))
               << QStringLiteral("GRANT SELECT ON norvanta_labels TO PUBLIC")
               << QStringLiteral("DELETE FROM norvanta_schema")
               << QStringLiteral("INSERT INTO norvanta_schema (version) VALUES (%1)").arg(version);
    return statements;
}

QStringList allStatements(const QStringList &labels)
{
    QStringList statements = tableStatements();
    for (const ServerFunction &function : functions)
        statements << definitionOf(function) << grantsOf(function);
    return statements + rightsStatements(labels);
}

// A text[] literal of `values`, each quoted.
QString arrayOf(const QStringList &values)
{
    QStringList quoted;
    for (QString value : values) {
        value.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
        quoted << u'"' + value + u'"';
    }
    return u'{' + quoted.join(u',') + u'}';
}

// The names of what the database lacks of this version: tables, the view
// and the functions with their current bodies, and the schema's number. One
// statement for all, since every member's open asks.
bool findMissing(QSqlQuery *query, QStringList *missing)
{
    QStringList names;
    QStringList signatures;
    QStringList bodies;
    for (const auto &table : tables)
        names << QLatin1String(table.name);
    names.insert(4, QStringLiteral("norvanta_labels"));
    signatures = QStringList(names.size(), QString());
    bodies = signatures;
    for (const ServerFunction &function : functions) {
        names << QLatin1String(function.name);
        signatures << signatureOf(function);
        bodies << QString::fromLatin1(function.body);
    }
    query->prepare(QStringLiteral(
        "SELECT m.name FROM unnest(?::text[], ?::text[], ?::text[]) WITH ORDINALITY"
        " AS m(name, signature, body, place) WHERE CASE WHEN m.signature = ''"
        " THEN to_regclass('public.' || m.name) IS NULL"
        " ELSE NOT EXISTS (SELECT 1 FROM pg_proc p WHERE p.oid = to_regprocedure(m.signature)"
        " AND p.prosrc = m.body AND p.prosecdef) END ORDER BY m.place"));
    for (const QStringList *values : {&names, &signatures, &bodies})
        query->addBindValue(arrayOf(*values));
    if (!query->exec())
        return false;
    while (query->next())
        *missing << query->value(0).toString();
    if (missing->contains(QStringLiteral("norvanta_schema")))
        return true;
    if (!query->exec(QStringLiteral("SELECT coalesce(max(version), 0) FROM public.norvanta_schema"))
        || !query->next())
        return false;
    if (query->value(0).toInt() < version)
        *missing << QStringLiteral("norvanta_schema");
    return true;
}

QString serverText(const QSqlError &error)
{
    const QString text = error.databaseText().trimmed();
    return text.isEmpty() ? error.text() : text;
}

} // namespace

bool isOwner(const QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT pg_has_role(current_user, c.relowner, 'MEMBER')"
                                   " FROM pg_class c WHERE c.oid = to_regclass('public.norvanta_datasets')"))) {
        *error = serverText(query.lastError());
        return false;
    }
    // No tables yet: whoever makes them owns them.
    return !query.next() || query.value(0).toBool();
}

bool ensure(const QSqlDatabase &db, const QStringList &labels, QString *error)
{
    QSqlQuery query(db);
    QStringList missing;
    if (!findMissing(&query, &missing)) {
        *error = serverText(query.lastError());
        return false;
    }
    if (missing.isEmpty())
        return true;
    const bool made = !missing.contains(QStringLiteral("norvanta_datasets"));
    error->clear();
    if (made && !isOwner(db, error)) {
        if (error->isEmpty())
            *error = Texts::tr("此标签数据库由旧版本的程序创建，须由数据库所有者先用本程序打开一次");
        return false;
    }
    // One maker at a time: two first users at once would otherwise both try
    // to make the same tables.
    QSqlDatabase connection = db;
    bool done = connection.transaction()
        && query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(7150447)"))
        && query.exec(QStringLiteral("SET LOCAL client_min_messages = warning"));
    for (const QString &statement : allStatements(labels))
        done = done && query.exec(statement);
    if (done && connection.commit())
        return true;
    const QSqlError cause = query.lastError().isValid() ? query.lastError() : connection.lastError();
    connection.rollback();
    *error = cause.nativeErrorCode() == QStringLiteral("42501")
        ? Texts::tr("数据库中缺少 %1，当前角色无权创建；请数据库管理员按说明建表并授权")
              .arg(missing.join(QStringLiteral(", ")))
        : Texts::tr("无法建立标签数据库的表：") + serverText(cause);
    return false;
}

} // namespace TeamSchema
