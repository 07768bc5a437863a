#include "tools/common/factrows.h"

#include "store/pgsession.h"

#include <algorithm>
#include <charconv>
#include <numeric>

std::vector<int> textRanks(const std::vector<QByteArray> &codes)
{
    std::vector<int> order(codes.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return codes[a] < codes[b]; });
    std::vector<int> rank(codes.size());
    for (int i = 0; i < int(order.size()); ++i)
        rank[order[i]] = i;
    return rank;
}

void appendCopyFact(QByteArray &rows, const char *account, int year, int month, double value, QByteArrayView agency,
                    QByteArrayView user, QByteArrayView supplier, QByteArrayView dossier)
{
    char number[64];
    rows += account;
    rows += '\t';
    rows += QByteArray::number(year);
    rows += '\t';
    rows += QByteArray::number(month);
    rows += '\t';
    const auto written = std::to_chars(number, number + sizeof number, value);
    rows.append(number, written.ptr - number);
    for (const QByteArrayView text : {agency, user, supplier, dossier}) {
        rows += '\t';
        if (text.isNull())
            rows += "\\N";
        else
            PgSession::copyField(rows, text.data(), text.size());
    }
    rows += '\n';
}
