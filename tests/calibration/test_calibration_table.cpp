// The calibration file grammar, curve files, and the payload the instrument stores, byte
// for byte.

#include "calibrationtable.h"
#include "curvefile.h"
#include "testmain.h"
#include "wirebytes.h"

#include <QCoreApplication>
#include <QFile>
#include <cmath>
#include <limits>

using Column = QVector<double>;
using wirebytes::littleEndian32;

namespace {

QByteArray publishedDt670Table()
{
    QFile file(QStringLiteral(RIMEGLASS_TEST_DATA_DIR "/dt670-D6068043.dat"));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read the published DT-670 table");
    return file.readAll();
}

// The published DT-670 table as a curve file laid out as the sensor maker does, in
// volts or in millivolts.
QByteArray dt670Curve(bool falling, int unitsPerVolt = 1)
{
    const CalibrationTable table = CalibrationTable::fromFileData(publishedDt670Table());
    QByteArray text = "Sensor Model:   DT-670-SD\n"
                      "Serial Number:  D6068043\n"
                      "Data Format:    "
        + QByteArray(unitsPerVolt == 1 ? "2      (Volts/Kelvin)" : "1      (Millivolts/Kelvin)")
        + "\nSetPoint Limit: 330.2      (Kelvin)\n"
          "Temperature coefficient:  1 (Negative)\n"
          "Number of Breakpoints:   71\n"
          "\n"
          "No.   Units      Temperature (K)\n"
          "\n";
    const int count = table.temperatures.size();
    for (int row = 1; row <= count; ++row) {
        const int i = falling ? count - row : row - 1;
        text += QByteArray::number(row).rightJustified(3) + "  "
            + QByteArray::number(table.voltages.at(i) * unitsPerVolt, 'g', 15) + "  "
            + QByteArray::number(table.temperatures.at(i), 'g', 15) + "\n";
    }
    return text;
}

QByteArray replaced(QByteArray text, const QByteArray &before, const QByteArray &after)
{
    if (!text.contains(before))
        qFatal("no %s in the file", before.constData());
    return text.replace(before, after);
}

// A two-column table of `count` points, 1 K apart from 1 K, falling from 1.5 V by 1 mV.
QByteArray twoColumnTable(int count)
{
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += QByteArray::number(1 + i) + " " + QByteArray::number(1.5 - i * 0.001) + "\n";
    return text;
}

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
    void curveFiles_data();
    void curveFiles();
    void exportedFile();
    void exportReadsBackToTheSamePayload();
    void summaryAndMonotonicity_data();
    void summaryAndMonotonicity();

    void nameField_data();
    void nameField();
    void scaledValues_data();
    void scaledValues();
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
    QTest::newRow("header words skipped")
        << QByteArray("Temperature Voltage\n(K) (V)\n1 2\n") << Column{1} << Column{2};
    QTest::newRow("comma-joined pair skipped")
        << QByteArray("4.2,1.6243\n") << Column{} << Column{};
    QTest::newRow("decimal comma skipped") << QByteArray("4,2 1,6\n") << Column{} << Column{};
    QTest::newRow("NUL ends the text") << QByteArray("1 2\n\0"
                                                     "3 4\n",
                                                     9)
                                       << Column{1} << Column{2};
    QTest::newRow("NUL inside a line")
        << QByteArray("1 2\n3 4\0 5\n", 11) << Column{1, 3} << Column{2, 4};
    QTest::newRow("empty file") << QByteArray() << Column{} << Column{};
    QTest::newRow("no final line feed") << QByteArray("1 2") << Column{1} << Column{2};
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

void TestCalibrationTable::curveFiles_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("isCurveFile");
    QTest::addColumn<QPointF>("first");
    QTest::addColumn<QPointF>("last");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<int>("points");

