#pragma once

#include "dashboard/dashboardfigures.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class QTextStream;

// Times the refresh of the tracking table on sample databases of several
// sizes: the statement-per-figure path, the grouped path and one plain pass
// over the month (the least any path can cost), with and without the
// recommended index, at drill levels 0 to 2.
struct BenchOptions
{
    QVector<qint64> sizes{100000, 1000000, 10000000};
    QString dir = QStringLiteral("bench-data");
    int runs = 5;
    int levels = 40;          // level rows at drill level 0
    quint32 seed = 1;
    double perFigureBudget = 120; // seconds the per-figure path may take per case
    bool forcePerFigure = false;
    QString sampleProgram;    // orvalis-sample
    QString reportProgram;    // orvalis-report
};

struct BenchResult
{
    qint64 size = 0;
    bool indexed = false;
    int drill = 0;
    int rows = 0;             // rows of the table
    QString month;            // AAAA-MM
    // Seconds, one per run: wall-clock time, and processor time of the
    // thread that ran the engine. Per-figure: empty when skipped.
    QVector<double> perFigure, perFigureCpu;
    double perFigureEstimate = 0; // seconds a run would take
    QVector<double> grouped, groupedCpu;
    QVector<double> floor, floorCpu;
    bool sameTexts = true;    // both paths gave the same table
    qint64 reportPeakKiB = -1; // VmHWM of an orvalis-report run of the same table
    double reportSeconds = 0;

    static double median(QVector<double> values);
};

class Benchmark
{
public:
    explicit Benchmark(BenchOptions options, QTextStream &progress);

    QVector<BenchResult> run();

    // The table for a README (Markdown) and the raw figures (one line per
    // case, tab-separated, for the plot script).
    static QString markdown(const QVector<BenchResult> &results, const BenchOptions &options);
    static QString tsv(const QVector<BenchResult> &results);

    // Peak resident memory of this process (VmHWM), in KiB.
    static qint64 ownPeakKiB();

private:
    QString baseFile(qint64 size) const;
    QString workFile(qint64 size, bool indexed) const;
    void ensureBase(qint64 size);
    bool workCopyReady(qint64 size, bool indexed) const;
    void ensureWorkCopy(qint64 size, bool indexed);
    // What is measured on both copies of one size.
    struct Cases
    {
        int year = 0;
        int month = 0;
        QString level;  // drill 1
        QString agency; // drill 2
    };
    Cases cases(qint64 size);
    QVector<BenchResult> measure(qint64 size, bool indexed, const Cases &cases);

    BenchOptions m_options;
    QTextStream &m_progress;
};
