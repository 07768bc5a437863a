#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

// What the tools that write facts (the sample, the import) share.

// The columns of data they write, in this order.
inline constexpr const char *factColumns =
    "code_account, period_year, period_month, valeur, dim_agence, dim_utilisateur, dim_fournisseur, dim_dossier";

// The rank of each code in the engine's text order (bytes compared as
// unsigned), to sort rows as the covering index orders them.
std::vector<int> textRanks(const std::vector<QByteArray> &codes);

// Appends one fact to `rows` as a line of "COPY data (factColumns) FROM
// STDIN" in the text format: the value as the shortest text that reads back
// as the same double, a null dossier as \N.
void appendCopyFact(QByteArray &rows, const char *account, int year, int month, double value, QByteArrayView agency,
                    QByteArrayView user, QByteArrayView supplier, QByteArrayView dossier);
