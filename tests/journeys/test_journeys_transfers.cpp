// Journeys with the two transfers, the real window against the rimeglass-sim program: a
// calibration table imported from a file and uploaded, and a firmware upgrade from a
// signed container through either boot-loader dialect, each checked against what the
// instrument ends up storing.

#include "containerpacker.h"
#include "developmentseed.h"
#include "journeysteps.h"
#include "signingkeys.h"
#include "simulatorprocess.h"
#include "testmain.h"
#include "uuids.h"
#include "windowdriver.h"
#include "wirebytes.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QTemporaryDir>
#include <cmath>
#include <sodium.h>

using namespace windowdriver;
using namespace journeysteps;

namespace {

const int waitMs = 10000;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no file)");
}

// The table file read here on its own terms: every line of exactly two numbers is a
// point, temperature first.
QVector<QPair<double, double>> tablePoints(const QByteArray &fileData)
{
    QVector<QPair<double, double>> points;
    for (const QByteArray &line : fileData.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool temperatureOk = false;
        bool voltageOk = false;
        if (fields.size() != 2)
            continue;
        const double temperature = fields.at(0).toDouble(&temperatureOk);
        const double voltage = fields.at(1).toDouble(&voltageOk);
        if (temperatureOk && voltageOk)
            points.append(qMakePair(temperature, voltage));
    }
    return points;
}

// The calibration payload as the instrument stores it: magic, count, the name in 16
// bytes, then millikelvin and microvolts, little-endian.
QByteArray calibrationPayload(const QByteArray &name, const QVector<QPair<double, double>> &points)
{
    QByteArray payload = QByteArray::fromHex("d441de05") + wirebytes::littleEndian32(points.size())
        + name.leftJustified(16, '\0', true);
    for (const auto &point : points) {
        payload += wirebytes::littleEndian32(qint32(std::trunc(point.first * 1000.0)));
        payload += wirebytes::littleEndian32(qint32(std::trunc(point.second * 1000000.0)));
    }
    return payload;
}

QByteArray revisionBytes(const rimeglass::Uuid &uuid)
{
    return QByteArray(reinterpret_cast<const char *>(uuid), 16);
}

// An application image the simulator recognises: "SIMFW <version>", a NUL byte, then
// code. Sizes that are no multiple of 8 make the transfer add fill bytes.
QByteArray simulatedImage(const QByteArray &version, int codeSize, int seed)
{
    QByteArray image = "SIMFW " + version + '\0';
    for (int i = 0; i < codeSize; ++i)
        image.append(char((i * 37 + seed) & 0xff));
    return image;
}

} // namespace

class TestJourneysTransfers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void calibrationUpload();
    void firmwareUpgrade_data();
    void firmwareUpgrade();

private:
    void connectAndWaitForReadBack(MainWindow &window, SimulatorProcess &instrument);

    QByteArray seed;
    QTemporaryDir *files = nullptr;
    QString statePath;
};

void TestJourneysTransfers::initTestCase()
{
    seed = developmentseed::load();
    QVERIFY(!seed.isEmpty());
    if (!developmentseed::trustedByThisBuild(seed))
        QSKIP("this build trusts another key than the development one");
}

void TestJourneysTransfers::init()
{
    QSettings().clear();
    files = new QTemporaryDir;
    QVERIFY(files->isValid());
    statePath = files->filePath(QStringLiteral("instrument-state.json"));
    QVERIFY(writeStateFile(statePath, savedBeforeTheJourney()));
}

void TestJourneysTransfers::cleanup()
{
    cancelPendingAnswers();
    delete files;
    files = nullptr;
}

void TestJourneysTransfers::connectAndWaitForReadBack(MainWindow &window,
                                                      SimulatorProcess &instrument)
{
    openInstrumentPort(window, instrument);
    QTRY_COMPARE_WITH_TIMEOUT(
        shownSettings(window, {"displayRefreshSpin"}).value("displayRefreshSpin"),
        savedBeforeTheJourney().value("display:period"), waitMs);
}

