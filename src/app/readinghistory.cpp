#include "readinghistory.h"

#include <algorithm>

namespace {

constexpr int rawBlockLimit = int(ReadingHistory::exactReadings / ReadingHistory::blockSize) + 1;

} // namespace

struct ReadingHistory::Block
{
    double times[blockSize];
    double values[blockSize];
    int count = 0;
    int minIndex = 0;
    int maxIndex = 0;

    bool isFull() const { return count == blockSize; }
    double firstTime() const { return times[0]; }
    double lastTime() const { return times[count - 1]; }
    QPointF point(int i) const { return {times[i], values[i]}; }

    void append(double time, double value)
    {
        times[count] = time;
        values[count] = value;
        if (count == 0 || value < values[minIndex])
            minIndex = count;
        if (count == 0 || value > values[maxIndex])
            maxIndex = count;
        ++count;
    }

    void clear() { count = minIndex = maxIndex = 0; }

    // First, minimum, maximum, last, in time order (an index may repeat).
    void summaryIndices(int (&indices)[4]) const
    {
        indices[0] = 0;
        indices[1] = std::min(minIndex, maxIndex);
        indices[2] = std::max(minIndex, maxIndex);
        indices[3] = count - 1;
    }
};

// Walks the stored points in time order and keeps, per pixel column, the first, minimum,
// maximum and last point. A block that lies within one column is taken whole from its
// summary, so a redraw touches only the blocks at column edges point by point.
class ReadingHistory::Decimator
{
public:
    Decimator(double from, double to, int columns, QVector<QPointF> &points)
        : m_from(from)
        , m_to(to)
        , m_scale(columns / (to - from))
        , m_lastColumn(columns - 1)
        , m_points(points)
    {
        m_points.clear();
    }

    bool isDone() const { return m_done; }

    void visit(const Block &block)
    {
        if (m_done || block.count == 0)
            return;
        if (block.lastTime() < m_from) {
            m_before = block.point(block.count - 1);
            m_hasBefore = true;
            return;
        }
        if (block.firstTime() >= m_from && block.lastTime() <= m_to
            && column(block.firstTime()) == column(block.lastTime())) {
            int indices[4];
            block.summaryIndices(indices);
            for (int i : indices)
                take(block.point(i));
            return;
        }
        for (int i = 0; i < block.count && !m_done; ++i)
            take(block.point(i));
    }

    void finish()
    {
        if (!m_started && m_hasBefore)
            emitPoint(m_before);
        flushColumn();
        if (m_hasAfter)
            emitPoint(m_after);
    }

private:
    int column(double time) const { return std::min(int((time - m_from) * m_scale), m_lastColumn); }

    void take(const QPointF &point)
    {
        if (point.x() < m_from) {
            m_before = point;
            m_hasBefore = true;
            return;
        }
        if (point.x() > m_to) {
            m_after = point;
            m_hasAfter = true;
            m_done = true;
            return;
        }
        if (!m_started) {
            m_started = true;
            if (m_hasBefore)
                emitPoint(m_before);
        }
        const int c = column(point.x());
        if (c != m_column || !m_columnUsed) {
            flushColumn();
            m_column = c;
            m_columnUsed = true;
            m_first = m_min = m_max = m_last = point;
            return;
        }
        if (point.y() < m_min.y())
            m_min = point;
        if (point.y() > m_max.y())
            m_max = point;
        m_last = point;
    }

    void flushColumn()
    {
        if (!m_columnUsed)
            return;
        const bool minFirst = m_min.x() <= m_max.x();
        emitPoint(m_first);
        emitPoint(minFirst ? m_min : m_max);
        emitPoint(minFirst ? m_max : m_min);
        emitPoint(m_last);
        m_columnUsed = false;
    }

    void emitPoint(const QPointF &point)
    {
        if (m_points.isEmpty() || m_points.constLast() != point)
            m_points.append(point);
    }

