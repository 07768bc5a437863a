-- Orvalis on PostgreSQL: the two roles of a deployment, and who sees what.
--
--   orvalis_lecture  reads his own level alone, through the views of the
--                    schema orvalis_lecture (data, dim_niveau,
--                    niveau_agence): the dim_niveau row of his user code,
--                    its links and the facts of the agencies linked to it.
--                    Users, agencies and suppliers are read whole (names
--                    only), in their tables. Nothing else: no privilege on
--                    the tables of the facts, the levels, their links or
--                    orvalis_acces, so that no statement of his (EXPLAIN
--                    and its counts of rows included) touches another
--                    level's rows.
--   orvalis_admin    reads every table, and may also add and delete levels
--                    (dim_niveau) and their agencies (niveau_agence), and
--                    say which login is which user (orvalis_acces).
--                    Nothing else: the fact table and the users, agencies
--                    and suppliers stay read-only.
--
-- The views read the tables through functions of the owner (SECURITY
-- DEFINER, a fixed search_path) that return the rows of the caller's level
-- and nothing else; the planner never sees into them, so a reader's plans,
-- estimates and counts are those of his own rows. The program reads them
-- in place of the tables when its login may not read the tables.
--
-- Neither role logs in. Each person gets a login role of their own that is
-- a member of one of them, and each reader a line of orvalis_acces that
-- gives his user code (see docs/server.md):
--
--   CREATE ROLE jdupont LOGIN PASSWORD '...' IN ROLE orvalis_lecture;
--   INSERT INTO orvalis_acces (login, utilisateur) VALUES ('jdupont', 'U0153');
--   CREATE ROLE mmartin LOGIN PASSWORD '...' IN ROLE orvalis_admin;
--
-- A reader without a line of orvalis_acces sees no level and no fact. The
-- user code typed on the program's command line changes nothing to that.
--
-- Nobody but the owner creates anything in the database, temporary tables
-- included.
--
-- Run it connected to the Orvalis database, as a role that owns the six
-- tables and the database and may create roles (CREATEROLE; a superuser
-- will do), after deploy/postgresql-catalog.sql (run once, as a superuser):
--
--   psql "postgresql://owner@server/orvalis" -v ON_ERROR_STOP=1 -f deploy/postgresql-roles.sql
--
-- It may be run again at any time, for instance after orvalis-sample
-- --force has created the tables anew: the roles and orvalis_acces are
-- created once, and the privileges, the functions and the views are set
-- back to exactly these. It waits at most 5 s for a session that holds
-- what it changes (a desktop frozen in the middle of a refresh, say), then
-- stops, names the sessions and changes nothing.

BEGIN;
SET LOCAL client_min_messages = warning;
-- No statement waits more than 5 s for a lock another session holds.
SET LOCAL lock_timeout = '5s';

DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = 'orvalis_lecture') THEN
        CREATE ROLE orvalis_lecture NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = 'orvalis_admin') THEN
        CREATE ROLE orvalis_admin NOLOGIN;
    END IF;
END
$$;

-- The administrator reads what everybody reads.
GRANT orvalis_lecture TO orvalis_admin;

-- Reaching the database and the schema of the tables; creating nothing
-- there, not even a temporary table.
DO $$
BEGIN
    EXECUTE format('REVOKE CREATE, TEMPORARY ON DATABASE %I FROM PUBLIC', current_database());
    EXECUTE format('REVOKE CREATE ON SCHEMA %I FROM PUBLIC', current_schema());
    EXECUTE format('GRANT CONNECT ON DATABASE %I TO orvalis_lecture', current_database());
    EXECUTE format('GRANT USAGE ON SCHEMA %I TO orvalis_lecture', current_schema());
END
$$;

-- Which login is which user: the level a reader sees is the one of his
-- user code here, whatever he types on the command line.
CREATE TABLE IF NOT EXISTS orvalis_acces (
    login       TEXT PRIMARY KEY,
    utilisateur TEXT NOT NULL
);

