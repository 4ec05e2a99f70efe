// The session's history: the decimated picture against every reading, the condensing of
// old readings and the memory bound, the History view's range, export and CSV, and the
// window's recording of what the instrument reports.

#include "historyview.h"
#include "plotexport.h"
#include "readinghistory.h"
#include "testmain.h"
#include "windowdriver.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <qwt_plot.h>
#include <qwt_plot_zoomer.h>

namespace {

constexpr double startTime = 1796000000.0; // 2026-11-30T00:53:20Z

// `count` readings one second apart, a random walk in kelvin.
QVector<QPointF> walk(int count)
{
    QRandomGenerator random(15);
    QVector<QPointF> readings(count);
    double kelvin = 150.0;
    for (int i = 0; i < count; ++i) {
        kelvin += random.generateDouble() - 0.5;
        readings[i] = {startTime + i, kelvin};
    }
    return readings;
}

struct Column
{
    QPointF first, last;
    double min = 0.0, max = 0.0;
    bool operator==(const Column &o) const
    {
        return first == o.first && last == o.last && min == o.min && max == o.max;
    }
};

// Per pixel column: the first and last point, the least and the greatest value.
QMap<int, Column> columnsOf(const QVector<QPointF> &points, double from, double to, int columns)
{
    QMap<int, Column> result;
    for (const QPointF &p : points) {
        if (p.x() < from || p.x() > to)
            continue;
        const int c = std::min(int((p.x() - from) * (columns / (to - from))), columns - 1);
        auto it = result.find(c);
        if (it == result.end()) {
            result.insert(c, {p, p, p.y(), p.y()});
            continue;
        }
        it->last = p;
        it->min = std::min(it->min, p.y());
        it->max = std::max(it->max, p.y());
    }
    return result;
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private slots:
    void decimationDrawsEveryReading_data();
    void decimationDrawsEveryReading();
    void historyView();
    void windowRecordsReadings();
};

// Ranges in seconds from the first reading. Where old readings are condensed, the
// columns are whole blocks of 1024 seconds wide, so that no block straddles two.
void TestHistory::decimationDrawsEveryReading_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<int>("columns");

    const int condensing = int(ReadingHistory::exactReadings) + (1 << 20) + 17;
    QTest::newRow("all exact, whole range") << 100000 << 0.0 << 99999.0 << 1000;
    QTest::newRow("all exact, zoomed, uneven columns") << 100000 << 12345.5 << 67890.25 << 777;
    QTest::newRow("fewer readings than columns") << 50 << 0.0 << 49.0 << 1000;
    QTest::newRow("a range with no reading") << 50 << 10.25 << 10.75 << 100;
    QTest::newRow("condensed and exact, whole range")
        << condensing << 0.0 << double(1 << 22) << 2048;
    QTest::newRow("condensed, one block in one column") << condensing << 0.0 << 1023.0 << 1;
    QTest::newRow("across the condensed edge")
        << condensing << double(1 << 20) << double((1 << 20) + 1024 * 600) << 600;
}

void TestHistory::decimationDrawsEveryReading()
{
    QFETCH(int, count);
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(int, columns);
    from += startTime;
    to += startTime;

    const QVector<QPointF> readings = walk(count);
    ReadingHistory history;
    for (const QPointF &reading : readings)
        history.append(reading.x(), reading.y());

    const QVector<QPointF> points = history.decimated(from, to, columns);
    QCOMPARE(columnsOf(points, from, to, columns), columnsOf(readings, from, to, columns));
    QVERIFY(std::is_sorted(points.begin(), points.end(),
                           [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); }));
    // The curve runs on to the readings just outside the range.
    const auto before = std::find_if(readings.rbegin(), readings.rend(),
                                     [&](const QPointF &p) { return p.x() < from; });
    const auto after = std::find_if(readings.begin(), readings.end(),
                                    [&](const QPointF &p) { return p.x() > to; });
    QCOMPARE(points.first(), before == readings.rend() ? points.first() : *before);
    QCOMPARE(points.last(), after == readings.end() ? points.last() : *after);

    // The memory rule: 2^21 readings (up to a block more) exact, four points per older
    // block of 1024.
    const qint64 condensedBlocks = (count - history.exactCount()) / ReadingHistory::blockSize;
    QVERIFY(history.exactCount() >= std::min<qint64>(count, ReadingHistory::exactReadings));
    QVERIFY(history.exactCount() < ReadingHistory::exactReadings + ReadingHistory::blockSize);
    QCOMPARE(history.condensedCount(), 4 * condensedBlocks);
    QCOMPARE(history.count(), qint64(count));
}

