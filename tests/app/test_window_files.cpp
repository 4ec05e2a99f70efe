// The window's part in the file-based work: the calibration table it imports, shows,
// transposes, uploads and exports, and the firmware container it checks and offers. The
// tables' formats and the transfers on the wire are tested in their own libraries.

#include "calibrationtable.h"
#include "containerpacker.h"
#include "curvefile.h"
#include "developmentseed.h"
#include "scriptedinstrument.h"
#include "testmain.h"
#include "uuids.h"
#include "windowdriver.h"
#include "wirebytes.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QTemporaryDir>

using namespace windowdriver;

namespace {

const QByteArray curveFile
    = "Sensor Model:   DT-670-SD\r\nSerial Number:  D6068043\r\n"
      "Data Format:    2      (Volts/Kelvin)\r\n"
      "SetPoint Limit: 500.0      (Kelvin)\r\n"
      "Temperature coefficient:  1 (Negative)\r\n"
      "Number of Breakpoints:   3\r\n\r\nNo.   Units      Temperature (K)\r\n"
      "\r\n  1  0.090570       500.000\r\n  2  1.02000         77.350\r\n"
      "  3  1.63725          1.200\r\n";

} // namespace

class TestWindowFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { cancelPendingAnswers(); }

    void importAndTranspose();
    void refusedCurveFile();
    void dialogStartsInRememberedFolder_data();
    void dialogStartsInRememberedFolder();
    void uploadAndExport();
    void emptyTableAsksFirst_data();
    void emptyTableAsksFirst();
    void oneTransferAtATime_data();
    void oneTransferAtATime();
    void upgradeQuestion_data();
    void upgradeQuestion();
    void unusableFirmware_data();
    void unusableFirmware();

private:
    QString writeFile(const QString &name, const QByteArray &contents);
    QString writeContainer(const QByteArray &image, const rimeglass::Uuid &revision);
    QVector<QPointF> importFile(const MainWindow &window, const QString &path);

    QTemporaryDir files;
    ScriptedInstrument instrument;
};

void TestWindowFiles::init()
{
    QSettings().clear();
    instrument = ScriptedInstrument();
}

QString TestWindowFiles::writeFile(const QString &name, const QByteArray &contents)
{
    QFile file(files.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        qFatal("cannot write %s", qPrintable(name));
    return file.fileName();
}

QString TestWindowFiles::writeContainer(const QByteArray &image, const rimeglass::Uuid &revision)
{
    ContainerPacker packer;
    packer.setVersion(QStringLiteral("1.8"));
    packer.setVendor(QStringLiteral("MORVA"));
    packer.setModel(QStringLiteral("ZURKD550"));
    packer.addImage(QByteArray(reinterpret_cast<const char *>(revision), 16), image);
    return writeFile(QStringLiteral("firmware.crp"), packer.pack(developmentseed::load()));
}

QVector<QPointF> TestWindowFiles::importFile(const MainWindow &window, const QString &path)
{
    answerNextFileDialog(path);
    click(window, "sensorFileChooseButton");
    return curvePoints(window, "sensorPlotFrame");
}

// The table is shown with its summary and, from a curve file, named after its serial
// number; the folder is remembered, the file and the name are not stored.
void TestWindowFiles::importAndTranspose()
{
    MainWindow window;
    child<QLineEdit>(&window, "sensorNameEdit")->clear();
    const QString path = writeFile(QStringLiteral("D6068043.340"), curveFile);
    const auto dialog = answerNextFileDialog(path);
    click(window, "sensorFileChooseButton");
    QCOMPARE(dialog->nameFilters,
             QStringList({"Data files (*.cal *.dat *.tab *.txt)", "Curve files (*.340)",
                          "All files (*.*)"}));
    QCOMPARE(text(window, "sensorFileEdit"), path);
    const QVector<QPointF> points{{500, 0.09057}, {77.35, 1.02}, {1.2, 1.63725}};
    QCOMPARE(curvePoints(window, "sensorPlotFrame"), points);
    QCOMPARE(text(window, "sensorTableSummaryLabel"),
             QString::fromUtf8("3 points, 1.2\u2013500.0 K, 0.0906\u20131.6373 V"));
    QCOMPARE(text(window, "sensorNameEdit"), QStringLiteral("D6068043"));
    QCOMPARE(QSettings().allKeys(), QStringList{"ui/sensor-file-last-path"});
    QCOMPARE(QSettings().value("/ui/sensor-file-last-path").toString(), files.path());

    click(window, "sensorTransposeButton");
    QCOMPARE(curvePoints(window, "sensorPlotFrame"),
             (QVector<QPointF>{{0.09057, 500}, {1.02, 77.35}, {1.63725, 1.2}}));
    click(window, "sensorTransposeButton");
    QCOMPARE(curvePoints(window, "sensorPlotFrame"), points);
    // A cancelled dialog changes nothing.
    QCOMPARE(importFile(window, QString()), points);
    QCOMPARE(text(window, "sensorFileEdit"), path);
}

void TestWindowFiles::refusedCurveFile()
{
    MainWindow window;
    importFile(window, writeFile(QStringLiteral("one.txt"), "4.2 1.6\n"));
    const auto refused = answerNextMessageBox(QMessageBox::Ok);
    QCOMPARE(importFile(window,
                        writeFile(QStringLiteral("pt100.340"),
                                  QByteArray(curveFile).replace("2      (Volts", "3      (Ohms"))),
             QVector<QPointF>());
    QCOMPARE(refused->title, QStringLiteral("Calibration file"));
    QCOMPARE(refused->text,
             QStringLiteral("The curve file is a resistance curve (data format 3): "
                            "this instrument measures a voltage and cannot use a "
                            "resistance curve."));
}

// Each file dialog opens in the folder its key remembers, and one that is cancelled
// changes nothing; a plot exported elsewhere moves the remembered folder there.
void TestWindowFiles::dialogStartsInRememberedFolder_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("key");
    QTest::newRow("import") << "sensorFileChooseButton"
                            << "/ui/sensor-file-last-path";
    QTest::newRow("curve export") << "sensorExportButton"
                                  << "/ui/sensor-file-last-path";
    QTest::newRow("firmware") << "upgradeButton"
                              << "/ui/firmware-upgrade-last-path";
    QTest::newRow("plot export") << "plotExportButton"
                                 << "/ui/plot-export-last-path";
}