-- The catalogue must not tell the tables' counts of rows to everyone
-- (deploy/postgresql-catalog.sql). Only a measure that needs no secrecy
-- goes on without it, having said so (SET orvalis.catalogue_ouvert = on).
DO $$
DECLARE
    open BOOLEAN := has_column_privilege('public', 'pg_catalog.pg_class', 'reltuples', 'SELECT')
        OR has_function_privilege('public', 'pg_catalog.pg_stat_get_live_tuples(oid)', 'EXECUTE');
BEGIN
    IF open AND coalesce(current_setting('orvalis.catalogue_ouvert', true), '') <> 'on' THEN
        RAISE EXCEPTION 'Le catalogue de la base donne encore à tous le nombre de lignes de chaque table : '
                        'lancez d''abord deploy/postgresql-catalog.sql sur cette base, en superutilisateur.';
    END IF;
END
$$;

-- What this script changes in place is taken first: the views of the
-- readers, and the tables that still have row-level security from an
-- earlier set-up. Another session that holds them stops the script within
-- the lock timeout, with the sessions' names; nothing is changed.
DO $$
DECLARE
    taken OID[];
    holders TEXT;
BEGIN
    SELECT array_agg(c.oid) INTO taken
      FROM pg_catalog.pg_class c
     WHERE (c.relnamespace = current_schema()::regnamespace
            AND c.relname IN ('data', 'dim_niveau', 'niveau_agence', 'orvalis_acces')
            AND (c.relrowsecurity OR EXISTS (SELECT FROM pg_catalog.pg_policy p WHERE p.polrelid = c.oid)))
        OR (c.relnamespace = to_regnamespace('orvalis_lecture') AND c.relkind IN ('r', 'v'));
    BEGIN
        IF taken IS NOT NULL THEN
            EXECUTE 'LOCK TABLE ' || (SELECT string_agg(t::regclass::text, ', ') FROM unnest(taken) t)
                || ' IN ACCESS EXCLUSIVE MODE';
        END IF;
    EXCEPTION WHEN lock_not_available THEN
        -- Their state and since when, where this role may see them.
        SELECT string_agg(format('%s (%s%s)', a.pid, a.usename,
                                 ', ' || a.state || ' depuis '
                                     || to_char(coalesce(a.xact_start, a.backend_start), 'YYYY-MM-DD HH24:MI:SS')),
                          ', ' ORDER BY a.pid)
          INTO holders
          FROM pg_catalog.pg_stat_activity a
         WHERE a.pid IN (SELECT l.pid FROM pg_catalog.pg_locks l
                          WHERE l.granted AND l.relation = ANY (taken) AND l.pid <> pg_backend_pid());
        RAISE EXCEPTION USING
            ERRCODE = 'lock_not_available',
            MESSAGE = 'Une autre session tient les tables d''Orvalis depuis plus de 5 s : le script n''a rien changé.',
            DETAIL = 'Sessions : ' || coalesce(holders, 'aucune visible (elle a pu finir entre-temps)') || '.',
            HINT = 'Attendez la fin de ces sessions, ou terminez-les (SELECT pg_terminate_backend(pid)), '
                   'puis relancez le script.';
    END;
END
$$;

-- Nobody else gets anything on the tables; the administrators read them
-- all and change what follows (no UPDATE of the six tables: the program
-- never changes a row in place); the readers read the users, agencies and
-- suppliers, and nothing else of the tables.
REVOKE ALL ON data, dim_utilisateur, dim_agence, dim_fournisseur, dim_niveau, niveau_agence, orvalis_acces
    FROM PUBLIC, orvalis_lecture, orvalis_admin;

GRANT SELECT ON dim_utilisateur, dim_agence, dim_fournisseur TO orvalis_lecture;
GRANT SELECT ON data, dim_niveau, niveau_agence, orvalis_acces TO orvalis_admin;
GRANT INSERT, DELETE ON dim_niveau, niveau_agence TO orvalis_admin;
GRANT INSERT, UPDATE, DELETE ON orvalis_acces TO orvalis_admin;

