// The custom sensor tab: importing a calibration file through the real file dialog,
// the preview, Transpose, curve files, and the upload of the encoded table at the wire.

#include "curvefile.h"
#include "pseudoterminal.h"
#include "scriptedinstrument.h"
#include "testmain.h"
#include "windowdriver.h"
#include "wirebytes.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QTemporaryDir>
#include <cmath>

using namespace windowdriver;
using namespace wirebytes;

namespace {

// The payload as the instrument reads it, put together here independently of the tool.
QByteArray expectedPayload(const QByteArray &nameField, const QVector<QPointF> &points)
{
    QByteArray payload
        = QByteArray::fromHex("d441de05") + littleEndian32(points.size()) + nameField;
    for (const QPointF &point : points) {
        payload += littleEndian32(qint32(std::trunc(point.x() * 1000.0)));
        payload += littleEndian32(qint32(std::trunc(point.y() * 1000000.0)));
    }
    return payload;
}

QByteArray tableFile(const QVector<QPointF> &points)
{
    QByteArray text = "Temperature Voltage\r\n";
    for (const QPointF &point : points)
        text += QByteArray::number(point.x(), 'g', 17) + "\t"
            + QByteArray::number(point.y(), 'g', 17) + "\r\n";
    return text;
}

// The instrument's calibration store answers; the rest of the conversation is not
// looked at here.
void answerCalibrationStore(PseudoTerminal &peer, ScriptedInstrument &instrument)
{
    peer.setResponder([&instrument](const QByteArray &token) {
        return token.startsWith(":cal:") ? instrument.respond(token) : QList<QByteArray>();
    });
}

QVector<QPointF> rampTable(int count)
{
    QVector<QPointF> points;
    for (int i = 0; i < count; ++i)
        points.append(QPointF(1.4 + i * 0.1625, 1.69 - i * 0.000731));
    return points;
}

} // namespace

class TestCustomSensor : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void importShowsTableAndRemembersDirectory();
    void importOfRealDt670Table();
    void cancelledImportChangesNothing();
    void secondImportReplacesTheFirst();
    void importOfFileWithoutPoints();
    void transposeTwiceRestores();
    void transposeOfEmptyTableDoesNothing();

    void upload_data();
    void upload();
    void uploadAfterTranspose();
    void emptyTableAsksFirst_data();
    void emptyTableAsksFirst();
    void uploadWithoutPortDoesNothing();
    void uploadRefusedDuringFirmwareTransfer();
    void curveFileShownUploadedAndExported();

private:
    QString writeFile(const QString &name, const QByteArray &contents);
    QVector<QPointF> importFile(MainWindow &window, const QString &path);

    QTemporaryDir files;
};

void TestCustomSensor::init()
{
    QSettings().clear();
}

void TestCustomSensor::cleanup()
{
    QSettings().clear();
}

