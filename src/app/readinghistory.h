#ifndef RIMEGLASS_READINGHISTORY_H
#define RIMEGLASS_READINGHISTORY_H

#include <QPointF>
#include <QVector>
#include <memory>
#include <vector>

// Every reading since the window started, in bounded memory: the most recent
// exactReadings readings (at least 2^21) are kept as they came; each older block of
// blockSize readings is condensed into its M4 points (first, minimum, maximum, last, in
// time order), which draw the same picture wherever a block is narrower than a pixel
// column. Times are seconds since the epoch, never decreasing.
//
// Appending costs O(1) and allocates only when a new block of storage is first needed;
// once the exact readings fill their blocks, the oldest block is condensed and reused.
class ReadingHistory
{
public:
    static constexpr int blockSize = 1024;
    static constexpr qint64 exactReadings = qint64(1) << 21;

    ReadingHistory();
    ~ReadingHistory();
    ReadingHistory(const ReadingHistory &) = delete;
    ReadingHistory &operator=(const ReadingHistory &) = delete;

    // A reading at `seconds`; a time before the newest one counts as the newest time.
    void append(double seconds, double kelvin);

    bool isEmpty() const { return m_count == 0; }
    qint64 count() const { return m_count; }
    // How many are still kept exactly, and how many points stand for the older ones.
    qint64 exactCount() const;
    qint64 condensedCount() const;
    double firstTime() const;
    double lastTime() const;
    // Bytes held for the readings.
    qint64 memoryBytes() const;

    // The points that draw everything from `from` to `to` in `columns` pixel columns:
    // per column its first, minimum, maximum and last point in time order, after the
    // last point before the range and before the first point after it (so the curve
    // reaches the edges). `points` is replaced, its capacity reused.
    void decimate(double from, double to, int columns, QVector<QPointF> &points) const;
    QVector<QPointF> decimated(double from, double to, int columns) const;

    // The readings still kept exactly from `from` to `to`.
    QVector<QPointF> exactReadingsIn(double from, double to) const;

private:
    struct Block;
    class Decimator;

    Block &newestBlock();
    void condenseOldestBlock();
    const Block &rawBlock(int index) const;

    qint64 m_count = 0;
    std::vector<std::unique_ptr<Block>> m_condensed;
    // A ring of blocks, m_rawHead the oldest, the last one filling.
    std::vector<std::unique_ptr<Block>> m_raw;
    int m_rawHead = 0;
};

#endif
