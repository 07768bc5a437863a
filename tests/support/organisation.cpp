#include "organisation.h"

#include "testsupport.h"

void addFigures(TestDatabase &db, int year, int month, const QVariant &agency, const QVariant &user,
                const QVariant &supplier, double ht, double tva, double marge, double relances, double devis,
                double commandes)
{
    db.addFact(QStringLiteral("MONTANT_DEVIS_VENTE_HT"), year, month, ht, agency, user, supplier);
    db.addFact(QStringLiteral("MONTANT_DEVIS_TVA"), year, month, tva, agency, user, supplier);
    db.addFact(QStringLiteral("MARGE_DEVIS_VENTE_HT"), year, month, marge, agency, user, supplier);
    db.addFact(QStringLiteral("NB_RELANCES"), year, month, relances, agency, user, supplier);
    db.addFact(QStringLiteral("NB_DOSSIERS_TRAITES"), year, month, devis, agency, user, supplier);
    db.addFact(QStringLiteral("NB_COMMANDES_TRAITES"), year, month, commandes, agency, user, supplier);
}

void fillOrganisation(TestDatabase &db)
{
    db.addUser("U1", "Alice Martin");
    db.addUser("U'2", "Bernard d'Aubigné");
    db.addUser("U3", "Chloé Petit");
    db.addUser("U4", "Denis Roux");
    db.addUser("U5", "Émile Faure");
    db.addLevel("U1", "Secteur Nord");
    db.addLevel("U'2", "Secteur de l'Ouest");
    db.addLevel("U3", "Secteur Vide");
    db.addAgency("A1", "Agence d'Orléans");
    db.addAgency("A'2", "Agence de Brest");
    db.addAgency("A3", "Agence de Lyon");
    db.link("U1", "A1");
    db.link("U1", "A'2");
    db.link("U'2", "A'2");
    db.addSupplier("F1", "Fournisseur Un");
    db.addSupplier("F'2", "Fournisseur d'Azur");
    // This month.
    addFigures(db, thisYear(), thisMonth(), "A1", "U4", "F1", 200, 40, -50, 2.9, 2, 3);
    addFigures(db, thisYear(), thisMonth(), "A'2", "U5", "F'2", 100.25, 20.05, 30, -2.9, 4, 1);
    addFigures(db, thisYear(), thisMonth(), "A'2", "U4", "F1", 0, 0, 12, 1, 0, 2);
    addFigures(db, thisYear(), thisMonth(), "A3", "U5", "F1", 1000, 200, 100, 1, 1, 1);
    // Another month, to be left out.
    const QDate before = QDate(thisYear(), thisMonth(), 1).addMonths(-1);
    addFigures(db, before.year(), before.month(), "A1", "U3", "F1", 7, 1, 1, 1, 1, 1);
}