QString TestCustomSensor::writeFile(const QString &name, const QByteArray &contents)
{
    const QString path = files.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(contents) != contents.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QVector<QPointF> TestCustomSensor::importFile(MainWindow &window, const QString &path)
{
    const auto seen = answerNextFileDialog(path);
    click(window, "sensorFileChooseButton");
    if (!seen->shown)
        qWarning("no file dialog was shown");
    return curvePoints(window, "sensorPlotFrame");
}

void TestCustomSensor::importShowsTableAndRemembersDirectory()
{
    MainWindow window;
    const QString path = writeFile(QStringLiteral("two.cal"), "4.2 1.6243\r\n300 0.5\r\n");
    QTest::ignoreMessage(QtDebugMsg, "calibration data: 4.200000, 1.624300");
    QTest::ignoreMessage(QtDebugMsg, "calibration data: 300.000000, 0.500000");

    const auto seen = answerNextFileDialog(path);
    click(window, "sensorFileChooseButton");
    QVERIFY(seen->shown);
    QCOMPARE(seen->nameFilters,
             (QStringList{"Data files (*.cal *.dat *.tab *.txt)", "Curve files (*.340)",
                          "All files (*.*)"}));

    QCOMPARE(child<QLineEdit>(&window, "sensorFileEdit")->text(), path);
    QCOMPARE(curvePoints(window, "sensorPlotFrame"),
             (QVector<QPointF>{QPointF(4.2, 1.6243), QPointF(300, 0.5)}));
    QSettings settings;
    QCOMPARE(settings.value("/ui/sensor-file-last-path").toString(), files.path());
    // The import never writes the sensor's file or name.
    QVERIFY(!settings.contains("/custom-sensor-file"));
    QVERIFY(!settings.contains("/custom-sensor-name"));

    // The next dialog starts where the last one ended.
    const auto again = answerNextFileDialog(QString());
    click(window, "sensorFileChooseButton");
    QCOMPARE(again->startDirectory, files.path());
}

void TestCustomSensor::importOfRealDt670Table()
{
    MainWindow window;
    QFile published(QStringLiteral(RIMEGLASS_TEST_DATA_DIR "/dt670-D6068043.dat"));
    QVERIFY(published.open(QIODevice::ReadOnly));
    const QString path = writeFile(QStringLiteral("D6068043.dat"), published.readAll());

    const QVector<QPointF> points = importFile(window, path);
    QCOMPARE(points.size(), 71);
    QCOMPARE(points.first(), QPointF(1.20068073114752, 1.63725));
    QCOMPARE(points.last(), QPointF(330.154300827973, 0.48735));
}

void TestCustomSensor::cancelledImportChangesNothing()
{
    MainWindow window;
    const QString path = writeFile(QStringLiteral("one.txt"), "1 2\n");
    importFile(window, path);
    QSettings().setValue("/ui/sensor-file-last-path", QStringLiteral("/nonexistent-start"));

    const auto seen = answerNextFileDialog(QString());
    click(window, "sensorFileChooseButton");
    QVERIFY(seen->shown);
    QCOMPARE(QSettings().value("/ui/sensor-file-last-path").toString(),
             QStringLiteral("/nonexistent-start"));
    QCOMPARE(child<QLineEdit>(&window, "sensorFileEdit")->text(), path);
    QCOMPARE(curvePoints(window, "sensorPlotFrame"), (QVector<QPointF>{QPointF(1, 2)}));
}

void TestCustomSensor::secondImportReplacesTheFirst()
{
    MainWindow window;
    importFile(window, writeFile(QStringLiteral("first.tab"), "1 2\n3 4\n5 6\n"));
    const QVector<QPointF> points
        = importFile(window, writeFile(QStringLiteral("second.tab"), "7 8\n"));
    QCOMPARE(points, (QVector<QPointF>{QPointF(7, 8)}));
}

void TestCustomSensor::importOfFileWithoutPoints()
{
    MainWindow window;
    importFile(window, writeFile(QStringLiteral("first.dat"), "1 2\n"));
    const QString path = writeFile(QStringLiteral("empty.dat"), QByteArray());
    QVERIFY(importFile(window, path).isEmpty());
    // The path is shown and the directory remembered all the same.
    QCOMPARE(child<QLineEdit>(&window, "sensorFileEdit")->text(), path);
    QCOMPARE(QSettings().value("/ui/sensor-file-last-path").toString(), files.path());
}

void TestCustomSensor::transposeTwiceRestores()
{
    MainWindow window;
    const QVector<QPointF> original
        = importFile(window, writeFile(QStringLiteral("t.txt"), "4.2 1.6\n77 1.02\n"));

    click(window, "sensorTransposeButton");
    QCOMPARE(curvePoints(window, "sensorPlotFrame"),
             (QVector<QPointF>{QPointF(1.6, 4.2), QPointF(1.02, 77)}));
    click(window, "sensorTransposeButton");
    QCOMPARE(curvePoints(window, "sensorPlotFrame"), original);
}

void TestCustomSensor::transposeOfEmptyTableDoesNothing()
{
    MainWindow window;
    click(window, "sensorTransposeButton");
    QVERIFY(curvePoints(window, "sensorPlotFrame").isEmpty());
}

void TestCustomSensor::upload_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("nameField");
    QTest::addColumn<QVector<QPointF>>("points");

    const QVector<QPointF> example{QPointF(300, 0.5), QPointF(4.2, 1.6243)};
    QTest::newRow("stored name, two points")
        << QStringLiteral("Custom") << QByteArray("Custom").leftJustified(16, '\0') << example;
    QTest::newRow("empty name") << QString() << QByteArray(16, '\0') << example;
    QTest::newRow("16-byte name, no terminator")
        << QString::fromUtf8("\xc3\x84\xc3\x96\xc3\x9c\xc3\x84\xc3\x96\xc3\x9c\xc3\x84\xc3\x96")
        << QByteArray("\xc3\x84\xc3\x96\xc3\x9c\xc3\x84\xc3\x96\xc3\x9c\xc3\x84\xc3\x96")
        << example;
    QTest::newRow("20-byte name cut inside a character") << QString::fromUtf8(
        "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
        "ab") << QByteArray("\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2")
                                                         << example;
    QTest::newRow("truncated, not rounded")
        << QStringLiteral("x") << QByteArray("x").leftJustified(16, '\0')
        << QVector<QPointF>{QPointF(1.005, 4.1), QPointF(0.5, -0.0000015)};
    QTest::newRow("2,000 points over many chunks")
        << QStringLiteral("DT-670") << QByteArray("DT-670").leftJustified(16, '\0')
        << rampTable(2000);
}

