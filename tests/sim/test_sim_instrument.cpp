// The simulated instrument fed bytes directly: framing, every command it takes and the
// errors it gives, its two stores, both boot-loader dialects, faults and its state file.

#include "instrumentprobe.h"
#include "simulatoroptions.h"
#include "statefile.h"
#include "temperaturecurve.h"
#include "testmain.h"
#include "uuids.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

namespace {

const QByteArray identification("MORVA,ZURKD550,SIM-000001,1.5.2.0\r\n");

InstrumentConfig managementConfig(const QString &bootLoaderVersion)
{
    InstrumentConfig config;
    config.bootLoaderVersion = bootLoaderVersion;
    config.startInManagementMode = true;
    return config;
}

QByteArray calibrationTable(int points)
{
    QByteArray table(24 + 8 * points, '\0');
    qToLittleEndian<quint32>(0x05de41d4, table.data());
    qToLittleEndian<qint32>(points, table.data() + 4);
    table.replace(8, 6, "Custom");
    for (int i = 0; i < points; ++i) {
        qToLittleEndian<qint32>(300000 - 1000 * i, table.data() + 24 + 8 * i);
        qToLittleEndian<qint32>(500000 + 1000 * i, table.data() + 28 + 8 * i);
    }
    return table;
}

QByteArray hexWrite(const char *command, int offset, const QByteArray &data, int digits)
{
    return QByteArray(command) + ' ' + QByteArray::number(offset, 16).rightJustified(digits, '0')
        + ' ' + data.toHex() + '\n';
}

} // namespace

class TestSimInstrument : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void overlongLineIsRefused();

    void queries_data();
    void queries();
    void setCommands_data();
    void setCommands();
    void resetDropsUnsavedSettings();
    void resetWithoutEtxStartsTheApplication();
    void etxInTheBootWindowKeepsTheBootLoader();

    void voltages_data();
    void voltages();
    void voltageCommandsNeedVersion1_5();
    void compatNeedsVersion1_4();

    void calibrationStore();
    void calibrationStoreRules_data();
    void calibrationStoreRules();

    void bootLoaderDialects_data();
    void bootLoaderDialects();
    void flashRules_data();
    void flashRules();
    void bootAnnouncesImageVersion_data();
    void bootAnnouncesImageVersion();
    void bootWithErasedFlashStays();

    void temperatureLines();
    void temperatureNoiseFollowsSeed();

    void dropAcknowledgement();
    void garbling();
    void silence();

    void stateFileRoundTrip();
    void stateFileErrors_data();
    void stateFileErrors();

    void options_data();
    void options();
    void optionErrors_data();
    void optionErrors();
};

void TestSimInstrument::framing_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("tool opening") << QByteArray("\x03\n*idn?\n") << identification;
    QTest::newRow("upper-case query") << QByteArray("*IDN?\n") << identification;
    QTest::newRow("CR LF") << QByteArray(":cal?\r\n") << QByteArray("cal = zur\r\n");
    QTest::newRow("lone CR") << QByteArray(":cal?\r") << QByteArray("cal = zur\r\n");
    QTest::newRow("ETX in front") << QByteArray("\x03:cal?\n") << QByteArray("cal = zur\r\n");
    QTest::newRow("ETX drops a begun line")
        << QByteArray(":relay1:te\x03:cal?\n") << QByteArray("cal = zur\r\n");
    QTest::newRow("ETX alone") << QByteArray("\x03") << QByteArray();
    QTest::newRow("empty lines") << QByteArray("\n\r\n\n") << QByteArray();
    QTest::newRow("two commands") << QByteArray(":cal?\n:display:period?\n")
                                  << QByteArray("cal = zur\r\ndisplay:period = 500\r\n");
    QTest::newRow("unknown") << QByteArray(":bogus?\n") << QByteArray("*ERROR unknown command\r\n");
    QTest::newRow("no colon") << QByteArray("cal?\n") << QByteArray("*ERROR unknown command\r\n");
    QTest::newRow("report-like command is not echoed")
        << QByteArray("a = b\n") << QByteArray("*ERROR unknown command\r\n");
    QTest::newRow("firmware command in the application")
        << QByteArray("@02\n") << QByteArray("*ERROR unknown command\r\n");
}

void TestSimInstrument::framing()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    InstrumentProbe probe;
    QCOMPARE(probe.feed(input), expected);
}

void TestSimInstrument::overlongLineIsRefused()
{
    InstrumentProbe probe;
    QCOMPARE(probe.feed(":" + QByteArray(2000, 'x') + "\n:cal?\n"),
             QByteArray("*ERROR line too long\r\ncal = zur\r\n"));
}

