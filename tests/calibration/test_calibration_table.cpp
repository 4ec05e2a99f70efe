// The calibration file grammar and the payload the instrument stores, byte for byte.

#include "calibrationtable.h"
#include "testmain.h"
#include "wirebytes.h"

#include <QCoreApplication>
#include <QFile>
#include <cmath>
#include <limits>

using Column = QVector<double>;
using wirebytes::littleEndian32;

namespace {

QByteArray header(qint32 count, const QByteArray &nameField)
{
    return QByteArray::fromHex("d441de05") + littleEndian32(count) + nameField;
}

} // namespace

class TestCalibrationTable : public QObject
{
    Q_OBJECT

private slots:
    void grammar_data();
    void grammar();
    void realDt670Table();
    void windowsAndUnixLineEndsAgree();

    void workedExample();
    void nameField_data();
    void nameField();
    void scaledValues_data();
    void scaledValues();
    void emptyTable();
    void largeTableKeepsOrder();
};

void TestCalibrationTable::grammar_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Column>("temperatures");
    QTest::addColumn<Column>("voltages");

    QTest::newRow("Unix line ends")
        << QByteArray("4.2 1.6243\n300 0.5\n") << Column{4.2, 300} << Column{1.6243, 0.5};
    QTest::newRow("Windows line ends")
        << QByteArray("4.2 1.6243\r\n300 0.5\r\n") << Column{4.2, 300} << Column{1.6243, 0.5};
    QTest::newRow("lone CR makes one long line")
        << QByteArray("4.2 1.6243\r300 0.5\r") << Column{} << Column{};
    QTest::newRow("several spaces and tabs around")
        << QByteArray("   4.2  \t  1.6243   \n") << Column{4.2} << Column{1.6243};
    QTest::newRow("header words skipped")
        << QByteArray("Temperature Voltage\n(K) (V)\n1 2\n") << Column{1} << Column{2};
    QTest::newRow("three fields skipped")
        << QByteArray("4.2 1.6243 7\n1 2\n") << Column{1} << Column{2};
    QTest::newRow("one field skipped") << QByteArray("42\n") << Column{} << Column{};
    QTest::newRow("comma-joined pair skipped")
        << QByteArray("4.2,1.6243\n") << Column{} << Column{};
    QTest::newRow("trailing comma skipped") << QByteArray("4.2, 1.6243\n") << Column{} << Column{};
    QTest::newRow("decimal comma skipped") << QByteArray("4,2 1,6\n") << Column{} << Column{};
    QTest::newRow("exponents") << QByteArray("1e2 5E-1\n") << Column{100} << Column{0.5};
    QTest::newRow("signs") << QByteArray("+1.5 -2\n") << Column{1.5} << Column{-2};
    QTest::newRow("NUL ends the text") << QByteArray("1 2\n\0"
                                                     "3 4\n",
                                                     9)
                                       << Column{1} << Column{2};
    QTest::newRow("NUL inside a line")
        << QByteArray("1 2\n3 4\0 5\n", 11) << Column{1, 3} << Column{2, 4};
    QTest::newRow("empty file") << QByteArray() << Column{} << Column{};
    QTest::newRow("no final line feed") << QByteArray("1 2") << Column{1} << Column{2};
    QTest::newRow("blank lines") << QByteArray("\n\n  \n1 2\n\n") << Column{1} << Column{2};
    QTest::newRow("duplicates and order kept")
        << QByteArray("5 1\n1 5\n5 1\n") << Column{5, 1, 5} << Column{1, 5, 1};
    QTest::newRow("not UTF-8 around a valid line")
        << QByteArray("\xff\xfe x\n1 2\n") << Column{1} << Column{2};
}

void TestCalibrationTable::grammar()
{
    QFETCH(QByteArray, file);
    QFETCH(Column, temperatures);
    QFETCH(Column, voltages);

    const CalibrationTable table = CalibrationTable::fromFileData(file);
    QCOMPARE(table.temperatures, temperatures);
    QCOMPARE(table.voltages, voltages);
}