void TestWindowFiles::dialogStartsInRememberedFolder()
{
    QFETCH(QString, button);
    QFETCH(QString, key);

    // Folders no dialog of this process has shown, so that only the key can lead there.
    QTemporaryDir remembered;
    QTemporaryDir other;
    QSettings().setValue(key, remembered.path());
    PtyPeer peer;
    MainWindow window;
    openOn(window, peer);
    peer.sendLine("MORVA,ZURKD550,20417,1.3.0.0");
    QTRY_COMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));
    peer.collect(toolPort(window));
    const auto cancelled = answerNextFileDialog(QString());
    click(window, qPrintable(button));
    QCOMPARE(cancelled->startDirectory, remembered.path());
    QCOMPARE(QSettings().value(key).toString(), remembered.path());
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());

    if (button == QLatin1String("plotExportButton")) {
        answerNextFileDialog(other.filePath(QStringLiteral("plot.png")));
        click(window, qPrintable(button));
        QVERIFY(QFileInfo(other.filePath(QStringLiteral("plot.png"))).size() > 0);
        QCOMPARE(QSettings().value(key).toString(), other.path());
    }
}

// The table goes out as shown, under the name in the field, once; the curve file
// exported holds the same table.
void TestWindowFiles::uploadAndExport()
{
    MainWindow window;
    PtyPeer peer;
    peer.setResponder([this](const QByteArray &token) {
        return token.startsWith(":cal:") ? instrument.respond(token) : QList<QByteArray>();
    });
    openOn(window, peer);
    importFile(window, writeFile(QStringLiteral("volts-first.txt"), "1.6243 4.2\n0.5 300\n"));
    click(window, "sensorTransposeButton");
    child<QLineEdit>(&window, "sensorNameEdit")->setText(QStringLiteral("PT-7"));

    click(window, "sensorUploadButton");
    peer.settle(toolPort(window));
    const QByteArray payload
        = CalibrationTable::encodePayload(QStringLiteral("PT-7"), {4.2, 300}, {1.6243, 0.5});
    QCOMPARE(wirebytes::reassembleCalibrationWrites(instrument.commands).toHex(), payload.toHex());
    QCOMPARE(instrument.commands.count(":cal:erase\n"), 1);
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), 100);
    QCOMPARE(statusText(window), QStringLiteral("Calibration table \"PT-7\" uploaded, 2 points"));

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

// An empty table erases the instrument's custom curve: the window asks first, No by default.
void TestWindowFiles::emptyTableAsksFirst_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("No sends nothing") << int(QMessageBox::No) << QByteArray();
    QTest::newRow("Yes uploads") << int(QMessageBox::Yes) << QByteArray(":cal:erase\n");
}

void TestWindowFiles::emptyTableAsksFirst()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, sent);

    MainWindow window;
    PtyPeer peer;
    openOn(window, peer);
    const auto question = answerNextMessageBox(QMessageBox::StandardButton(answer));
    click(window, "sensorUploadButton");
    QCOMPARE(question->text,
             QStringLiteral("The table has no points. Uploading it erases the "
                            "instrument's custom curve. Upload anyway?"));
    QCOMPARE(question->defaultButton, QMessageBox::No);
    QCOMPARE(peer.collect(toolPort(window)), sent);
}

