-- The six tables Orvalis reads, for a new SQLite database file:
--
--     sqlite3 base.db < deploy/sqlite-schema.sql
--
-- Orvalis never creates, alters or drops a table. Another process fills
-- data, dim_utilisateur, dim_agence and dim_fournisseur; Orvalis writes
-- only dim_niveau and niveau_agence, from its two administration windows.

-- The facts: one value of one account for one month and one combination
-- of agency, user and supplier. Only sums of valeur are read.
CREATE TABLE data (
    code_account TEXT,              -- MONTANT_DEVIS_VENTE_HT, MONTANT_DEVIS_TVA, MARGE_DEVIS_VENTE_HT,
                                    -- NB_RELANCES, NB_DOSSIERS_TRAITES or NB_COMMANDES_TRAITES;
                                    -- any other code is ignored
    period_year INTEGER,            -- four digits
    period_month INTEGER,           -- 1 to 12
    valeur DOUBLE PRECISION,        -- an amount, or a count for the NB_ codes
    dim_agence TEXT,                -- a code of dim_agence
    dim_utilisateur TEXT,           -- a code of dim_utilisateur
    dim_fournisseur TEXT,           -- a code of dim_fournisseur
    dim_dossier TEXT                -- the quote file; never read, may be left out
);

-- Users. A user who holds a level has a dim_niveau row with the same code.
CREATE TABLE dim_utilisateur (code TEXT, libelle TEXT);
-- Agencies.
CREATE TABLE dim_agence (code TEXT, libelle TEXT);
-- Suppliers.
CREATE TABLE dim_fournisseur (code TEXT, libelle TEXT);
-- Levels ("Chef de secteur"): code is the code of the user who holds the
-- level, libelle the level's name.
CREATE TABLE dim_niveau (code TEXT, libelle TEXT);
-- The agencies of each level: niveau is a code of dim_niveau, agence a
-- code of dim_agence. An agency may belong to several levels.
CREATE TABLE niveau_agence (niveau TEXT, agence TEXT);

-- Serves every figure of the tracking table from the index alone.
CREATE INDEX data_mois_compte ON data (period_year, period_month, dim_agence,
    code_account, dim_utilisateur, dim_fournisseur, valeur);
