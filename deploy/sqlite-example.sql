-- A tiny organisation to see figures at once, after sqlite-schema.sql:
--
--     sqlite3 base.db < deploy/sqlite-example.sql
--     build/orvalis base.db VEXOR      # the administrator: every level
--     build/orvalis base.db U0001      # Claire Martin: her own level only
--
-- Its facts belong to the current month, the month the tracking table
-- opens on.
INSERT INTO dim_utilisateur (code, libelle) VALUES
    ('U0001', 'Claire Martin'),
    ('U0002', 'Hugo Lefèvre'),
    ('U0003', 'Inès Garnier');
-- Claire Martin holds a level: its code is her user code.
INSERT INTO dim_niveau (code, libelle) VALUES ('U0001', 'Secteur Nord');
INSERT INTO dim_agence (code, libelle) VALUES
    ('A01', 'Agence de Lille'),
    ('A02', 'Agence d''Amiens');
INSERT INTO niveau_agence (niveau, agence) VALUES ('U0001', 'A01'), ('U0001', 'A02');
INSERT INTO dim_fournisseur (code, libelle) VALUES ('F01', 'Menuiseries du Nord');

-- One quote file of Hugo Lefèvre in Lille and one of Inès Garnier in Amiens:
-- 1 250 € excluding tax, 250 € of VAT, 300 € of margin, 1 reminder, and an
-- order for the first one.
INSERT INTO data (code_account, period_year, period_month, valeur, dim_agence, dim_utilisateur, dim_fournisseur)
SELECT account, CAST(strftime('%Y', 'now', 'localtime') AS INTEGER),
       CAST(strftime('%m', 'now', 'localtime') AS INTEGER), valeur, agence, utilisateur, 'F01'
FROM (SELECT 'MONTANT_DEVIS_VENTE_HT' AS account, 1250.0 AS valeur, 'A01' AS agence, 'U0002' AS utilisateur
      UNION ALL SELECT 'MONTANT_DEVIS_TVA', 250.0, 'A01', 'U0002'
      UNION ALL SELECT 'MARGE_DEVIS_VENTE_HT', 300.0, 'A01', 'U0002'
      UNION ALL SELECT 'NB_RELANCES', 1, 'A01', 'U0002'
      UNION ALL SELECT 'NB_DOSSIERS_TRAITES', 1, 'A01', 'U0002'
      UNION ALL SELECT 'NB_COMMANDES_TRAITES', 1, 'A01', 'U0002'
      UNION ALL SELECT 'MONTANT_DEVIS_VENTE_HT', 1250.0, 'A02', 'U0003'
      UNION ALL SELECT 'MONTANT_DEVIS_TVA', 250.0, 'A02', 'U0003'
      UNION ALL SELECT 'MARGE_DEVIS_VENTE_HT', 300.0, 'A02', 'U0003'
      UNION ALL SELECT 'NB_RELANCES', 1, 'A02', 'U0003'
      UNION ALL SELECT 'NB_DOSSIERS_TRAITES', 1, 'A02', 'U0003');