// The upload and the upgrade share the link's transfer: one waits for the other.
void TestWindowFiles::oneTransferAtATime_data()
{
    QTest::addColumn<bool>("upgradeFirst");
    QTest::newRow("upload during an upgrade") << true;
    QTest::newRow("upgrade during an upload") << false;
}

void TestWindowFiles::oneTransferAtATime()
{
    QFETCH(bool, upgradeFirst);

    MainWindow window;
    PtyPeer peer;
    openOn(window, peer);
    peer.sendLine("MORVA,ZURKD550,20417,1.3.0.0");
    QTRY_COMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));
    importFile(window, writeFile(QStringLiteral("one.txt"), "1 2\n"));
    Device *device = liveDevice(window);
    QVERIFY(upgradeFirst ? device->upgradeFirmware(QByteArray(64, 'f'))
                         : device->uploadCalibration(QByteArray(48, 'c')));
    peer.collect(toolPort(window));

    if (!upgradeFirst) {
        answerNextFileDialog(
            writeContainer(QByteArray(100, 'x'), rimeglass::uuid_compat_stm32g071kb_r1));
        answerNextMessageBox(QMessageBox::Yes);
    }
    click(window, upgradeFirst ? "sensorUploadButton" : "upgradeButton");
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(statusText(window), QStringLiteral("Another transfer is in progress"));
}

// The window asks before it upgrades, from the version installed (the boot loader's
// while it runs), and starts only on Yes.
void TestWindowFiles::upgradeQuestion_data()
{
    QTest::addColumn<bool>("inBootLoader");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("Yes") << false << int(QMessageBox::Yes)
                         << "Upgrade firmware from version 1.7 to version 1.8?"
                         << QByteArray(":system:reset\n");
    QTest::newRow("No") << false << int(QMessageBox::No)
                        << "Upgrade firmware from version 1.7 to version 1.8?" << QByteArray();
    QTest::newRow("boot loader") << true << int(QMessageBox::Yes)
                                 << "Upgrade firmware from version 1.4 to version 1.8?"
                                 << QByteArray("@02\n");
}

void TestWindowFiles::upgradeQuestion()
{
    QFETCH(bool, inBootLoader);
    QFETCH(int, answer);
    QFETCH(QString, question);
    QFETCH(QByteArray, sent);

    if (!developmentseed::trustedByThisBuild(developmentseed::load()))
        QSKIP("this build trusts another key than the development one");
    instrument.inBootLoader = inBootLoader;
    MainWindow window;
    PtyPeer peer;
    peer.setResponder([this](const QByteArray &token) { return instrument.respond(token); });
    openOn(window, peer);
    instrument.commands.clear();
    answerNextFileDialog(
        writeContainer(QByteArray(1000, 'x'), rimeglass::uuid_compat_stm32g071kb_r1));
    const auto box = answerNextMessageBox(QMessageBox::StandardButton(answer));
    peer.setResponder({});
    click(window, "upgradeButton");

    QCOMPARE(box->icon, QMessageBox::Question);
    QCOMPARE(box->title, QStringLiteral("Firmware upgrade"));
    QCOMPARE(box->text, question);
    QCOMPARE(box->informativeText,
             QStringLiteral("This build accepts containers signed with the "
                            "published development seed."));
    QCOMPARE(box->buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box->defaultButton, QMessageBox::Yes);
    QCOMPARE(peer.collect(toolPort(window)), sent);
    QCOMPARE(QSettings().value("/ui/firmware-upgrade-last-path").toString(), files.path());
}

void TestWindowFiles::unusableFirmware_data()
{
    QTest::addColumn<bool>("container");
    QTest::addColumn<QString>("message");
    QTest::newRow("not a container") << false << "Invalid or unsupported firmware file";
    QTest::newRow("empty image") << true
                                 << "The firmware file holds an empty image for this instrument";
}

void TestWindowFiles::unusableFirmware()
{
    QFETCH(bool, container);
    QFETCH(QString, message);

    MainWindow window;
    PtyPeer peer;
    openOn(window, peer);
    peer.sendLine("MORVA,ZURKD550,20417,1.3.0.0");
    QTRY_COMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));
    peer.collect(toolPort(window));
    answerNextFileDialog(container
                             ? writeContainer(QByteArray(), rimeglass::uuid_compat_stm32g071kb_r1)
                             : writeFile(QStringLiteral("list.crp"), "a shopping list\n"));
    const auto box = answerNextMessageBox(QMessageBox::Ok);
    click(window, "upgradeButton");
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(box->title, QStringLiteral("Firmware upgrade"));
    QCOMPARE(box->text, message);
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
}

RIMEGLASS_TEST_MAIN(QApplication, TestWindowFiles)
#include "test_window_files.moc"
