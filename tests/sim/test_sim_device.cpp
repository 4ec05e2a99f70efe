// The real Device against the simulated instrument over its pseudo-terminal:
// identification, temperatures, settings and their saving, the calibration store, both
// resets, firmware upgrades in both dialects, the voltage input and a lost acknowledgement.

#include "simulatedlink.h"
#include "testmain.h"
#include "uuids.h"

#include <algorithm>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

namespace {

QByteArray uuid(const rimeglass::Uuid &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes), sizeof(rimeglass::Uuid));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

InstrumentConfig quickConfig()
{
    InstrumentConfig config;
    config.compat = uuid(rimeglass::uuid_compat_stm32g071kb_r1);
    config.bootWindowMs = 30;
    return config;
}

// The payload the tool builds for a named table of (kelvin, volts) points.
QByteArray calibrationPayload(const QByteArray &name, const QList<QPair<double, double>> &points)
{
    QByteArray payload(24 + 8 * points.size(), '\0');
    qToLittleEndian<quint32>(0x05de41d4, payload.data());
    qToLittleEndian<qint32>(points.size(), payload.data() + 4);
    payload.replace(8, qMin(16, name.size()), name.left(16));
    for (int i = 0; i < points.size(); ++i) {
        qToLittleEndian<qint32>(qint32(points.at(i).first * 1000.0), payload.data() + 24 + 8 * i);
        qToLittleEndian<qint32>(qint32(points.at(i).second * 1e6), payload.data() + 28 + 8 * i);
    }
    return payload;
}

QByteArray firmwareImage(const QByteArray &version, int size)
{
    QByteArray image = "SIMFW " + version + '\0';
    while (image.size() < size)
        image.append(char(image.size() * 31 + 7));
    return image.left(size);
}

} // namespace

class TestSimDevice : public QObject
{
    Q_OBJECT

private slots:
    void identification_data();
    void identification();
    void temperatures();
    void readBack();
    void settingSurvivesSaveAndRestart_data();
    void settingSurvivesSaveAndRestart();
    void unsavedSettingIsLostOnReset();
    void calibrationUpload_data();
    void calibrationUpload();
    void resetIntoApplication();
    void resetIntoManagementMode();
    void firmwareUpgrade_data();
    void firmwareUpgrade();
    void twoPointVoltageCalibration();
    void lostAcknowledgementStallsTheUpload();
};

void TestSimDevice::identification_data()
{
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QString>("bootLoader");
    QTest::addColumn<bool>("management");
    QTest::addColumn<QByteArray>("revision");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QByteArray>("compat");

    const QByteArray r1 = uuid(rimeglass::uuid_compat_stm32g071kb_r1);
    const QByteArray r2 = uuid(rimeglass::uuid_compat_stm32g070kb_r2);
    const QString app = QStringLiteral("ZURKD550");
    const QString bs = QStringLiteral("ZURKD550-BS");
    QTest::newRow("application r1") << "1.5.2.0"
                                    << "1.4.0.0" << false << r1 << app << "1.5.2.0" << r1;
    QTest::newRow("application r2") << "1.5.2.0"
                                    << "1.4.0.0" << false << r2 << app << "1.5.2.0" << r2;
    // Below 1.4.0.0 nobody asks, and the tool takes revision 1.
    QTest::newRow("old application") << "1.3.255.255"
                                     << "1.4.0.0" << false << r2 << app << "1.3.255.255" << r1;
    QTest::newRow("boot loader r2") << "1.5.2.0"
                                    << "1.4.0.0" << true << r2 << bs << "1.4.0.0" << r2;
    QTest::newRow("old boot loader") << "1.5.2.0"
                                     << "1.3.0.0" << true << r2 << bs << "1.3.0.0" << r1;
}

void TestSimDevice::identification()
{
    QFETCH(QString, firmware);
    QFETCH(QString, bootLoader);
    QFETCH(bool, management);
    QFETCH(QByteArray, revision);
    QFETCH(QString, model);
    QFETCH(QString, version);
    QFETCH(QByteArray, compat);

    InstrumentConfig config = quickConfig();
    config.serialNumber = QStringLiteral("ZK-4711");
    config.firmwareVersion = firmware;
    config.bootLoaderVersion = bootLoader;
    config.startInManagementMode = management;
    config.compat = revision;
    SimulatedLink link(config);
    QVERIFY(link.connect());

    QCOMPARE(link.device.vendor, QStringLiteral("MORVA"));
    QCOMPARE(link.device.model, model);
    QCOMPARE(link.device.serialNumber, QStringLiteral("ZK-4711"));
    QCOMPARE(link.device.version, version);
    QCOMPARE(link.device.bootstrap, management);
    QCOMPARE(link.device.compat, compat);
    QCOMPARE(link.takeEvents(), QStringList{"identified"});
}