void TestCustomSensor::upload()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, nameField);
    QFETCH(QVector<QPointF>, points);

    MainWindow window;
    PseudoTerminal peer;
    ScriptedInstrument instrument;
    answerCalibrationStore(peer, instrument);
    openOn(window, peer);
    QCOMPARE(importFile(window, writeFile(QStringLiteral("table.txt"), tableFile(points))), points);
    child<QLineEdit>(&window, "sensorNameEdit")->setText(name);

    click(window, "sensorUploadButton");
    peer.settle(toolPort(window));

    const QByteArray payload = expectedPayload(nameField, points);
    QCOMPARE(reassembleCalibrationWrites(instrument.commands).toHex(), payload.toHex());
    QCOMPARE(instrument.commands.first(), QByteArray(":cal:erase\n"));
    QCOMPARE(instrument.commands.last(), QByteArray(":cal:commit\n"));
    QCOMPARE(instrument.commands.size(), 2 + (payload.size() + 47) / 48);
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), 100);
    QCOMPARE(statusText(window),
             QStringLiteral("Calibration table \"%1\" uploaded, %2 points")
                 .arg(name)
                 .arg(points.size()));
}

// An empty table erases the instrument's custom curve: the window asks first, No by default.
void TestCustomSensor::emptyTableAsksFirst_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("No sends nothing") << int(QMessageBox::No) << QByteArray();
    QTest::newRow("Yes uploads") << int(QMessageBox::Yes) << QByteArray(":cal:erase\n");
}

void TestCustomSensor::emptyTableAsksFirst()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, sent);

    MainWindow window;
    PseudoTerminal peer;
    openOn(window, peer);
    const auto question = answerNextMessageBox(QMessageBox::StandardButton(answer));
    click(window, "sensorUploadButton");
    QVERIFY(question->shown);
    QCOMPARE(question->text,
             QStringLiteral("The table has no points. Uploading it erases the "
                            "instrument's custom curve. Upload anyway?"));
    QCOMPARE(question->defaultButton, QMessageBox::No);
    QCOMPARE(peer.collect(toolPort(window)), sent);
}

void TestCustomSensor::uploadAfterTranspose()
{
    MainWindow window;
    PseudoTerminal peer;
    ScriptedInstrument instrument;
    answerCalibrationStore(peer, instrument);
    openOn(window, peer);
    importFile(window, writeFile(QStringLiteral("volts-first.txt"), "1.6243 4.2\n0.5 300\n"));
    click(window, "sensorTransposeButton");

    click(window, "sensorUploadButton");
    peer.settle(toolPort(window));
    QCOMPARE(reassembleCalibrationWrites(instrument.commands).toHex(),
             expectedPayload(QByteArray("Custom").leftJustified(16, '\0'),
                             {QPointF(4.2, 1.6243), QPointF(300, 0.5)})
                 .toHex());
}

void TestCustomSensor::uploadWithoutPortDoesNothing()
{
    MainWindow window;
    importFile(window, writeFile(QStringLiteral("one.txt"), "1 2\n"));
    QVERIFY(!child<QPushButton>(&window, "sensorUploadButton")->isEnabled());
    window.sensorUploadButtonClicked();
    QVERIFY(liveDevice(window) == nullptr);
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), 0);
}