void TestSimInstrument::queries_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");

    const InstrumentSettings factory;
    for (const QByteArray &key : InstrumentSettings::keys())
        QTest::newRow(key.constData()) << key << factory.value(key);
}

void TestSimInstrument::queries()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QVERIFY(!value.isEmpty());
    InstrumentProbe probe;
    QCOMPARE(probe.feed(':' + key + "?\n"), key + " = " + value + "\r\n");
}

void TestSimInstrument::setCommands_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("reported");
    QTest::addColumn<QByteArray>("error");

    const QByteArray none;
    QTest::newRow("sensor user") << QByteArray(":cal user") << QByteArray("cal")
                                 << QByteArray("user") << none;
    QTest::newRow("sensor dt-670")
        << QByteArray(":cal dt-670") << QByteArray("cal") << QByteArray("dt-670") << none;
    QTest::newRow("sensor upper case") << QByteArray(":cal ZUR") << QByteArray("cal")
                                       << QByteArray("zur") << QByteArray("bad value");
    QTest::newRow("rs232 period") << QByteArray(":rs232:period 250") << QByteArray("rs232:period")
                                  << QByteArray("250") << none;
    QTest::newRow("rs232 off") << QByteArray(":rs232:period 0") << QByteArray("rs232:period")
                               << QByteArray("0") << none;
    QTest::newRow("rs232 too short") << QByteArray(":rs232:period 5") << QByteArray("rs232:period")
                                     << QByteArray("1000") << QByteArray("value out of range");
    QTest::newRow("rs485 period") << QByteArray(":rs485:period 1000") << QByteArray("rs485:period")
                                  << QByteArray("1000") << none;
    QTest::newRow("relay1 default") << QByteArray(":relay1:default 1")
                                    << QByteArray("relay1:default") << QByteArray("1") << none;
    QTest::newRow("relay2 default 2")
        << QByteArray(":relay2:default 2") << QByteArray("relay2:default") << QByteArray("1")
        << QByteArray("value out of range");
    QTest::newRow("relay1 temp") << QByteArray(":relay1:temp 25.000") << QByteArray("relay1:temp")
                                 << QByteArray("25.000") << none;
    QTest::newRow("relay1 temp padded") << QByteArray(":relay1:temp 0.100")
                                        << QByteArray("relay1:temp") << QByteArray("0.100") << none;
    QTest::newRow("relay1 hyst") << QByteArray(":relay1:hyst 0.5") << QByteArray("relay1:hyst")
                                 << QByteArray("0.500") << none;
    QTest::newRow("relay2 temp") << QByteArray(":relay2:temp 1000.000") << QByteArray("relay2:temp")
                                 << QByteArray("1000.000") << none;
    QTest::newRow("relay2 hyst") << QByteArray(":relay2:hyst 3.25") << QByteArray("relay2:hyst")
                                 << QByteArray("3.250") << none;
    QTest::newRow("relay temp not a number")
        << QByteArray(":relay2:temp warm") << QByteArray("relay2:temp") << QByteArray("300.000")
        << QByteArray("bad value");
    QTest::newRow("relay temp nan") << QByteArray(":relay2:temp nan") << QByteArray("relay2:temp")
                                    << QByteArray("300.000") << QByteArray("bad value");
    QTest::newRow("relay temp negative")
        << QByteArray(":relay1:temp -1") << QByteArray("relay1:temp") << QByteArray("80.000")
        << QByteArray("value out of range");
    QTest::newRow("display period") << QByteArray(":display:period 2000")
                                    << QByteArray("display:period") << QByteArray("2000") << none;
    QTest::newRow("display period 0")
        << QByteArray(":display:period 0") << QByteArray("display:period") << QByteArray("500")
        << QByteArray("value out of range");
    QTest::newRow("display period text")
        << QByteArray(":display:period 1e3") << QByteArray("display:period") << QByteArray("500")
        << QByteArray("bad value");
}

void TestSimInstrument::setCommands()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, reported);
    QFETCH(QByteArray, error);

    InstrumentProbe probe;
    const QByteArray answer = probe.feed(command + '\n');
    QCOMPARE(answer, error.isEmpty() ? QByteArray() : "*ERROR " + error + "\r\n");
    QCOMPARE(probe.feed(':' + key + "?\n"), key + " = " + reported + "\r\n");
}