// Zoom, follow newest and reset move the shown range; the exports write what is shown.
void TestHistory::historyView()
{
    HistoryView view;
    view.setInstrument({"ZURKD550", "SN0001", "1.5.2.0", "DT-670"});
    view.resize(800, 500);
    view.show();
    const auto at = [](double seconds) {
        return QDateTime::fromMSecsSinceEpoch(qint64((startTime + seconds) * 1000), Qt::UTC);
    };
    for (int i = 0; i < 100; ++i)
        view.addReading(at(i), 100.0 - i * 0.25);
    view.refresh();
    const auto range = [&] {
        return qMakePair(view.visibleFrom() - startTime, view.visibleTo() - startTime);
    };
    QCOMPARE(range(), qMakePair(0.0, 99.0));

    auto *follow = view.findChild<QCheckBox *>(QStringLiteral("followNewestCheck"));
    auto *zoomer = view.findChild<QwtPlotZoomer *>();
    QVERIFY(follow && follow->isChecked() && zoomer);
    zoomer->zoom(
        QRectF(QPointF((startTime + 10) * 1000, 0), QPointF((startTime + 12) * 1000, 200)));
    QCOMPARE(range(), qMakePair(10.0, 12.0));
    QVERIFY(!follow->isChecked());

    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("range.csv"));
    QVERIFY(view.exportCsv(csv));
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             QByteArray("# rimeglass 1.7 recording\n"
                        "# instrument: MORVA ZURKD550, serial number SN0001, firmware 1.5.2.0\n"
                        "# sensor: DT-670\n"
                        "time_utc,seconds,kelvin\n"
                        "2026-11-30T00:53:30.000Z,0.000,97.500\n"
                        "2026-11-30T00:53:31.000Z,1.000,97.250\n"
                        "2026-11-30T00:53:32.000Z,2.000,97.000\n"));

    view.addReading(at(100), 75.0);
    view.refresh();
    QCOMPARE(range(), qMakePair(10.0, 12.0));
    follow->click();
    QCOMPARE(range(), qMakePair(98.0, 100.0));
    view.findChild<QPushButton *>(QStringLiteral("historyResetButton"))->click();
    QCOMPARE(range(), qMakePair(0.0, 100.0));

    const QString png = dir.filePath(QStringLiteral("plot.png"));
    QVERIFY(exportPlot(view.plot(), png));
    QCOMPARE(QImage(png).size(), view.plot()->size());
    QString error;
    QVERIFY(!exportPlot(view.plot(), dir.filePath(QStringLiteral("plot.txt")), &error));
    QCOMPARE(error,
             QStringLiteral("Cannot export %1/plot.txt: the name must end in .png, .svg or .pdf")
                 .arg(dir.path()));
}

// Record starts once the instrument has identified itself, in a file named after its
// serial number; a refused start is told, and the row count shows while it records.
void TestHistory::windowRecordsReadings()
{
    using namespace windowdriver;
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("records"));
    QSettings().setValue(QStringLiteral("/recording/folder"), folder);
    PtyPeer peer;
    MainWindow window;
    auto *record = child<QPushButton>(&window, "recordButton");
    auto *status = child<QLabel>(&window, "recordingStatusLabel");
    QVERIFY(!record->isEnabled());
    openOn(window, peer);
    peer.sendLine("MORVA,ZURKD550,20417,1.3.0.0");
    QTRY_VERIFY(record->isEnabled());

    QFile blocker(folder);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    const auto box = answerNextMessageBox(QMessageBox::Ok);
    record->click();
    QTRY_VERIFY(box->shown);
    QCOMPARE(box->title, QStringLiteral("Recording"));
    QCOMPARE(box->text, "Cannot create the folder " + folder + ": Not a directory");
    QCOMPARE(statusText(window), box->text);
    QVERIFY(!record->isChecked() && blocker.remove());

    record->click();
    const QStringList files = QDir(folder).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(files.first().startsWith(QLatin1String("20417_")));
    peer.sendLine("*T = 77.35 K");
    QTRY_COMPARE(status->text(), "Recording " + files.first() + ": 1 row");
    peer.sendLine("*T = 77.125 K");
    QTRY_COMPARE(status->text(), "Recording " + files.first() + ": 2 rows");
    record->click();
    QCOMPARE(status->text(), QString());
    QCOMPARE(window.findChild<HistoryView *>()->history().count(), qint64(2));
}

RIMEGLASS_TEST_MAIN(QApplication, TestHistory)
#include "test_history.moc"
