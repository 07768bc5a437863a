-- Orvalis on PostgreSQL: the two roles of a deployment, and who sees what.
--
--   orvalis_lecture  may read the six tables, and sees in them only his own
--                    level: the dim_niveau row of his user code, its links
--                    in niveau_agence and the facts (data) of the agencies
--                    linked to it. Users, agencies and suppliers are read
--                    whole (names only). Nothing else.
--   orvalis_admin    sees every row, and may also add and delete levels
--                    (dim_niveau) and their agencies (niveau_agence), and
--                    say which login is which user (orvalis_acces).
--                    Nothing else: the fact table and the users, agencies
--                    and suppliers stay read-only.
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
-- will do):
--
--   psql "postgresql://owner@server/orvalis" -v ON_ERROR_STOP=1 -f deploy/postgresql-roles.sql
--
-- It may be run again at any time, for instance after orvalis-sample
-- --force has created the tables anew: the roles and orvalis_acces are
-- created once, and the privileges and policies on the tables are set back
-- to exactly these.

BEGIN;
SET LOCAL client_min_messages = warning;

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

-- Nobody else gets anything on the tables, and the two roles get exactly
-- what follows (no UPDATE of the six tables: the program never changes a
-- row in place).
REVOKE ALL ON data, dim_utilisateur, dim_agence, dim_fournisseur, dim_niveau, niveau_agence, orvalis_acces
    FROM PUBLIC, orvalis_lecture, orvalis_admin;

GRANT SELECT ON data, dim_utilisateur, dim_agence, dim_fournisseur, dim_niveau, niveau_agence, orvalis_acces
    TO orvalis_lecture;

GRANT INSERT, DELETE ON dim_niveau, niveau_agence TO orvalis_admin;
GRANT INSERT, UPDATE, DELETE ON orvalis_acces TO orvalis_admin;

-- Row-level security: a role sees the rows of a table only through a
-- policy made for it. The owner of the tables is not bound by them.
ALTER TABLE orvalis_acces ENABLE ROW LEVEL SECURITY;
ALTER TABLE dim_niveau ENABLE ROW LEVEL SECURITY;
ALTER TABLE niveau_agence ENABLE ROW LEVEL SECURITY;
ALTER TABLE data ENABLE ROW LEVEL SECURITY;

DROP POLICY IF EXISTS orvalis_lecture ON orvalis_acces;
DROP POLICY IF EXISTS orvalis_admin ON orvalis_acces;
DROP POLICY IF EXISTS orvalis_lecture ON dim_niveau;
DROP POLICY IF EXISTS orvalis_admin ON dim_niveau;
DROP POLICY IF EXISTS orvalis_lecture ON niveau_agence;
DROP POLICY IF EXISTS orvalis_admin ON niveau_agence;
DROP POLICY IF EXISTS orvalis_lecture ON data;
DROP POLICY IF EXISTS orvalis_admin ON data;

-- A reader: his own line (session_user is the login, whatever role he may
-- have set since), his level, its links, the facts of its agencies. Each
-- sub-select runs once per statement; the facts' test is a plain
-- comparison with the list of his agencies, which the server may make
-- after the month's own tests: a refresh costs about what it costs without
-- the policies.
CREATE POLICY orvalis_lecture ON orvalis_acces FOR SELECT TO orvalis_lecture
    USING (login = session_user);
CREATE POLICY orvalis_lecture ON dim_niveau FOR SELECT TO orvalis_lecture
    USING (code = (SELECT a.utilisateur FROM orvalis_acces a WHERE a.login = session_user));
CREATE POLICY orvalis_lecture ON niveau_agence FOR SELECT TO orvalis_lecture
    USING (niveau = (SELECT a.utilisateur FROM orvalis_acces a WHERE a.login = session_user));
CREATE POLICY orvalis_lecture ON data FOR SELECT TO orvalis_lecture
    USING (dim_agence = ANY (ARRAY(SELECT n.agence FROM niveau_agence n
                                   WHERE n.niveau = (SELECT a.utilisateur FROM orvalis_acces a
                                                     WHERE a.login = session_user))));

-- The administrators: every row; and they write what their privileges
-- above allow.
CREATE POLICY orvalis_admin ON orvalis_acces TO orvalis_admin USING (true) WITH CHECK (true);
CREATE POLICY orvalis_admin ON dim_niveau TO orvalis_admin USING (true) WITH CHECK (true);
CREATE POLICY orvalis_admin ON niveau_agence TO orvalis_admin USING (true) WITH CHECK (true);
CREATE POLICY orvalis_admin ON data FOR SELECT TO orvalis_admin USING (true);

COMMIT;