void TestCustomSensor::uploadRefusedDuringFirmwareTransfer()
{
    MainWindow window;
    PseudoTerminal peer;
    openOn(window, peer);
    importFile(window, writeFile(QStringLiteral("one.txt"), "1 2\n"));

    // A firmware transfer waits for the instrument to come back from its reset.
    Device *device = liveDevice(window);
    QVERIFY(device->upgradeFirmware(QByteArray(64, 'f')));
    QCOMPARE(peer.collect(toolPort(window)), QByteArray(":system:reset\n"));

    click(window, "sensorUploadButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(statusText(window), QStringLiteral("Another transfer is in progress"));
    QCOMPARE(device->calibrationState, -1);
}

void TestCustomSensor::curveFileShownUploadedAndExported()
{
    const QByteArray header = "Sensor Model:   DT-670-SD\r\n"
                              "Serial Number:  D6068043\r\n"
                              "Data Format:    2      (Volts/Kelvin)\r\n"
                              "SetPoint Limit: 500.0      (Kelvin)\r\n"
                              "Temperature coefficient:  1 (Negative)\r\n"
                              "Number of Breakpoints:   3\r\n"
                              "\r\n"
                              "No.   Units      Temperature (K)\r\n"
                              "\r\n";
    const QByteArray rows = "  1  0.090570       500.000\r\n"
                            "  2  1.02000         77.350\r\n"
                            "  3  1.63725          1.200\r\n";
    const QVector<QPointF> points{QPointF(500, 0.09057), QPointF(77.35, 1.02),
                                  QPointF(1.2, 1.63725)};
    MainWindow window;
    PseudoTerminal peer;
    ScriptedInstrument instrument;
    answerCalibrationStore(peer, instrument);
    openOn(window, peer);
    auto *nameEdit = child<QLineEdit>(&window, "sensorNameEdit");
    nameEdit->clear();

    // A resistance curve is refused and leaves the table empty.
    const auto refused = answerNextMessageBox(QMessageBox::Ok);
    importFile(window,
               writeFile(QStringLiteral("pt100.340"),
                         QByteArray(header).replace("2      (Volts", "3      (Ohms") + rows));
    QVERIFY(refused->shown);
    QCOMPARE(refused->title, QStringLiteral("Calibration file"));
    QCOMPARE(refused->text,
             QStringLiteral("The curve file is a resistance curve (data format 3): "
                            "this instrument measures a voltage and cannot use a "
                            "resistance curve."));
    QCOMPARE(curvePoints(window, "sensorPlotFrame"), QVector<QPointF>());
    QCOMPARE(nameEdit->text(), QString());

    QCOMPARE(importFile(window, writeFile(QStringLiteral("D6068043.340"), header + rows)), points);
    QCOMPARE(text(window, "sensorTableSummaryLabel"),
             QString::fromUtf8("3 points, 1.2\u2013500.0 K, 0.0906\u20131.6373 V"));
    QCOMPARE(nameEdit->text(), QStringLiteral("D6068043"));

    click(window, "sensorUploadButton");
    peer.settle(toolPort(window));
    const QByteArray payload
        = expectedPayload(QByteArray("D6068043").leftJustified(16, '\0'), points);
    QCOMPARE(reassembleCalibrationWrites(instrument.commands).toHex(), payload.toHex());

    // The archive reads back as exactly what went to the instrument.
    const QString archive = files.filePath(QStringLiteral("archive.340"));
    const auto saved = answerNextFileDialog(archive);
    click(window, "sensorExportButton");
    QCOMPARE(saved->nameFilters, QStringList{"Curve files (*.340)"});
    QFile exported(archive);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    const CurveFile back = CurveFile::fromFileData(exported.readAll());
    QCOMPARE(CalibrationTable::encodePayload(back.serialNumber, back.table.temperatures,
                                             back.table.voltages)
                 .toHex(),
             payload.toHex());
}

RIMEGLASS_TEST_MAIN(QApplication, TestCustomSensor)
#include "test_custom_sensor.moc"