-- No row-level security: nobody reads a table he may not read whole.
DO $$
DECLARE
    t RECORD;
BEGIN
    FOR t IN SELECT p.polname, c.relname FROM pg_catalog.pg_policy p JOIN pg_catalog.pg_class c ON c.oid = p.polrelid
              WHERE c.relnamespace = current_schema()::regnamespace
                AND c.relname IN ('data', 'dim_niveau', 'niveau_agence', 'orvalis_acces') LOOP
        EXECUTE format('DROP POLICY %I ON %I', t.polname, t.relname);
    END LOOP;
    FOR t IN SELECT c.relname FROM pg_catalog.pg_class c
              WHERE c.relnamespace = current_schema()::regnamespace AND c.relrowsecurity
                AND c.relname IN ('data', 'dim_niveau', 'niveau_agence', 'orvalis_acces') LOOP
        EXECUTE format('ALTER TABLE %I DISABLE ROW LEVEL SECURITY', t.relname);
    END LOOP;
END
$$;

-- What the readers read: a schema of views of their own, over functions
-- that run as the owner and return the caller's level alone (his login,
-- session_user, whatever role he may have set since). The facts' function
-- takes one month, so that the server reads that month's entries of his
-- agencies and nothing else; the view of the facts calls it for the months
-- a statement asks for, from a table of every month of the years 1900 to
-- 2199.
CREATE SCHEMA IF NOT EXISTS orvalis_lecture;
REVOKE ALL ON SCHEMA orvalis_lecture FROM PUBLIC;
GRANT USAGE ON SCHEMA orvalis_lecture TO orvalis_lecture;

CREATE TABLE IF NOT EXISTS orvalis_lecture.mois (
    period_year  INTEGER,
    period_month INTEGER,
    PRIMARY KEY (period_year, period_month)
);
REVOKE ALL ON orvalis_lecture.mois FROM PUBLIC;
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM orvalis_lecture.mois) THEN
        INSERT INTO orvalis_lecture.mois
            SELECT y, m FROM generate_series(1900, 2199) y, generate_series(1, 12) m;
        ANALYZE orvalis_lecture.mois;
    END IF;
END
$$;

DROP VIEW IF EXISTS orvalis_lecture.data, orvalis_lecture.dim_niveau, orvalis_lecture.niveau_agence;
DROP FUNCTION IF EXISTS orvalis_lecture.faits(INTEGER, INTEGER), orvalis_lecture.niveaux(), orvalis_lecture.liens(),
    orvalis_lecture.refus();

DO $$
DECLARE
    s TEXT := quote_ident(current_schema());
    -- The caller's user code, then his agencies.
    his TEXT := format('(SELECT a.utilisateur FROM %s.orvalis_acces a WHERE a.login = session_user)', s);
    agencies TEXT := format('ARRAY(SELECT n.agence FROM %s.niveau_agence n WHERE n.niveau = %s)', s, his);
    -- The columns of a table as it stands, some left out: their
    -- definitions, and their names prefixed.
    definitions TEXT;
    names TEXT;
    facts TEXT;
    t RECORD;
