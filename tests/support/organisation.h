#pragma once

#include <QDate>
#include <QVariant>

class TestDatabase;

// The month the organisation's figures belong to: the current one, as the
// tracking table opens on it.
inline int thisYear() { return QDate::currentDate().year(); }
inline int thisMonth() { return QDate::currentDate().month(); }

// All six accounts of one fact combination at once.
void addFigures(TestDatabase &db, int year, int month, const QVariant &agency, const QVariant &user,
                const QVariant &supplier, double ht, double tva, double marge, double relances, double devis,
                double commandes);

// A small organisation: three levels (one without agency), an agency in two
// levels, an agency in none, codes and labels with apostrophes, figures this
// month and the month before.
void fillOrganisation(TestDatabase &db);