void TestJourneysTransfers::calibrationUpload()
{
    const QString tablePath = QStringLiteral(RIMEGLASS_TEST_DATA_DIR "/dt670-D6068043.dat");
    const QString dumpPath = files->filePath(QStringLiteral("calibration.bin"));
    SimulatorProcess instrument({"--state", statePath, "--dump-cal", dumpPath});
    QVERIFY2(instrument.start(), instrument.errors().constData());
    MainWindow window;
    connectAndWaitForReadBack(window, instrument);
    if (QTest::currentTestFailed())
        return;

    const auto dialog = answerNextFileDialog(tablePath);
    click(window, "sensorFileChooseButton");
    QVERIFY(dialog->shown);
    QCOMPARE(text(window, "sensorFileEdit"), tablePath);
    child<QLineEdit>(&window, "sensorNameEdit")->setText(QStringLiteral("D6068043"));
    click(window, "sensorUploadButton");

    QVERIFY2(instrument.waitForMessage("calibration table written to " + dumpPath.toLocal8Bit()),
             instrument.errors().constData());
    const QVector<QPair<double, double>> points = tablePoints(readFile(tablePath));
    QCOMPARE(points.size(), 71);
    const QByteArray expected = calibrationPayload("D6068043", points);
    QCOMPARE(readFile(dumpPath).toHex(), expected.toHex());
    // Committed, the table is part of the instrument's saved state as well.
    QCOMPARE(readStateFile(statePath).value(QStringLiteral("calibration-table")).toString(),
             QString::fromLatin1(expected.toHex()));
    QTRY_COMPARE_WITH_TIMEOUT(child<QProgressBar>(&window, "progressBar")->value(), 100, waitMs);
}

void TestJourneysTransfers::firmwareUpgrade_data()
{
    QTest::addColumn<QString>("bootLoaderVersion");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<bool>("secondImage");

    // Boot loaders below 1.4.0.0 take "flash erase" and "flash write", later ones "@02"
    // and "@03"; the container's image for the instrument's revision is the one written.
    QTest::newRow("text dialect, revision 1") << "1.3.2.0"
                                              << "r1" << false;
    QTest::newRow("short-code dialect, revision 2") << "1.4.0.0"
                                                    << "r2" << true;
}

void TestJourneysTransfers::firmwareUpgrade()
{
    QFETCH(QString, bootLoaderVersion);
    QFETCH(QString, revision);
    QFETCH(bool, secondImage);

    const QByteArray revision1Image = simulatedImage("1.6.0.0", 3001, 7);
    const QByteArray revision2Image = simulatedImage("1.6.0.0", 2203, 99);
    ContainerPacker packer;
    QVERIFY(packer.setVersion(QStringLiteral("1.6.0.0")));
    QVERIFY(packer.setVendor(QStringLiteral("MORVA")));
    QVERIFY(packer.setModel(QStringLiteral("ZURKD550")));
    QVERIFY(packer.addImage(revisionBytes(rimeglass::uuid_compat_stm32g071kb_r1), revision1Image));
    QVERIFY(packer.addImage(revisionBytes(rimeglass::uuid_compat_stm32g070kb_r2), revision2Image));
    const QString containerPath = files->filePath(QStringLiteral("zurkd550-1.6.0.0.crp"));
    QFile container(containerPath);
    QVERIFY(container.open(QIODevice::WriteOnly));
    QVERIFY(container.write(packer.pack(seed)) > 0);
    container.close();

    const QString dumpPath = files->filePath(QStringLiteral("flash.bin"));
    SimulatorProcess instrument({"--state", statePath, "--firmware-version", "1.5.2.0",
                                 "--bootloader-version", bootLoaderVersion, "--revision", revision,
                                 "--dump-flash", dumpPath});
    QVERIFY2(instrument.start(), instrument.errors().constData());
    MainWindow window;
    connectAndWaitForReadBack(window, instrument);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(text(window, "versionValue"), QStringLiteral("1.5.2.0"));

    answerNextFileDialog(containerPath);
    const auto question = answerNextMessageBox(QMessageBox::Yes);
    click(window, "upgradeButton");
    QVERIFY(question->shown);
    QCOMPARE(question->text,
             QStringLiteral("Upgrade firmware from version 1.5.2.0 to version 1.6.0.0?"));

    QVERIFY2(instrument.waitForMessage("flash image written to " + dumpPath.toLocal8Bit()),
             instrument.errors().constData());
    QCOMPARE(readFile(dumpPath).toHex(),
             wirebytes::paddedWithFill(secondImage ? revision2Image : revision1Image).toHex());

    // The new firmware runs, identifies itself with its own version and is read back.
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "versionValue"), QStringLiteral("1.6.0.0"), waitMs);
    QCOMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));
    QVERIFY(instrument.errors().contains("firmware version now 1.6.0.0"));
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), 100);
    // The restarts happened on the same open port.
    QVERIFY(liveDevice(window));
    QVERIFY(child<QWidget>(&window, "serialPortCloseButton")->isEnabled());
}

RIMEGLASS_TEST_MAIN(QApplication, TestJourneysTransfers)
#include "test_journeys_transfers.moc"
