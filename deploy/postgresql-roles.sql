-- Orvalis on PostgreSQL: the two roles of a deployment.
--
--   orvalis_lecture  may read the six tables: the tracking table, and the
--                    lists of the level windows. Nothing else.
--   orvalis_admin    may also add and delete levels (dim_niveau) and their
--                    agencies (niveau_agence). Nothing else: the fact table
--                    and the users, agencies and suppliers stay read-only.
--
-- Neither role logs in. Each person gets a login role of their own that is
-- a member of one of them (see docs/server.md):
--
--   CREATE ROLE jdupont LOGIN PASSWORD '...' IN ROLE orvalis_lecture;
--   CREATE ROLE mmartin LOGIN PASSWORD '...' IN ROLE orvalis_admin;
--
-- Run it connected to the Orvalis database, as a role that owns the six
-- tables and the database and may create roles (a superuser will do):
--
--   psql "postgresql://owner@server/orvalis" -v ON_ERROR_STOP=1 -f deploy/postgresql-roles.sql
--
-- It may be run again at any time, for instance after orvalis-sample
-- --force has created the tables anew: the roles are created once, and the
-- privileges on the tables are set back to exactly these.

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

-- Reaching the database and the schema of the tables.
DO $$
BEGIN
    EXECUTE format('GRANT CONNECT ON DATABASE %I TO orvalis_lecture', current_database());
    EXECUTE format('GRANT USAGE ON SCHEMA %I TO orvalis_lecture', current_schema());
END
$$;

-- Nobody else gets anything on the tables, and the two roles get exactly
-- what follows (no UPDATE: the program never changes a row in place).
REVOKE ALL ON data, dim_utilisateur, dim_agence, dim_fournisseur, dim_niveau, niveau_agence
    FROM PUBLIC, orvalis_lecture, orvalis_admin;

GRANT SELECT ON data, dim_utilisateur, dim_agence, dim_fournisseur, dim_niveau, niveau_agence
    TO orvalis_lecture;

GRANT INSERT, DELETE ON dim_niveau, niveau_agence TO orvalis_admin;