void TestSimInstrument::resetDropsUnsavedSettings()
{
    InstrumentProbe probe;
    probe.feed(":relay1:temp 10\n:save\n:relay1:temp 20\n:relay2:hyst 7\n");
    QCOMPARE(probe.instrument.settings().value("relay1:temp"), QByteArray("20.000"));
    QCOMPARE(probe.feed(":system:reset\n"),
             QByteArray("*RESET software\r\n*BOOTSTRAP 1.4.0.0\r\n"));
    QCOMPARE(probe.instrument.mode(), Instrument::Mode::BootWindow);
    probe.sent.clear();
    probe.instrument.endBootWindow();
    QCOMPARE(probe.sent, QByteArray("*APP 1.5.2.0\r\n"));
    QCOMPARE(probe.feed(":relay1:temp?\n:relay2:hyst?\n"),
             QByteArray("relay1:temp = 10.000\r\nrelay2:hyst = 2.500\r\n"));
}

void TestSimInstrument::resetWithoutEtxStartsTheApplication()
{
    InstrumentConfig config;
    config.bootWindowMs = 20;
    InstrumentProbe probe(config);
    probe.feed(":system:reset\n");
    // Commands sent while the boot loader waits are not heard.
    QCOMPARE(probe.feed(":cal?\n"), QByteArray());
    QTRY_COMPARE(probe.instrument.mode(), Instrument::Mode::Application);
    QCOMPARE(probe.sent, QByteArray("*APP 1.5.2.0\r\n"));
    QCOMPARE(probe.feed("*IDN?\n"), identification);
}

void TestSimInstrument::etxInTheBootWindowKeepsTheBootLoader()
{
    InstrumentProbe probe;
    probe.feed(":system:reset\n");
    QCOMPARE(probe.feed("\x03"), QByteArray("*MGMT\r\n"));
    QCOMPARE(probe.instrument.mode(), Instrument::Mode::Management);
    QCOMPARE(probe.feed("*IDN?\n"), QByteArray("MORVA,ZURKD550-BS,SIM-000001,1.4.0.0\r\n"));
    QCOMPARE(probe.feed(":cal?\n"), QByteArray("*ERROR unknown command\r\n"));
    QCOMPARE(probe.feed("boot\n"), QByteArray("*APP 1.5.2.0\r\n"));
}

void TestSimInstrument::voltages_data()
{
    QTest::addColumn<double>("input");
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("offset");

    QTest::newRow("1 V") << 1.0 << 1.0125 << -2350.0;
    QTest::newRow("0 V") << 0.0 << 1.0125 << -2350.0;
    QTest::newRow("negative") << -0.75 << 0.98 << 1200.0;
    QTest::newRow("ideal") << 1.25 << 1.0 << 0.0;
    QTest::newRow("full scale") << 2.5 << 1.0 << 0.0;
}

void TestSimInstrument::voltages()
{
    QFETCH(double, input);
    QFETCH(double, gain);
    QFETCH(double, offset);

    InstrumentConfig config;
    config.inputVoltage = input;
    config.adcGain = gain;
    config.adcOffsetMicrovolts = offset;
    InstrumentProbe probe(config);

    const qint64 reading = qRound64(gain * input * 1e6 + offset);
    QCOMPARE(probe.feed(":volt:unc?\n"), "Vunc = " + QByteArray::number(reading) + "\r\n");
    QCOMPARE(probe.feed(":volt:cor?\n"), "Vcor = " + QByteArray::number(reading) + " U\r\n");
    // Counts of a 24-bit converter over 2.5 V, held at full scale.
    const qint64 counts = qBound(
        Q_INT64_C(-8388608), qRound64(double(reading) * 8388608.0 / 2500000.0), Q_INT64_C(8388607));
    QCOMPARE(probe.feed(":volt:raw?\n"), "Vraw = " + QByteArray::number(counts) + "\r\n");

    // The correction undoing this converter's errors: slope 1/gain, offset -offset.
    const qint32 slope = qint32(16777216.0 / gain);
    const qint32 correction = qint32(-offset);
    probe.feed(QByteArray(":volt:cal ") + QByteArray::number(quint32(correction), 16) + ' '
               + QByteArray::number(quint32(slope), 16) + '\n');
    const QByteArray corrected = probe.feed(":volt:cor?\n");
    QVERIFY2(corrected.startsWith("Vcor = ") && corrected.endsWith(" C\r\n"), corrected);
    const qint64 value = corrected.mid(7, corrected.size() - 11).toLongLong();
    QVERIFY2(qAbs(value - qRound64(input * 1e6)) <= 2, corrected);

    probe.feed(":volt:cal 00000000 00000000\n");
    QCOMPARE(probe.feed(":volt:cor?\n"), "Vcor = " + QByteArray::number(reading) + " U\r\n");
    QCOMPARE(probe.feed(":volt:cal 1 2 3\n"), QByteArray("*ERROR bad value\r\n"));
}