void TestCalibrationTable::realDt670Table()
{
    QFile file(QStringLiteral(RIMEGLASS_TEST_DATA_DIR "/dt670-D6068043.dat"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const CalibrationTable table = CalibrationTable::fromFileData(file.readAll());

    QCOMPARE(table.temperatures.size(), 71);
    QCOMPARE(table.voltages.size(), 71);
    QCOMPARE(table.temperatures.first(), 1.20068073114752);
    QCOMPARE(table.voltages.first(), 1.63725);
    QCOMPARE(table.temperatures.last(), 330.154300827973);
    QCOMPARE(table.voltages.last(), 0.48735);
    // A diode's voltage falls as it warms.
    for (int i = 1; i < table.voltages.size(); ++i)
        QVERIFY(table.voltages.at(i) < table.voltages.at(i - 1));
}

void TestCalibrationTable::windowsAndUnixLineEndsAgree()
{
    QFile file(QStringLiteral(RIMEGLASS_TEST_DATA_DIR "/dt670-D6068043.dat"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray unixText = file.readAll();
    unixText.replace("\r\n", "\n");
    QByteArray windows = unixText;
    windows.replace("\n", "\r\n");

    const CalibrationTable fromUnix = CalibrationTable::fromFileData(unixText);
    const CalibrationTable fromWindows = CalibrationTable::fromFileData(windows);
    QCOMPARE(fromWindows.temperatures, fromUnix.temperatures);
    QCOMPARE(fromWindows.voltages, fromUnix.voltages);
    QCOMPARE(fromUnix.temperatures.size(), 71);
}

void TestCalibrationTable::workedExample()
{
    const QByteArray payload
        = CalibrationTable::encodePayload(QStringLiteral("Custom"), {300, 4.2}, {0.5, 1.6243});
    QCOMPARE(payload.toHex(' '),
             QByteArray("d4 41 de 05 02 00 00 00 43 75 73 74 6f 6d 00 00 "
                        "00 00 00 00 00 00 00 00 e0 93 04 00 20 a1 07 00 "
                        "68 10 00 00 ec c8 18 00"));
}

void TestCalibrationTable::nameField_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("empty") << QString() << QByteArray(16, '\0');
    QTest::newRow("16 bytes, no terminator")
        << "ABCDEFGHIJKLMNOP" << QByteArray("ABCDEFGHIJKLMNOP");
    QTest::newRow("20 bytes cut") << "ABCDEFGHIJKLMNOPQRST" << QByteArray("ABCDEFGHIJKLMNOP");
    QTest::newRow("multi-byte character cut")
        << QString::fromUtf8("abcdefghijklmno\xc3\x84") << QByteArray("abcdefghijklmno\xc3");
    QTest::newRow("micro sign padded")
        << QString::fromUtf8("\xc2\xb5V") << QByteArray("\xc2\xb5V") + QByteArray(13, '\0');
}

void TestCalibrationTable::nameField()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, field);

    const QByteArray payload = CalibrationTable::encodePayload(name, {1}, {2});
    QCOMPARE(payload.size(), 32);
    QCOMPARE(payload.left(24), header(1, field));
    QCOMPARE(payload.mid(24), littleEndian32(1000) + littleEndian32(2000000));
}

void TestCalibrationTable::scaledValues_data()
{
    QTest::addColumn<double>("temperature");
    QTest::addColumn<double>("voltage");
    QTest::addColumn<qint32>("millikelvin");
    QTest::addColumn<qint32>("microvolts");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("truncated, not rounded") << 1.005 << 4.1 << 1004 << 4099999;
    QTest::newRow("negative toward zero") << -0.0015 << -0.0000015 << -1 << -1;
    QTest::newRow("zero") << 0.0 << -0.0 << 0 << 0;
    QTest::newRow("beyond 32 bits keeps the low bits")
        << 3000000.0 << 3000.0 << qint32(0xb2d05e00u) << qint32(0xb2d05e00u);
    QTest::newRow("not a number") << nan << nan << 0 << 0;
    QTest::newRow("infinite") << inf << -inf << 0 << 0;
    QTest::newRow("beyond 64 bits") << 1e17 << -1e14 << 0 << 0;
    QTest::newRow("just inside 64 bits")
        << 9.2e15 << 0.0 << qint32(quint32(quint64(9200000000000000000ull) & 0xffffffffu)) << 0;
}

void TestCalibrationTable::scaledValues()
{
    QFETCH(double, temperature);
    QFETCH(double, voltage);
    QFETCH(qint32, millikelvin);
    QFETCH(qint32, microvolts);

    const QByteArray payload
        = CalibrationTable::encodePayload(QStringLiteral("x"), {temperature}, {voltage});
    QCOMPARE(payload.mid(24).toHex(),
             (littleEndian32(millikelvin) + littleEndian32(microvolts)).toHex());
}

void TestCalibrationTable::emptyTable()
{
    const QByteArray payload = CalibrationTable::encodePayload(QStringLiteral("Custom"), {}, {});
    QCOMPARE(payload, header(0, QByteArray("Custom").leftJustified(16, '\0')));
}

void TestCalibrationTable::largeTableKeepsOrder()
{
    Column temperatures;
    Column voltages;
    QByteArray expected = header(2000, QByteArray("DT-670").leftJustified(16, '\0'));
    for (int i = 0; i < 2000; ++i) {
        temperatures << 1.5 + i * 0.25;
        voltages << 1.7 - i * 0.0005;
        expected += littleEndian32(qint32(std::trunc(temperatures.last() * 1000.0)));
        expected += littleEndian32(qint32(std::trunc(voltages.last() * 1000000.0)));
    }
    const QByteArray payload
        = CalibrationTable::encodePayload(QStringLiteral("DT-670"), temperatures, voltages);
    QCOMPARE(payload.size(), 24 + 2000 * 8);
    QCOMPARE(payload, expected);
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestCalibrationTable)
#include "test_calibration_table.moc"