    const QByteArray falling = dt670Curve(true);
    const QByteArray published = publishedDt670Table();
    const QPointF warmest(330.154300827973, 0.48735);
    const QPointF coldest(1.20068073114752, 1.63725);
    const QStringList none;
    const QString resistance = QStringLiteral(
        "The curve file is a resistance curve (data format %1): this instrument measures a "
        "voltage and cannot use a resistance curve.");
    QTest::newRow("falling, as published")
        << falling << true << warmest << coldest << none << "" << 71;
    QTest::newRow("two-column file")
        << publishedDt670Table() << false << coldest << warmest << none << "" << 71;
    QTest::newRow("format 1 in millivolts")
        << dt670Curve(true, 1000) << true << warmest << coldest << none << "" << 71;
    QTest::newRow("format 3 refused")
        << replaced(falling, "2      (Volts/Kelvin)", "3      (Ohms/Kelvin)") << true << QPointF()
        << QPointF() << none << resistance.arg(3) << 0;
    QTest::newRow("unknown format refused")
        << replaced(falling, "2      (Volts/Kelvin)", "7      (Volts/Kelvin)") << true << QPointF()
        << QPointF() << none
        << "Line 3: unknown data format \"7\"; only 1 (millivolts) and 2 (volts) can be used." << 0;
    QTest::newRow("count mismatch")
        << replaced(falling, "Breakpoints:   71", "Breakpoints:   72") << true << warmest << coldest
        << QStringList{"Line 6: 72 breakpoints announced, 71 found"} << "" << 71;
    QTest::newRow("row out of sequence")
        << replaced(falling, "\n  5  ", "\n  9  ") << true << warmest << coldest
        << QStringList{"Line 14: breakpoint 9 out of sequence, 5 expected",
                       "Line 15: breakpoint 6 out of sequence, 10 expected"}
        << "" << 71;
    QTest::newRow("duplicate temperature")
        << replaced(falling, "  1.29984701339048\n", "  1.20068073114752\n") << true << warmest
        << coldest << QStringList{"Line 80: temperature 1.20068073114752 K repeats line 79"} << ""
        << 71;
    const QString notFinite = QStringLiteral("Line %1: %2 is not a finite number.");
    const QString beyond = QStringLiteral("Line %1: %2 does not fit the instrument's table, which "
                                          "takes values from -2147.483648 to 2147.483647 in "
                                          "either column.");
    const QByteArray line5 = "1.29984701339048E+00   1.63616";
    QTest::newRow("temperature not a number")
        << replaced(published, line5, "nan   1.63616") << false << QPointF() << QPointF() << none
        << notFinite.arg(5).arg("nan") << 0;
    QTest::newRow("voltage infinite")
        << replaced(published, line5, "1.3   -inf") << false << QPointF() << QPointF() << none
        << notFinite.arg(5).arg("-inf") << 0;
    QTest::newRow("temperature beyond the field")
        << replaced(published, line5, "5e6   1.63616") << false << QPointF() << QPointF() << none
        << beyond.arg(5).arg("5e+06") << 0;
    QTest::newRow("voltage beyond the field")
        << replaced(published, line5, "1.3   -2147.483649") << false << QPointF() << QPointF()
        << none << beyond.arg(5).arg("-2147.483649") << 0;
    QTest::newRow("voltage at the edge of the field")
        << replaced(published, line5, "1.3   2147.4836479") << false << coldest << warmest << none
        << "" << 71;
    QTest::newRow("too large for 64 bits")
        << replaced(published, line5, "1e300   1.63616") << false << QPointF() << QPointF() << none
        << beyond.arg(5).arg("1e+300") << 0;
    QTest::newRow("curve file, temperature infinite")
        << replaced(falling, "  1.20068073114752\n", "  inf\n") << true << QPointF() << QPointF()
        << none << notFinite.arg(80).arg("inf") << 0;
    QTest::newRow("negative kelvin warned")
        << replaced(published, line5, "-1.5   1.63616") << false << coldest << warmest
        << QStringList{"Line 5: -1.5 K is below absolute zero."} << "" << 71;
    QTest::newRow("as many points as the instrument holds")
        << twoColumnTable(509) << false << QPointF(1, 1.5) << QPointF(509, 0.992) << none << ""
        << 509;
    QTest::newRow("one point more")
        << twoColumnTable(510) << false << QPointF() << QPointF() << none
        << "The table has 510 points; the instrument holds at most 509." << 0;
}

void TestCalibrationTable::curveFiles()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, isCurveFile);
    QFETCH(QPointF, first);
    QFETCH(QPointF, last);
    QFETCH(QStringList, warnings);
    QFETCH(QString, refusal);
    QFETCH(int, points);

    const CurveFile curve = CurveFile::fromFileData(file);
    QCOMPARE(curve.isCurveFile, isCurveFile);
    QCOMPARE(curve.model, isCurveFile ? QStringLiteral("DT-670-SD") : QString());
    QCOMPARE(curve.serialNumber, isCurveFile ? QStringLiteral("D6068043") : QString());
    QCOMPARE(curve.warnings, warnings);
    QCOMPARE(curve.refusal, refusal);
    const CalibrationTable &table = curve.table;
    QCOMPARE(table.temperatures.size(), points);
    QCOMPARE(table.voltages.size(), table.temperatures.size());
    if (refusal.isEmpty()) {
        QCOMPARE(QPointF(table.temperatures.first(), table.voltages.first()), first);
        QCOMPARE(QPointF(table.temperatures.last(), table.voltages.last()), last);
    }
}