void TestSimInstrument::voltageCommandsNeedVersion1_5()
{
    InstrumentConfig config;
    config.firmwareVersion = QStringLiteral("1.4.255.255");
    InstrumentProbe probe(config);
    QCOMPARE(probe.feed(":volt:unc?\n:volt:cal 0 0\n"),
             QByteArray("*ERROR unknown command\r\n*ERROR unknown command\r\n"));
}

void TestSimInstrument::compatNeedsVersion1_4()
{
    InstrumentConfig config;
    config.compat = QByteArray::fromHex("21de3ef209bf4a7883a09eb750df2e57");
    config.firmwareVersion = QStringLiteral("1.3.9");
    QCOMPARE(InstrumentProbe(config).feed("@00\n"), QByteArray("*ERROR unknown command\r\n"));
    config.firmwareVersion = QStringLiteral("1.4");
    QCOMPARE(InstrumentProbe(config).feed("@00\n"),
             QByteArray("*COMPAT = 21de3ef209bf4a7883a09eb750df2e57\r\n"));
}

void TestSimInstrument::calibrationStore()
{
    QTemporaryDir dir;
    InstrumentConfig config;
    config.calibrationDumpPath = dir.filePath(QStringLiteral("cal.bin"));
    InstrumentProbe probe(config);

    const QByteArray table = calibrationTable(5);
    QCOMPARE(probe.feed(":cal:erase\n"), QByteArray("*cal-erase-done\r\n"));
    // Written back to front, to show that offsets, not arrival order, place the bytes.
    QCOMPARE(probe.feed(hexWrite(":cal:write", 48, table.mid(48), 4)),
             QByteArray("*cal-write-done\r\n"));
    QCOMPARE(probe.feed(hexWrite(":cal:write", 0, table.left(48), 4)),
             QByteArray("*cal-write-done\r\n"));
    QVERIFY(probe.instrument.calibrationTable().isEmpty());
    QCOMPARE(probe.feed(":cal:commit\n"), QByteArray("*cal-commit-done\r\n"));
    QCOMPARE(probe.instrument.calibrationTable(), table);

    QFile dump(config.calibrationDumpPath);
    QVERIFY(dump.open(QIODevice::ReadOnly));
    QCOMPARE(dump.readAll(), table);
}

void TestSimInstrument::calibrationStoreRules_data()
{
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<QByteArray>("lastAnswer");

    const QByteArray erase(":cal:erase\n");
    QByteArray badMagic = calibrationTable(1);
    badMagic[0] = 0;
    QByteArray badCount = calibrationTable(2);
    badCount[4] = 3;

    QTest::newRow("write before erase") << hexWrite(":cal:write", 0, calibrationTable(1), 4)
                                        << QByteArray("*ERROR calibration store not erased");
    QTest::newRow("commit before erase")
        << QByteArray(":cal:commit\n") << QByteArray("*ERROR calibration store not erased");
    QTest::newRow("odd hex digits") << erase + ":cal:write 0000 abc\n"
                                    << QByteArray("*ERROR bad write command");
    QTest::newRow("no data") << erase + ":cal:write 0000\n"
                             << QByteArray("*ERROR bad write command");
    QTest::newRow("not hex") << erase + ":cal:write 00g0 abcd\n"
                             << QByteArray("*ERROR bad write command");
    QTest::newRow("beyond the store") << erase + ":cal:write 0ffc 0102030405\n"
                                      << QByteArray("*ERROR write outside the calibration store");
    QTest::newRow("far beyond the store")
        << erase + ":cal:write 7fffffff 01\n"
        << QByteArray("*ERROR write outside the calibration store");
    QTest::newRow("bad magic") << erase + hexWrite(":cal:write", 0, badMagic, 4) + ":cal:commit\n"
                               << QByteArray("*ERROR calibration table has a bad magic number");
    QTest::newRow("count beyond data") << erase + hexWrite(":cal:write", 0, badCount, 4)
            + ":cal:commit\n" << QByteArray("*ERROR calibration table has a bad point count");
    QTest::newRow("short table") << erase + ":cal:write 0000 d441de05\n:cal:commit\n"
                                 << QByteArray("*ERROR calibration table too short");
}

void TestSimInstrument::calibrationStoreRules()
{
    QFETCH(QByteArray, commands);
    QFETCH(QByteArray, lastAnswer);

    InstrumentProbe probe;
    const QByteArray committed = calibrationTable(2);
    probe.feed(":cal:erase\n" + hexWrite(":cal:write", 0, committed, 4) + ":cal:commit\n");
    QCOMPARE(probe.instrument.calibrationTable(), committed);

    const QByteArray answers = probe.feed(commands);
    QVERIFY2(answers.endsWith(lastAnswer + "\r\n"), answers);
    // A refused table leaves the committed one in place.
    QCOMPARE(probe.instrument.calibrationTable(), committed);
}

