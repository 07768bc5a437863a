-- Orvalis on PostgreSQL: what the server's catalogue tells every session
-- about the contents of the tables, closed to everyone but the owner of
-- the database.
--
-- Any role that may connect reads, in the catalogue of a stock server, the
-- number of rows and of pages of every table and index (pg_class), the
-- statistics' counters of every table (rows inserted, read, alive:
-- pg_stat_user_tables and the functions behind it), the size of every
-- table, index and database, and the position of the write-ahead log.
-- With them a reader would learn how many facts and levels the other
-- levels hold, whatever his privileges on the tables. After this script
-- only the owner of the database, the superusers and the members of
-- pg_read_all_stats read them; the rest of pg_class stays readable to all
-- (the names of the tables, psql's \d).
--
-- The catalogue belongs to the superuser: run it once per database, as a
-- superuser, connected to the Orvalis database, before
-- deploy/postgresql-roles.sql (which checks that it was run):
--
--   sudo -iu postgres psql -d orvalis -v ON_ERROR_STOP=1 -f deploy/postgresql-catalog.sql
--
-- It may be run again at any time. A hot standby receives it with
-- everything else.

BEGIN;
SET LOCAL client_min_messages = warning;
SET LOCAL lock_timeout = '5s';

DO $$
DECLARE
    owner TEXT := (SELECT pg_catalog.pg_get_userbyid(datdba) FROM pg_catalog.pg_database
                   WHERE datname = pg_catalog.current_database());
    visible TEXT;
    f REGPROCEDURE;
BEGIN
    -- pg_class: every column but the counts of rows and pages.
    SELECT string_agg(quote_ident(attname), ', ' ORDER BY attnum) INTO visible
      FROM pg_catalog.pg_attribute
     WHERE attrelid = 'pg_catalog.pg_class'::regclass AND attnum > 0 AND NOT attisdropped
       AND attname NOT IN ('reltuples', 'relpages', 'relallvisible');
    REVOKE SELECT ON pg_catalog.pg_class FROM PUBLIC;
    EXECUTE format('GRANT SELECT (%s) ON pg_catalog.pg_class TO PUBLIC', visible);
    EXECUTE format('GRANT SELECT ON pg_catalog.pg_class TO %I, pg_read_all_stats', owner);

    -- The statistics' counters, the sizes and the log's position.
    FOR f IN
        SELECT p.oid::regprocedure FROM pg_catalog.pg_proc p
         WHERE p.pronamespace = 'pg_catalog'::regnamespace
           AND (p.proname LIKE 'pg\_stat\_get\_%'
                OR p.proname IN ('pg_relation_size', 'pg_table_size', 'pg_indexes_size', 'pg_total_relation_size',
                                 'pg_database_size', 'pg_tablespace_size', 'pg_current_wal_lsn',
                                 'pg_current_wal_insert_lsn', 'pg_current_wal_flush_lsn',
                                 'pg_last_wal_receive_lsn', 'pg_last_wal_replay_lsn'))
    LOOP
        EXECUTE format('REVOKE EXECUTE ON FUNCTION %s FROM PUBLIC', f);
        EXECUTE format('GRANT EXECUTE ON FUNCTION %s TO %I, pg_read_all_stats', f, owner);
    END LOOP;
END
$$;

COMMIT;