BEGIN
    SELECT string_agg(format('%I %s', attname, format_type(atttypid, atttypmod)), ', ' ORDER BY attnum),
           string_agg(format('d.%I', attname), ', ' ORDER BY attnum)
      INTO definitions, names
      FROM pg_catalog.pg_attribute
     WHERE attrelid = format('%s.data', s)::regclass AND attnum > 0 AND NOT attisdropped
       AND attname NOT IN ('period_year', 'period_month');
    -- PL/pgSQL: its statement is planned for the month asked (the index
    -- of the month and the agency, if there is one), and it is ours to
    -- say how many rows the planner should expect of it.
    EXECUTE format('CREATE FUNCTION orvalis_lecture.faits(annee INTEGER, mois INTEGER) RETURNS TABLE (%s) '
                   'LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp ROWS 100 AS %L',
                   definitions,
                   format(E'#variable_conflict use_column\nBEGIN\nRETURN QUERY SELECT %s FROM %s.data d '
                          'WHERE d.period_year = annee AND d.period_month = mois AND d.dim_agence = ANY (%s);\nEND',
                          names, s, agencies));
    SELECT string_agg(CASE WHEN attname IN ('period_year', 'period_month') THEN format('m.%I', attname)
                           ELSE format('f.%I', attname) END, ', ' ORDER BY attnum)
      INTO facts
      FROM pg_catalog.pg_attribute
     WHERE attrelid = format('%s.data', s)::regclass AND attnum > 0 AND NOT attisdropped;
    EXECUTE format('CREATE VIEW orvalis_lecture.data AS SELECT %s FROM orvalis_lecture.mois m '
                   'CROSS JOIN LATERAL orvalis_lecture.faits(m.period_year, m.period_month) f', facts);

    -- His level, and its links.
    FOR t IN SELECT * FROM (VALUES ('niveaux', 'dim_niveau', 'code'), ('liens', 'niveau_agence', 'niveau'))
                 AS v (function, name, level) LOOP
        SELECT string_agg(format('%I %s', attname, format_type(atttypid, atttypmod)), ', ' ORDER BY attnum),
               string_agg(format('d.%I', attname), ', ' ORDER BY attnum)
          INTO definitions, names
          FROM pg_catalog.pg_attribute
         WHERE attrelid = format('%s.%I', s, t.name)::regclass AND attnum > 0 AND NOT attisdropped;
        EXECUTE format('CREATE FUNCTION orvalis_lecture.%I() RETURNS TABLE (%s) LANGUAGE sql STABLE SECURITY DEFINER '
                       'SET search_path = pg_catalog, pg_temp ROWS 10 AS %L', t.function, definitions,
                       format('SELECT %s FROM %s.%I d WHERE d.%I = %s', names, s, t.name, t.level, his));
        EXECUTE format('CREATE VIEW orvalis_lecture.%I AS SELECT * FROM orvalis_lecture.%I()', t.name, t.function);
    END LOOP;
END
$$;

-- A reader's change through a view is refused for want of the privilege,
-- as it is on a table (a view over a function could not be changed
-- anyway).
CREATE FUNCTION orvalis_lecture.refus() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    RAISE EXCEPTION USING ERRCODE = 'insufficient_privilege', MESSAGE = format('permission denied for view %s', TG_TABLE_NAME);
END
$$;
CREATE TRIGGER refus INSTEAD OF INSERT OR UPDATE OR DELETE ON orvalis_lecture.data
    FOR EACH ROW EXECUTE FUNCTION orvalis_lecture.refus();
CREATE TRIGGER refus INSTEAD OF INSERT OR UPDATE OR DELETE ON orvalis_lecture.dim_niveau
    FOR EACH ROW EXECUTE FUNCTION orvalis_lecture.refus();
CREATE TRIGGER refus INSTEAD OF INSERT OR UPDATE OR DELETE ON orvalis_lecture.niveau_agence
    FOR EACH ROW EXECUTE FUNCTION orvalis_lecture.refus();

REVOKE ALL ON FUNCTION orvalis_lecture.faits(INTEGER, INTEGER), orvalis_lecture.niveaux(), orvalis_lecture.liens()
    FROM PUBLIC;
GRANT EXECUTE ON FUNCTION orvalis_lecture.faits(INTEGER, INTEGER), orvalis_lecture.niveaux(), orvalis_lecture.liens()
    TO orvalis_lecture;
GRANT SELECT ON orvalis_lecture.data, orvalis_lecture.dim_niveau, orvalis_lecture.niveau_agence TO orvalis_lecture;

COMMIT;