void TestSimDevice::temperatures()
{
    InstrumentConfig config = quickConfig();
    config.factorySettings.assign("rs232:period", "20");
    config.seed = 3;
    SimulatedLink link(config);
    QVERIFY(link.connect());
    link.sent.clear();
    link.simulator.setAutomaticOutputEnabled(true);
    QVERIFY(SimulatedLink::waitUntil([&] { return link.temperatures.size() >= 3; }));
    link.simulator.setAutomaticOutputEnabled(false);
    QVERIFY(SimulatedLink::waitUntil(
        [&] { return link.sent.count("\r\n") == link.temperatures.size(); }));

    // Every line on the wire is "*T = %.3f K", and the tool read the same numbers.
    const QList<QByteArray> lines = link.sent.trimmed().split('\n');
    QCOMPARE(lines.size(), link.temperatures.size());
    const QRegularExpression form(QStringLiteral("^\\*T = (\\d+\\.\\d{3}) K\r?$"));
    for (int i = 0; i < lines.size(); ++i) {
        const auto match = form.match(QString::fromLatin1(lines.at(i)));
        QVERIFY2(match.hasMatch(), lines.at(i));
        QCOMPARE(link.temperatures.at(i), match.captured(1).toDouble());
    }
}

void TestSimDevice::readBack()
{
    SimulatedLink link(quickConfig());
    QVERIFY(link.connect());
    const InstrumentSettings factory;
    for (const QByteArray &key : InstrumentSettings::keys())
        QCOMPARE(link.query(key), QString::fromLatin1(factory.value(key)));
}

void TestSimDevice::settingSurvivesSaveAndRestart_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("value");

    // The commands exactly as the window formats them.
    QTest::newRow("sensor") << ":cal user\n" << QByteArray("cal") << "user";
    QTest::newRow("rs232") << QString::asprintf(":rs232:period %d\n", 250)
                           << QByteArray("rs232:period") << "250";
    QTest::newRow("rs485") << QString::asprintf(":rs485:period %d\n", 500)
                           << QByteArray("rs485:period") << "500";
    QTest::newRow("relay1 default")
        << QString::asprintf(":relay1:default %d\n", 1) << QByteArray("relay1:default") << "1";
    QTest::newRow("relay1 temp") << QString::asprintf(":relay1:temp %5.3lf\n", 25.0)
                                 << QByteArray("relay1:temp") << "25.000";
    QTest::newRow("relay1 hyst") << QString::asprintf(":relay1:hyst %5.3lf\n", 0.1)
                                 << QByteArray("relay1:hyst") << "0.100";
    QTest::newRow("relay2 default")
        << QString::asprintf(":relay2:default %d\n", 0) << QByteArray("relay2:default") << "0";
    QTest::newRow("relay2 temp") << QString::asprintf(":relay2:temp %5.3lf\n", 1000.0)
                                 << QByteArray("relay2:temp") << "1000.000";
    QTest::newRow("relay2 hyst") << QString::asprintf(":relay2:hyst %5.3lf\n", 12.345)
                                 << QByteArray("relay2:hyst") << "12.345";
    QTest::newRow("display") << QString::asprintf(":display:period %d\n", 10000)
                             << QByteArray("display:period") << "10000";
}

void TestSimDevice::settingSurvivesSaveAndRestart()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, key);
    QFETCH(QString, value);

    QTemporaryDir dir;
    InstrumentConfig config = quickConfig();
    config.statePath = dir.filePath(QStringLiteral("state.json"));
    {
        SimulatedLink link(config);
        QVERIFY(link.connect());
        QVERIFY(link.query(key) != value);
        link.device.serialSendCommand(command);
        QCOMPARE(link.query(key), value);
        link.device.serialSendCommand(QStringLiteral(":save\n"));
        QVERIFY(SimulatedLink::waitUntil(
            [&] { return link.log.contains("state written to " + config.statePath); }));
    }

    SimulatedLink restarted(config);
    QVERIFY(restarted.connect());
    QCOMPARE(restarted.query(key), value);
    // Nothing else moved.
    const InstrumentSettings factory;
    for (const QByteArray &other : InstrumentSettings::keys()) {
        if (other != key)
            QCOMPARE(restarted.query(other), QString::fromLatin1(factory.value(other)));
    }
}

void TestSimDevice::unsavedSettingIsLostOnReset()
{
    SimulatedLink link(quickConfig());
    QVERIFY(link.connect());
    link.device.serialSendCommand(QStringLiteral(":relay1:temp 42.000\n"));
    QCOMPARE(link.query("relay1:temp"), QStringLiteral("42.000"));
    link.takeEvents();
    link.device.reset(Device::ResetNormal);
    QVERIFY(link.waitForEvent(QStringLiteral("identified")));
    QCOMPARE(link.query("relay1:temp"), QStringLiteral("80.000"));
}