void TestSimInstrument::bootLoaderDialects_data()
{
    QTest::addColumn<QString>("bootLoaderVersion");
    QTest::addColumn<QByteArray>("erase");
    QTest::addColumn<QByteArray>("write");
    QTest::addColumn<QByteArray>("otherErase");
    QTest::addColumn<QByteArray>("otherWrite");

    QTest::newRow("text, 1.3.255.255")
        << QStringLiteral("1.3.255.255") << QByteArray("flash erase") << QByteArray("flash write")
        << QByteArray("@02") << QByteArray("@03");
    QTest::newRow("text, 1.0") << QStringLiteral("1.0") << QByteArray("flash erase")
                               << QByteArray("flash write") << QByteArray("@02")
                               << QByteArray("@03");
    QTest::newRow("short codes, 1.4.0.0")
        << QStringLiteral("1.4.0.0") << QByteArray("@02") << QByteArray("@03")
        << QByteArray("flash erase") << QByteArray("flash write");
    QTest::newRow("short codes, 2.1")
        << QStringLiteral("2.1") << QByteArray("@02") << QByteArray("@03")
        << QByteArray("flash erase") << QByteArray("flash write");
}

void TestSimInstrument::bootLoaderDialects()
{
    QFETCH(QString, bootLoaderVersion);
    QFETCH(QByteArray, erase);
    QFETCH(QByteArray, write);
    QFETCH(QByteArray, otherErase);
    QFETCH(QByteArray, otherWrite);

    QTemporaryDir dir;
    InstrumentConfig config = managementConfig(bootLoaderVersion);
    config.flashDumpPath = dir.filePath(QStringLiteral("flash.bin"));
    InstrumentProbe probe(config);

    QByteArray image(300, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + 3);

    const QByteArray refused("*ERROR unknown command\r\n");
    QCOMPARE(probe.feed(otherErase + '\n'), refused);
    QCOMPARE(probe.feed(erase + '\n'), QByteArray("*ERASE_OK\r\n"));
    QCOMPARE(probe.feed(hexWrite(otherWrite, 0, image.left(112), 6)), refused);
    for (int offset = 0; offset < image.size(); offset += 112)
        QCOMPARE(probe.feed(hexWrite(write, offset, image.mid(offset, 112), 6)),
                 QByteArray("*WRITE_OK\r\n"));
    QCOMPARE(probe.instrument.flash(), image);
    QCOMPARE(probe.feed("boot\n"), QByteArray("*APP 1.5.2.0\r\n"));

    QFile dump(config.flashDumpPath);
    QVERIFY(dump.open(QIODevice::ReadOnly));
    QCOMPARE(dump.readAll(), image);
}

void TestSimInstrument::flashRules_data()
{
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<QByteArray>("lastAnswer");

    QTest::newRow("write before erase")
        << QByteArray("@03 000000 00\n") << QByteArray("*ERROR flash not erased");
    QTest::newRow("programmed cell") << QByteArray("@02\n@03 000000 0102\n@03 000001 03\n")
                                     << QByteArray("*ERROR flash already programmed");
    QTest::newRow("same value again")
        << QByteArray("@02\n@03 000000 0102\n@03 000001 02\n") << QByteArray("*WRITE_OK");
    QTest::newRow("erased cell in a gap")
        << QByteArray("@02\n@03 000004 01\n@03 000000 0203\n") << QByteArray("*WRITE_OK");
    QTest::newRow("beyond the flash") << QByteArray("@02\n@03 01dfff 0102\n")
                                      << QByteArray("*ERROR write outside the application flash");
    QTest::newRow("chunk too long") << "@02\n@03 000000 " + QByteArray(514, 'a') + '\n'
                                    << QByteArray("*ERROR bad write command");
    QTest::newRow("offset too long")
        << QByteArray("@02\n@03 100000000 01\n") << QByteArray("*ERROR bad write command");
    QTest::newRow("boot with nothing written")
        << QByteArray("@02\nboot\n") << QByteArray("*ERROR no application image");
}

void TestSimInstrument::flashRules()
{
    QFETCH(QByteArray, commands);
    QFETCH(QByteArray, lastAnswer);
    InstrumentProbe probe(managementConfig(QStringLiteral("1.4.0.0")));
    const QByteArray answers = probe.feed(commands);
    QVERIFY2(answers.endsWith(lastAnswer + "\r\n"), answers);
}

