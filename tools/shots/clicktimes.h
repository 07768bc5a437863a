#pragma once

class QString;
class QTextStream;

// orvalis-shots --timing: the time from a choice in a list of the tracking
// table, clicked in the list's popup, to the table painted with its rows;
// for the window's opening, months read for the first time and again, and
// the chain level, agency, user. Prints one line per measure.
int measureClicks(const QString &database, QTextStream &out);