void TestSimDevice::calibrationUpload_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("progress");

    QTest::newRow("two points") << calibrationPayload("Custom", {{300.0, 0.5}, {4.2, 1.6243}})
                                << QStringList{"progress 0/40", "progress 48/40"};
    QList<QPair<double, double>> many;
    for (int i = 0; i < 32; ++i)
        many.append({1.5 + 9.25 * i, 1.7 - 0.05 * i});
    QTest::newRow("32 points") << calibrationPayload("DT-670 copy 0123456789", many)
                               << QStringList{"progress 0/280",   "progress 48/280",
                                              "progress 96/280",  "progress 144/280",
                                              "progress 192/280", "progress 240/280",
                                              "progress 288/280"};
    QTest::newRow("no points") << calibrationPayload("Empty", {})
                               << QStringList{"progress 0/24", "progress 48/24"};
    QTest::newRow("no payload") << QByteArray() << QStringList{"progress 0/0"};
}

void TestSimDevice::calibrationUpload()
{
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, progress);

    QTemporaryDir dir;
    InstrumentConfig config = quickConfig();
    config.calibrationDumpPath = dir.filePath(QStringLiteral("cal.bin"));
    SimulatedLink link(config);
    QVERIFY(link.connect());
    link.takeEvents();

    QVERIFY(link.device.uploadCalibration(payload));
    QVERIFY(SimulatedLink::waitUntil([&] { return link.sent.contains("*cal-commit-done"); }));
    QCOMPARE(link.device.calibrationState, -1);
    QCOMPARE(link.takeEvents(), progress);
    QCOMPARE(link.simulator.instrument()->calibrationTable(), payload);
    QCOMPARE(readFile(config.calibrationDumpPath), payload);
    QVERIFY(!link.sent.contains("*ERROR"));
}

void TestSimDevice::resetIntoApplication()
{
    SimulatedLink link(quickConfig());
    QVERIFY(link.connect());
    link.takeEvents();
    link.device.reset(Device::ResetNormal);
    QVERIFY(link.waitForEvent(QStringLiteral("identified")));
    QCOMPARE(link.takeEvents(), (QStringList{"reset", "restarted", "identified"}));
    QCOMPARE(link.device.bootstrap, false);
    QCOMPARE(link.simulator.instrument()->mode(), Instrument::Mode::Application);
}

void TestSimDevice::resetIntoManagementMode()
{
    InstrumentConfig config = quickConfig();
    config.bootLoaderVersion = QStringLiteral("1.4.1.0");
    SimulatedLink link(config);
    QVERIFY(link.connect());
    link.takeEvents();
    link.device.reset(Device::ResetManagement);
    QVERIFY(link.waitForEvent(QStringLiteral("identified")));
    QCOMPARE(link.takeEvents(), (QStringList{"reset", "management", "identified"}));
    QCOMPARE(link.device.model, QStringLiteral("ZURKD550-BS"));
    QCOMPARE(link.device.version, QStringLiteral("1.4.1.0"));
    QCOMPARE(link.device.bootstrap, true);
    QCOMPARE(link.simulator.instrument()->mode(), Instrument::Mode::Management);
}

void TestSimDevice::firmwareUpgrade_data()
{
    QTest::addColumn<QString>("bootLoader");
    QTest::addColumn<bool>("management");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("firstWrite");

    QTest::newRow("text dialect, from the application")
        << "1.3.0.0" << false << 1000 << QByteArray("<- flash write 000000 ");
    QTest::newRow("text dialect, in the boot loader")
        << "1.3.0.0" << true << 1000 << QByteArray("<- flash write 000000 ");
    QTest::newRow("short codes, from the application")
        << "1.4.0.0" << false << 1000 << QByteArray("<- @03 000000 ");
    QTest::newRow("short codes, in the boot loader")
        << "1.4.0.0" << true << 112 << QByteArray("<- @03 000000 ");
    QTest::newRow("short codes, odd size")
        << "1.4.0.0" << false << 1001 << QByteArray("<- @03 000000 ");
}