void TestSimInstrument::bootAnnouncesImageVersion_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("version");

    QTest::newRow("tagged") << QByteArray("SIMFW 1.6.0.0\0rest", 18) << QStringLiteral("1.6.0.0");
    QTest::newRow("downgrade") << QByteArray("SIMFW 1.3.2\0", 12) << QStringLiteral("1.3.2");
    QTest::newRow("no tag") << QByteArray("\x7f"
                                          "ELF 1.6.0.0\0",
                                          13)
                            << QStringLiteral("1.5.2.0");
    QTest::newRow("no NUL") << QByteArray("SIMFW 1.6.0.0") << QStringLiteral("1.5.2.0");
    QTest::newRow("not a version") << QByteArray("SIMFW 1.x\0", 10) << QStringLiteral("1.5.2.0");
    QTest::newRow("component above 255")
        << QByteArray("SIMFW 1.256\0", 12) << QStringLiteral("1.5.2.0");
}

void TestSimInstrument::bootAnnouncesImageVersion()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, version);

    InstrumentProbe probe(managementConfig(QStringLiteral("1.4.0.0")));
    probe.feed("@02\n" + hexWrite("@03", 0, image, 6));
    QCOMPARE(probe.feed("boot\n"), "*APP " + version.toLatin1() + "\r\n");
    QCOMPARE(probe.instrument.firmwareVersion(), version);
    QCOMPARE(probe.feed("*IDN?\n"), "MORVA,ZURKD550,SIM-000001," + version.toLatin1() + "\r\n");
}

void TestSimInstrument::bootWithErasedFlashStays()
{
    InstrumentConfig config;
    config.bootWindowMs = 10;
    InstrumentProbe probe(config);
    probe.feed(":system:reset\n");
    probe.feed("\x03@02\n");
    // A reset now finds no application: after its window the boot loader stays.
    probe.feed(":system:reset\n");
    QTRY_COMPARE(probe.instrument.mode(), Instrument::Mode::Management);
    QVERIFY(probe.sent.endsWith("*MGMT\r\n"));
}

void TestSimInstrument::temperatureLines()
{
    InstrumentConfig config;
    config.seed = 7;
    InstrumentProbe probe(config);
    const QRegularExpression form(QStringLiteral("^\\*T = (\\d+\\.\\d{3}) K\r\n$"));
    for (int i = 1; i <= 5; ++i) {
        probe.sent.clear();
        probe.instrument.sendTemperature();
        const auto match = form.match(QString::fromLatin1(probe.sent));
        QVERIFY2(match.hasMatch(), probe.sent);
        // One reading per output period (the factory 1000 ms) along the cool-down curve.
        const double expected = TemperatureCurve::smooth(1.0 * i);
        QVERIFY(qAbs(match.captured(1).toDouble() - expected) < 0.01);
    }

    // Nothing in the boot loader.
    probe.feed(":system:reset\n\x03");
    probe.sent.clear();
    probe.instrument.sendTemperature();
    QCOMPARE(probe.sent, QByteArray());
}

void TestSimInstrument::temperatureNoiseFollowsSeed()
{
    const auto readings = [](quint32 seed) {
        TemperatureCurve curve(seed);
        QList<double> values;
        for (int i = 0; i < 20; ++i)
            values << curve.reading(i);
        return values;
    };
    QCOMPARE(readings(42), readings(42));
    QVERIFY(readings(42) != readings(43));
}

void TestSimInstrument::dropAcknowledgement()
{
    InstrumentConfig config;
    config.faults.dropAcknowledgement = 3;
    InstrumentProbe probe(config);
    const QByteArray table = calibrationTable(10);
    QCOMPARE(probe.feed(":cal:erase\n"), QByteArray("*cal-erase-done\r\n"));
    QCOMPARE(probe.feed(hexWrite(":cal:write", 0, table.left(48), 4)),
             QByteArray("*cal-write-done\r\n"));
    QCOMPARE(probe.feed(hexWrite(":cal:write", 48, table.mid(48, 48), 4)), QByteArray());
    QCOMPARE(probe.notes.last(), QStringLiteral("dropped acknowledgement \"*cal-write-done\""));
    // Only that one: the write itself took place and the next one is answered again.
    QCOMPARE(probe.feed(hexWrite(":cal:write", 96, table.mid(96), 4)),
             QByteArray("*cal-write-done\r\n"));
    QCOMPARE(probe.feed(":cal:commit\n"), QByteArray("*cal-commit-done\r\n"));
    QCOMPARE(probe.instrument.calibrationTable(), table);
}