void TestCalibrationTable::exportedFile()
{
    QCOMPARE(CurveFile::toFileData(QStringLiteral("D6068043"), {4.2, 300.125}, {1.6243, 0.5}),
             QByteArray("Sensor Model:   D6068043\r\n"
                        "Serial Number:  D6068043\r\n"
                        "Data Format:    2      (Volts/Kelvin)\r\n"
                        "SetPoint Limit: 300.125      (Kelvin)\r\n"
                        "Temperature coefficient:  1 (Negative)\r\n"
                        "Number of Breakpoints:   2\r\n"
                        "\r\n"
                        "No.   Units      Temperature (K)\r\n"
                        "\r\n"
                        "  1  1.6243        4.2\r\n"
                        "  2  0.5           300.125\r\n"));
}

void TestCalibrationTable::exportReadsBackToTheSamePayload()
{
    CalibrationTable table = CalibrationTable::fromFileData(publishedDt670Table());
    // Values whose shortest decimal text is long or whose scaling truncates at an edge.
    table.temperatures << 1.005 << 0.1 + 0.2 << 1e-7 << 2147.483647;
    table.voltages << 4.1 << 1.0 / 3.0 << -0.0000015 << 5e-324;

    const CurveFile back = CurveFile::fromFileData(
        CurveFile::toFileData(QStringLiteral("D6068043"), table.temperatures, table.voltages));
    QVERIFY(back.warnings.isEmpty());
    QVERIFY(back.table.temperatures == table.temperatures);
    QVERIFY(back.table.voltages == table.voltages);
    QCOMPARE(CalibrationTable::encodePayload(back.serialNumber, back.table.temperatures,
                                             back.table.voltages),
             CalibrationTable::encodePayload(QStringLiteral("D6068043"), table.temperatures,
                                             table.voltages));
}

void TestCalibrationTable::summaryAndMonotonicity_data()
{
    QTest::addColumn<Column>("temperatures");
    QTest::addColumn<Column>("voltages");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("warning");

    const CalibrationTable dt670 = CalibrationTable::fromFileData(publishedDt670Table());
    const QString turns = QStringLiteral("The voltage is not monotonic in temperature near %1 K; a "
                                         "diode curve must be, or the instrument gets an "
                                         "ambiguous table.");
    QTest::newRow("published table") << dt670.temperatures << dt670.voltages
                                     << QString::fromUtf8("71 points, 1.2\u2013330.2 K, "
                                                          "0.4874\u20131.6373 V")
                                     << "";
    QTest::newRow("rising voltage, any file order")
        << Column{3, 1, 2} << Column{0.3, 0.1, 0.2}
        << QString::fromUtf8("3 points, 1.0\u20133.0 K, 0.1000\u20130.3000 V") << "";
    QTest::newRow("turns") << Column{1, 2, 3} << Column{1.6, 1.5, 1.55}
                           << QString::fromUtf8("3 points, 1.0\u20133.0 K, 1.5000\u20131.6000 V")
                           << turns.arg("3.0");
    QTest::newRow("empty") << Column{} << Column{} << "0 points"
                           << "";
}

void TestCalibrationTable::summaryAndMonotonicity()
{
    QFETCH(Column, temperatures);
    QFETCH(Column, voltages);
    QFETCH(QString, summary);
    QFETCH(QString, warning);

    QCOMPARE(CurveFile::summary(temperatures, voltages), summary);
    QCOMPARE(CurveFile::monotonicityWarning(temperatures, voltages), warning);
}

void TestCalibrationTable::nameField_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("empty") << QString() << QByteArray(16, '\0');
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
    QTest::newRow("truncated, not rounded") << 1.005 << 4.1 << 1004 << 4099999;
    QTest::newRow("negative toward zero") << -0.0015 << -0.0000015 << -1 << -1;
    QTest::newRow("beyond 32 bits keeps the low bits")
        << 3000000.0 << 3000.0 << qint32(0xb2d05e00u) << qint32(0xb2d05e00u);
    QTest::newRow("not a number") << nan << nan << 0 << 0;
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

RIMEGLASS_TEST_MAIN(QCoreApplication, TestCalibrationTable)
#include "test_calibration_table.moc"