    const double m_from;
    const double m_to;
    const double m_scale;
    const int m_lastColumn;
    QVector<QPointF> &m_points;
    QPointF m_before;
    QPointF m_after;
    QPointF m_first, m_min, m_max, m_last;
    int m_column = 0;
    bool m_columnUsed = false;
    bool m_hasBefore = false;
    bool m_hasAfter = false;
    bool m_started = false;
    bool m_done = false;
};

ReadingHistory::ReadingHistory() = default;
ReadingHistory::~ReadingHistory() = default;

void ReadingHistory::append(double seconds, double kelvin)
{
    if (m_count > 0)
        seconds = std::max(seconds, lastTime());
    newestBlock().append(seconds, kelvin);
    ++m_count;
}

qint64 ReadingHistory::exactCount() const
{
    qint64 count = 0;
    for (const auto &block : m_raw)
        count += block->count;
    return count;
}

qint64 ReadingHistory::condensedCount() const
{
    return m_condensed.empty()
        ? 0
        : qint64(m_condensed.size() - 1) * blockSize + m_condensed.back()->count;
}

double ReadingHistory::firstTime() const
{
    if (!m_condensed.empty())
        return m_condensed.front()->firstTime();
    return m_raw.empty() ? 0.0 : rawBlock(0).firstTime();
}

double ReadingHistory::lastTime() const
{
    return m_raw.empty() ? 0.0 : rawBlock(int(m_raw.size()) - 1).lastTime();
}

qint64 ReadingHistory::memoryBytes() const
{
    return qint64(m_raw.size() + m_condensed.size()) * qint64(sizeof(Block))
        + qint64(m_raw.capacity() + m_condensed.capacity()) * qint64(sizeof(m_raw.front()));
}

void ReadingHistory::decimate(double from, double to, int columns, QVector<QPointF> &points) const
{
    if (columns < 1 || !(to > from)) {
        points.clear();
        return;
    }
    Decimator decimator(from, to, columns, points);
    for (const auto &block : m_condensed)
        decimator.visit(*block);
    for (int i = 0; i < int(m_raw.size()) && !decimator.isDone(); ++i)
        decimator.visit(rawBlock(i));
    decimator.finish();
}

QVector<QPointF> ReadingHistory::decimated(double from, double to, int columns) const
{
    QVector<QPointF> points;
    decimate(from, to, columns, points);
    return points;
}

QVector<QPointF> ReadingHistory::exactReadingsIn(double from, double to) const
{
    QVector<QPointF> readings;
    for (int b = 0; b < int(m_raw.size()); ++b) {
        const Block &block = rawBlock(b);
        if (block.count == 0 || block.lastTime() < from)
            continue;
        if (block.firstTime() > to)
            break;
        for (int i = 0; i < block.count; ++i) {
            if (block.times[i] >= from && block.times[i] <= to)
                readings.append(block.point(i));
        }
    }
    return readings;
}

ReadingHistory::Block &ReadingHistory::newestBlock()
{
    if (m_raw.empty() || (m_raw.back()->isFull() && int(m_raw.size()) < rawBlockLimit)) {
        m_raw.push_back(std::make_unique<Block>());
        return *m_raw.back();
    }
    Block &newest = *m_raw[(m_rawHead + m_raw.size() - 1) % m_raw.size()];
    if (!newest.isFull())
        return newest;
    condenseOldestBlock();
    return *m_raw[(m_rawHead + m_raw.size() - 1) % m_raw.size()];
}

// The oldest exact block gives its four summary points to the condensed store and
// becomes the newest, empty block.
void ReadingHistory::condenseOldestBlock()
{
    Block &oldest = *m_raw[m_rawHead];
    int indices[4];
    oldest.summaryIndices(indices);
    for (int i : indices) {
        if (m_condensed.empty() || m_condensed.back()->isFull())
            m_condensed.push_back(std::make_unique<Block>());
        m_condensed.back()->append(oldest.times[i], oldest.values[i]);
    }
    oldest.clear();
    m_rawHead = (m_rawHead + 1) % int(m_raw.size());
}

const ReadingHistory::Block &ReadingHistory::rawBlock(int index) const
{
    return *m_raw[(m_rawHead + index) % m_raw.size()];
}