void TestSimInstrument::garbling()
{
    const auto run = [](double rate, quint32 seed) {
        InstrumentConfig config;
        config.faults.garbleRate = rate;
        config.seed = seed;
        InstrumentProbe probe(config);
        QList<QByteArray> lines;
        for (int i = 0; i < 50; ++i)
            lines << probe.feed("*idn?\n");
        return lines;
    };

    const QList<QByteArray> always = run(1.0, 5);
    for (const QByteArray &line : always) {
        QCOMPARE(line.size(), identification.size());
        QVERIFY(line.endsWith("\r\n"));
        int changed = 0;
        for (int i = 0; i < line.size(); ++i)
            changed += line.at(i) != identification.at(i);
        QCOMPARE(changed, 1);
    }
    QCOMPARE(run(1.0, 5), always);
    QVERIFY(run(1.0, 6) != always);

    const QList<QByteArray> never = run(0.0, 5);
    QCOMPARE(never.count(identification), never.size());
    const QList<QByteArray> sometimes = run(0.5, 5);
    QVERIFY(sometimes.count(identification) > 0 && sometimes.count(identification) < 50);
}

void TestSimInstrument::silence()
{
    QTemporaryDir dir;
    InstrumentConfig config;
    config.faults.silent = true;
    config.statePath = dir.filePath(QStringLiteral("state.json"));
    InstrumentProbe probe(config);
    QCOMPARE(probe.feed("*idn?\n:cal:erase\n:relay1:temp 12\n:save\n"), QByteArray());
    QCOMPARE(probe.instrument.savedSettings().value("relay1:temp"), QByteArray("12.000"));
    QVERIFY(QFile::exists(config.statePath));
}

void TestSimInstrument::stateFileRoundTrip()
{
    QTemporaryDir dir;
    InstrumentConfig config;
    config.statePath = dir.filePath(QStringLiteral("state.json"));
    const QByteArray table = calibrationTable(3);
    {
        InstrumentProbe probe(config);
        QVERIFY(probe.instrument.powerUp(nullptr));
        probe.feed(":cal dt-400\n:rs232:period 0\n:rs485:period 750\n:relay1:default 1\n"
                   ":relay1:temp 4.2\n:relay1:hyst 0.25\n:relay2:default 0\n:relay2:temp 77\n"
                   ":relay2:hyst 1.5\n:display:period 3000\n:volt:cal fffc2f70 00fd70a3\n");
        QCOMPARE(probe.feed(":save\n"), QByteArray());
        QCOMPARE(probe.notes.last(), "state written to " + config.statePath);
        probe.feed(":cal:erase\n" + hexWrite(":cal:write", 0, table, 4) + ":cal:commit\n");
        // Not saved, so not kept.
        probe.feed(":relay2:temp 99\n");
    }

    InstrumentProbe probe(config);
    QString error;
    QVERIFY2(probe.instrument.powerUp(&error), qPrintable(error));
    QCOMPARE(probe.feed(":cal?\n:rs232:period?\n:rs485:period?\n:relay1:default?\n:relay1:temp?\n"
                        ":relay1:hyst?\n:relay2:default?\n:relay2:temp?\n:relay2:hyst?\n"
                        ":display:period?\n"),
             QByteArray("cal = dt-400\r\nrs232:period = 0\r\nrs485:period = 750\r\n"
                        "relay1:default = 1\r\nrelay1:temp = 4.200\r\nrelay1:hyst = 0.250\r\n"
                        "relay2:default = 0\r\nrelay2:temp = 77.000\r\nrelay2:hyst = 1.500\r\n"
                        "display:period = 3000\r\n"));
    QCOMPARE(probe.instrument.settings().adcOffset, -250000);
    QCOMPARE(probe.instrument.settings().adcSlope, 0x00fd70a3);
    QCOMPARE(probe.instrument.calibrationTable(), table);
    QCOMPARE(probe.instrument.automaticOutputPeriod(), 0);
}

void TestSimInstrument::stateFileErrors_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("problem");

    QTest::newRow("not JSON") << QByteArray("{") << QStringLiteral("unterminated object");
    QTest::newRow("array") << QByteArray("[]") << QStringLiteral("not a JSON object");
    QTest::newRow("unknown setting") << QByteArray(R"({"settings": {"relay3:temp": "1"}})")
                                     << QStringLiteral("unknown setting \"relay3:temp\"");
    QTest::newRow("bad value") << QByteArray(R"({"settings": {"cal": "pt100"}})")
                               << QStringLiteral("bad value for \"cal\"");
    QTest::newRow("number, not text")
        << QByteArray(R"({"settings": {"rs232:period": 250}})")
        << QStringLiteral("the value of \"rs232:period\" is not a string");
    QTest::newRow("slope fraction") << QByteArray(R"({"adc-slope": 1.5})")
                                    << QStringLiteral("\"adc-slope\" is not a 32-bit integer");
    QTest::newRow("offset too big") << QByteArray(R"({"adc-offset": 3000000000})")
                                    << QStringLiteral("\"adc-offset\" is not a 32-bit integer");
    QTest::newRow("table not hex")
        << QByteArray(R"({"calibration-table": "d441x"})")
        << QStringLiteral("\"calibration-table\" is not hexadecimal text");
}