void TestSimDevice::firmwareUpgrade()
{
    QFETCH(QString, bootLoader);
    QFETCH(bool, management);
    QFETCH(int, size);
    QFETCH(QByteArray, firstWrite);

    QTemporaryDir dir;
    InstrumentConfig config = quickConfig();
    config.bootLoaderVersion = bootLoader;
    config.startInManagementMode = management;
    config.flashDumpPath = dir.filePath(QStringLiteral("flash.bin"));
    SimulatedLink link(config);
    QVERIFY(link.connect());
    link.takeEvents();

    const QByteArray image = firmwareImage("1.6.0.0", size);
    QVERIFY(link.device.upgradeFirmware(image));
    QVERIFY(
        SimulatedLink::waitUntil([&] { return link.device.version == QLatin1String("1.6.0.0"); }));
    QVERIFY(link.waitForEvent(QStringLiteral("identified")));

    QCOMPARE(link.device.model, QStringLiteral("ZURKD550"));
    QCOMPARE(link.device.bootstrap, false);
    QCOMPARE(link.simulator.instrument()->firmwareVersion(), QStringLiteral("1.6.0.0"));
    // The instrument stores in blocks of 8 bytes; the tool fills the last one with 0xFF.
    const QByteArray stored = image + QByteArray((8 - size % 8) % 8, char(0xff));
    QCOMPARE(readFile(config.flashDumpPath), stored);

    // Temperatures the new firmware starts sending may come after its identification.
    QStringList events = link.takeEvents();
    events.erase(std::remove_if(events.begin(), events.end(),
                                [](const QString &event) { return event.startsWith("T "); }),
                 events.end());
    QCOMPARE(events.contains(QStringLiteral("reset")), !management);
    QCOMPARE(events.filter(QStringLiteral("progress")).constFirst(),
             QStringLiteral("progress 0/%1").arg(stored.size()));
    QCOMPARE(events.mid(events.size() - 2), (QStringList{"restarted", "identified"}));
    const QString write = QString::fromLatin1(firstWrite);
    QVERIFY(std::any_of(link.log.cbegin(), link.log.cend(),
                        [&](const QString &line) { return line.startsWith(write); }));
    QVERIFY(!link.sent.contains("*ERROR"));
}

void TestSimDevice::twoPointVoltageCalibration()
{
    InstrumentConfig config = quickConfig();
    config.adcGain = 0.9875;
    config.adcOffsetMicrovolts = 3100.0;
    SimulatedLink link(config);
    QVERIFY(link.connect());
    Instrument *instrument = link.simulator.instrument();

    const auto measure = [&](const char *key) {
        const QString prefix = QStringLiteral("param %1|").arg(QLatin1String(key));
        link.events.clear();
        if (qstrcmp(key, "Vunc") == 0)
            link.device.measureUncalibrated();
        else
            link.device.measureCalibrated();
        SimulatedLink::waitUntil([&] { return !link.events.filter(prefix).isEmpty(); });
        return link.events.filter(prefix).value(0).mid(prefix.size());
    };

    // The window's two-point calibration: real = slope × (adc + offset).
    instrument->setInputVoltage(1.0);
    const double adc1 = measure("Vunc").toInt() / 1e6;
    instrument->setInputVoltage(0.0);
    const double adc2 = measure("Vunc").toInt() / 1e6;
    QVERIFY(qAbs(adc1 - adc2) > 0.5);
    const double slope = (1.0 - 0.0) / (adc1 - adc2);
    const double offset = 1.0 / slope - adc1;
    QCOMPARE(measure("Vcor").right(2), QStringLiteral(" U"));
    link.device.sendADCCalibration(offset, slope);

    for (const double volts : {0.5, 2.0, -0.25}) {
        instrument->setInputVoltage(volts);
        const QString reading = measure("Vcor");
        QVERIFY2(reading.endsWith(QLatin1String(" C")), qPrintable(reading));
        const int microvolts = reading.chopped(2).toInt();
        QVERIFY2(qAbs(microvolts - qRound(volts * 1e6)) <= 3, qPrintable(reading));
    }

    link.device.sendADCCalibration(0.0, 0.0);
    QVERIFY(measure("Vcor").endsWith(QLatin1String(" U")));
}

void TestSimDevice::lostAcknowledgementStallsTheUpload()
{
    InstrumentConfig config = quickConfig();
    config.faults.dropAcknowledgement = 2; // the first write's
    SimulatedLink link(config);
    QVERIFY(link.connect());

    QList<QPair<double, double>> points;
    for (int i = 0; i < 32; ++i)
        points.append({10.0 + i, 1.0 - 0.01 * i});
    QVERIFY(link.device.uploadCalibration(calibrationPayload("Lost", points)));
    QVERIFY(SimulatedLink::waitUntil([&] {
        return link.log.contains(QStringLiteral("dropped acknowledgement \"*cal-write-done\""));
    }));
    // Anything answered after it proves that nothing else is on its way.
    QCOMPARE(link.query("cal"), QStringLiteral("zur"));
    QCOMPARE(link.device.calibrationState, 2);
    QCOMPARE(link.device.transferOffset, 48);
    QVERIFY(link.simulator.instrument()->calibrationTable().isEmpty());
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestSimDevice)
#include "test_sim_device.moc"