void TestSimInstrument::stateFileErrors()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, problem);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.json"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    InstrumentConfig config;
    config.statePath = path;
    Instrument instrument(config);
    QString error;
    QVERIFY(!instrument.powerUp(&error));
    QCOMPARE(error, QStringLiteral("state file %1: %2").arg(path, problem));
}

void TestSimInstrument::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QString>("bootLoader");
    QTest::addColumn<QByteArray>("compat");
    QTest::addColumn<int>("period");

    const QByteArray r1(reinterpret_cast<const char *>(rimeglass::uuid_compat_stm32g071kb_r1), 16);
    const QByteArray r2(reinterpret_cast<const char *>(rimeglass::uuid_compat_stm32g070kb_r2), 16);
    QTest::newRow("defaults") << QStringList() << QStringLiteral("SIM-000001")
                              << QStringLiteral("1.5.2.0") << QStringLiteral("1.4.0.0") << r1
                              << 1000;
    QTest::newRow("all set") << QStringList{"--serial",
                                            "A17",
                                            "--firmware-version",
                                            "1.3.0.0",
                                            "--bootloader-version",
                                            "1.2",
                                            "--revision",
                                            "r2",
                                            "--period",
                                            "0"}
                             << QStringLiteral("A17") << QStringLiteral("1.3.0.0")
                             << QStringLiteral("1.2") << r2 << 0;
}

void TestSimInstrument::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, serial);
    QFETCH(QString, firmware);
    QFETCH(QString, bootLoader);
    QFETCH(QByteArray, compat);
    QFETCH(int, period);

    SimulatorOptions options;
    QVERIFY2(options.parse(QStringList{"rimeglass-sim"} + arguments),
             qPrintable(options.errorText()));
    const InstrumentConfig config = options.config();
    QCOMPARE(config.serialNumber, serial);
    QCOMPARE(config.firmwareVersion, firmware);
    QCOMPARE(config.bootLoaderVersion, bootLoader);
    QCOMPARE(config.compat, compat);
    QCOMPARE(config.factorySettings.rs232Period(), period);
}

void TestSimInstrument::optionErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    const auto row = [](const char *name, const QStringList &arguments, const char *error) {
        QTest::newRow(name) << arguments << QString::fromUtf8(error);
    };
    row("unknown option", {"--colour"}, "Unknown option 'colour'.");
    row("missing value", {"--state"}, "Missing value after '--state'.");
    row("positional", {"/dev/ttyS0"}, "unexpected argument \"/dev/ttyS0\"");
    row("revision", {"--revision", "r3"}, "invalid value \"r3\" for --revision: expected r1 or r2");
    row("doubled acknowledgement", {"--double-ack", "0"},
        "invalid value \"0\" for --double-ack: expected a count from 1");
    row("version", {"--firmware-version", "1.5.300"},
        "invalid value \"1.5.300\" for --firmware-version: expected a version such as 1.5.2.0");
    row("serial with comma", {"--serial", "A,B"},
        "invalid value \"A,B\" for --serial: expected printable ASCII without blanks or commas");
    row("period", {"--period", "5"},
        "invalid value \"5\" for --period: expected 0 or 10 to 60000 milliseconds");
    row("drop-ack 0", {"--drop-ack", "0"},
        "invalid value \"0\" for --drop-ack: expected a count from 1");
    row("garble rate", {"--garble-rate", "1.5"},
        "invalid value \"1.5\" for --garble-rate: expected a chance from 0 to 1");
    row("seed", {"--seed", "-1"},
        "invalid value \"-1\" for --seed: expected a number from 0 to 4294967295");
    row("empty dump path", {"--dump-flash", ""},
        "invalid value \"\" for --dump-flash: expected a file name");
}

void TestSimInstrument::optionErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    SimulatorOptions options;
    QVERIFY(!options.parse(QStringList{"rimeglass-sim"} + arguments));
    QCOMPARE(options.errorText(), error);
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestSimInstrument)
#include "test_sim_instrument.moc"
