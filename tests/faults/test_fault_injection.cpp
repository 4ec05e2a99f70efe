// Faults from outside, met by the real main window: an instrument (simulated, or played
// by the test on a pseudo-terminal) that loses acknowledgements, garbles its lines, sends
// binary noise or a line without end, or vanishes in the middle of a transfer; a settings
// store that cannot be written; calibration files and firmware containers that cannot be
// read, are cut short or are absurdly large.

#include "containerpacker.h"
#include "developmentseed.h"
#include "device-serial.h"
#include "instrument.h"
#include "pseudoterminal.h"
#include "pseudoterminal.h"
#include "scriptedinstrument.h"
#include "simulator.h"
#include "testmain.h"
#include "uuids.h"
#include "windowdriver.h"

#include <QDir>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>
#include <unistd.h>

using namespace windowdriver;

namespace {

// The link drops a line that grows beyond this without a line feed.
constexpr int receiveLimit = 64 * 1024;
// Files above this size are refused by the window without being read to the end.
constexpr qint64 inputFileLimit = 16 * 1024 * 1024;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool residentSizeIsMeaningful = false; // freed memory stays in quarantine
#else
constexpr bool residentSizeIsMeaningful = true;
#endif

QByteArray uuid(const rimeglass::Uuid &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes), sizeof(rimeglass::Uuid));
}

// A field of /proc/self/status, in bytes ("VmRSS", "VmHWM").
qint64 statusBytes(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// How far the resident size of this process rises above its present size while
// `action` runs, at its peak.
qint64 residentGrowth(const std::function<void()> &action)
{
    const qint64 before = statusBytes("VmRSS");
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
        return -1; // the peak cannot be reset
    clearRefs.close();
    action();
    return statusBytes("VmHWM") - before;
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 20000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

QByteArray littleEndian(qint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// A table whose values scale to whole millikelvin and microvolts, and the payload the
// instrument must end up with, put together here independently of the tool.
QVector<QPointF> calibrationPoints()
{
    QVector<QPointF> points;
    for (int i = 0; i < 20; ++i)
        points.append({10.5 + i, 1.5 - i * 0.03125});
    return points;
}

QByteArray calibrationFile(const QVector<QPointF> &points)
{
    QByteArray text = "T V\n";
    for (const QPointF &point : points)
        text += QByteArray::number(point.x(), 'f', 5) + " " + QByteArray::number(point.y(), 'f', 5)
            + "\n";
    return text;
}

QByteArray calibrationPayload(const QByteArray &name, const QVector<QPointF> &points)
{
    QByteArray payload = littleEndian(0x05de41d4) + littleEndian(points.size())
        + name.leftJustified(16, '\0', true);
    for (const QPointF &point : points)
        payload += littleEndian(qint32(point.x() * 1000.0)) + littleEndian(qint32(point.y() * 1e6));
    return payload;
}

// An image the simulated instrument adopts: it reports the version in its tag once booted.
QByteArray firmwareImage(const QByteArray &version, int size)
{
    QByteArray image = "SIMFW " + version + '\0';
    while (image.size() < size)
        image.append(char(image.size() * 37 + 11));
    return image;
}

QByteArray paddedToBlocks(const QByteArray &bytes)
{
    return bytes + QByteArray((8 - bytes.size() % 8) % 8, char(0xff));
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) < 0)
        qFatal("cannot write %s", qPrintable(path));
}

// The temperatures the tool should take from what an instrument sent: the lines that
// begin with "*T = " and carry a number before their two-character unit.
QList<double> readableTemperatures(const QByteArray &sent)
{
    QList<double> values;
    for (const QByteArray &line : sent.split('\n')) {
        const QByteArray text = line.endsWith('\r') ? line.chopped(1) : line;
        if (!text.startsWith("*T = ") || text.size() < 7)
            continue;
        bool ok = false;
        const double value = text.mid(5, text.size() - 7).trimmed().toDouble(&ok);
        if (ok)
            values.append(value);
    }
    return values;
}

QList<double> plottedTemperatures(const MainWindow &window)
{
    QList<double> values;
    for (const QPointF &point : curvePoints(window, "plotFrame"))
        values.append(point.y());
    return values;
}

// The main window with a simulated instrument in its port list. Everything the
// instrument receives and sends is kept, and so are its notes.
struct SimulatedBench
{
    std::unique_ptr<Simulator> simulator;
    std::unique_ptr<MainWindow> window;
    bool started = false;
    QByteArray received;
    QByteArray sent;
    QStringList notes;

    explicit SimulatedBench(const InstrumentConfig &config)
        : window(new MainWindow)
    {
        replaceInstrument(config);
    }

    ~SimulatedBench()
    {
        window.reset();
        simulator.reset();
    }

    void replaceInstrument(const InstrumentConfig &config)
    {
        simulator.reset(new Simulator(config));
        started = false;
        QObject::connect(simulator->instrument(), &Instrument::transmit,
                         [this](const QByteArray &bytes) { sent += bytes; });
        QObject::connect(simulator->instrument(), &Instrument::note,
                         [this](const QString &text) { notes << text; });
        QObject::connect(terminal(), &PseudoTerminal::bytesReceived,
                         [this](const QByteArray &bytes) { received += bytes; });
    }

    PseudoTerminal *terminal() const { return simulator->findChild<PseudoTerminal *>(); }

    bool open()
    {
        QString error;
        if (!started && !simulator->start(&error))
            qFatal("%s", qPrintable(error));
        started = true;
        auto *combo = child<QComboBox>(window.get(), "serialPortCombo");
        if (combo->findData(simulator->portName()) < 0)
            combo->addItem(simulator->portName(), simulator->portName());
        combo->setCurrentIndex(combo->findData(simulator->portName()));
        click(*window, "serialPortOpenButton");
        return waitUntil([this] { return liveDevice(*window) && quiet(); });
    }

    // The exchange has come to rest: the instrument got no command and sent no line
    // for a while, the tool has read everything and has nothing left to write.
    bool quiet()
    {
        const int before = received.size() + sent.size();
        for (int i = 0; i < 12; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            ::usleep(5000);
        }
        const QSerialPort *port = toolPort(*window);
        return received.size() + sent.size() == before && terminal()->unreadByTool() == 0
            && (!port || port->bytesToWrite() == 0);
    }

    bool settle()
    {
        return waitUntil([this] { return quiet(); });
    }
};

} // namespace

class TestFaultInjection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void transferFaults_data();
    void transferFaults();
    void garbledLines();
    void binaryLines();
    void tenMegabyteLineWithoutLineFeed();
    void portVanishesDuringTransfer_data();
    void portVanishesDuringTransfer();
    void settingsStoreCannotBeWritten();
    void unusableCalibrationFile_data();
    void unusableCalibrationFile();
    void unusableContainerFile_data();
    void unusableContainerFile();

private:
    InstrumentConfig simulatedInstrument(int dropAcknowledgement = 0) const;
    QString writeContainer(const QByteArray &image, bool bothRevisions = false);
    void importCalibrationTable(SimulatedBench &bench);
    void startFirmwareUpgrade(SimulatedBench &bench, const QString &container);

    QByteArray seed;
    bool developmentKeyTrusted = false;
    QTemporaryDir files;
};

void TestFaultInjection::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    seed = developmentseed::load();
    QCOMPARE(seed.size(), 32);
    developmentKeyTrusted = developmentseed::trustedByThisBuild(seed);
}

void TestFaultInjection::init()
{
    QSettings().clear();
}

void TestFaultInjection::cleanup()
{
    cancelPendingAnswers();
}

InstrumentConfig TestFaultInjection::simulatedInstrument(int dropAcknowledgement) const
{
    InstrumentConfig config;
    config.compat = uuid(rimeglass::uuid_compat_stm32g071kb_r1);
    config.bootWindowMs = 30;
    config.faults.dropAcknowledgement = dropAcknowledgement;
    config.seed = 7;
    return config;
}

QString TestFaultInjection::writeContainer(const QByteArray &image, bool bothRevisions)
{
    ContainerPacker packer;
    packer.setVersion(QStringLiteral("1.6.0.0"));
    packer.setVendor(QStringLiteral("MORVA"));
    packer.setModel(QStringLiteral("ZURKD550"));
    packer.addImage(uuid(rimeglass::uuid_compat_stm32g071kb_r1), image);
    if (bothRevisions)
        packer.addImage(uuid(rimeglass::uuid_compat_stm32g070kb_r2), image);
    const QString path = files.filePath(QStringLiteral("firmware.crp"));
    writeFile(path, packer.pack(seed));
    return path;
}

void TestFaultInjection::importCalibrationTable(SimulatedBench &bench)
{
    const QString path = files.filePath(QStringLiteral("sensor.dat"));
    writeFile(path, calibrationFile(calibrationPoints()));
    answerNextFileDialog(path);
    click(*bench.window, "sensorFileChooseButton");
    child<QLineEdit>(bench.window.get(), "sensorNameEdit")->setText(QStringLiteral("Faulty"));
}

void TestFaultInjection::startFirmwareUpgrade(SimulatedBench &bench, const QString &container)
{
    answerNextFileDialog(container);
    answerNextMessageBox(QMessageBox::Yes);
    click(*bench.window, "upgradeButton");
}

// Each row: a fault of the simulated instrument during a transfer started from the window,
// the message the window shows (none when the transfer completes), and whether the
// operator then cancels the stalled transfer and runs it again to the end.
void TestFaultInjection::transferFaults_data()
{
    QTest::addColumn<bool>("firmware");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("acknowledgement");
    QTest::addColumn<QString>("message");

    // 20 points make a payload of 184 bytes, 4 writes of 48; acknowledgement 1 is the
    // erase's. The image of 500 bytes is padded to 504, 5 writes of 112.
    QTest::newRow("calibration, silent step")
        << false << "drop" << 3
        << "The instrument stopped answering during the upload. 96 of 184 bytes were written. "
           "The custom table was erased; upload it again.";
    QTest::newRow("calibration, restart mid-upload")
        << false << "reboot" << 3
        << "The instrument restarted during the upload. 96 of 184 bytes were written. The "
           "custom table was erased; upload it again.";
    QTest::newRow("calibration, doubled acknowledgement") << false << "double" << 2 << QString();
    QTest::newRow("firmware, silent erase")
        << true << "drop" << 1
        << "The instrument stopped answering during the upgrade. 0 of 504 bytes were written. "
           "The instrument is still in its boot loader: run the upgrade again to finish.";
    QTest::newRow("firmware, restart mid-upgrade")
        << true << "reboot" << 3
        << "The instrument restarted during the upgrade. 224 of 504 bytes were written. The "
           "instrument is still in its boot loader: run the upgrade again to finish.";
    QTest::newRow("firmware, doubled acknowledgement") << true << "double" << 3 << QString();
    QTest::newRow("firmware, cancelled")
        << true << "cancel" << 2
        << "The upgrade was cancelled. 112 of 504 bytes were written. The instrument is still "
           "in its boot loader: run the upgrade again to finish.";
    // A garbled version reads as "before 1.4": the built-in revision 1 is assumed for an
    // instrument of revision 2, and the revision-1 image is chosen.
    QTest::newRow("firmware, garbled identification")
        << true << "garble" << 0
        << "The boot loader reports hardware revision 2, but the image was chosen for hardware "
           "revision 1. Nothing was erased. The instrument may be waiting in its boot loader: "
           "open the port again and run the upgrade again.";
}

void TestFaultInjection::transferFaults()
{
    QFETCH(bool, firmware);
    QFETCH(QString, fault);
    QFETCH(int, acknowledgement);
    QFETCH(QString, message);
    if (firmware && !developmentKeyTrusted)
        QSKIP("this build trusts another key than the development one");

    InstrumentConfig config = simulatedInstrument();
    if (fault == QLatin1String("drop") || fault == QLatin1String("cancel"))
        config.faults.dropAcknowledgement = acknowledgement;
    else if (fault == QLatin1String("reboot"))
        config.faults.rebootAtAcknowledgement = acknowledgement;
    else if (fault == QLatin1String("double"))
        config.faults.doubleAcknowledgement = acknowledgement;
    if (fault == QLatin1String("garble")) {
        config.faults.garbleIdentification = 1;
        config.compat = uuid(rimeglass::uuid_compat_stm32g070kb_r2);
    }
    SimulatedBench bench(config);
    QVERIFY(bench.open());

    const QByteArray image = firmwareImage("1.6.0.0", 500);
    const QByteArray table = calibrationPayload("Faulty", calibrationPoints());
    const QString container = firmware ? writeContainer(image, true) : QString();
    const auto start = [&] {
        if (firmware) {
            startFirmwareUpgrade(bench, container);
        } else {
            importCalibrationTable(bench);
            click(*bench.window, "sensorUploadButton");
        }
    };
    start();
    std::shared_ptr<MessageBoxSeen> seen;
    if (fault == QLatin1String("drop")) {
        // The transfer stalls where the acknowledgement went missing; its time-out, cut
        // short here, ends it.
        QVERIFY(bench.settle());
        seen = answerNextMessageBox(QMessageBox::Ok);
        liveDevice(*bench.window)->setTransferTimeouts({50, 50, 50});
    } else if (fault == QLatin1String("cancel")) {
        QVERIFY(bench.settle());
        seen = answerNextMessageBox(QMessageBox::Ok);
        click(*bench.window, "transferCancelButton");
    } else if (!message.isEmpty()) {
        seen = answerNextMessageBox(QMessageBox::Ok);
    }
    QVERIFY(bench.settle());
    Instrument *instrument = bench.simulator->instrument();

    if (message.isEmpty()) {
        QVERIFY2(!bench.sent.contains("*ERROR"), bench.sent.constData());
        if (firmware) {
            QTRY_COMPARE(text(*bench.window, "versionValue"), QStringLiteral("1.6.0.0"));
            QCOMPARE(statusText(*bench.window), QStringLiteral("Firmware upgraded to 1.6.0.0"));
        } else {
            QCOMPARE(instrument->calibrationTable(), table);
            QCOMPARE(statusText(*bench.window),
                     QStringLiteral("Calibration table \"Faulty\" uploaded, 20 points"));
        }
        return;
    }

    QVERIFY(waitUntil([&] { return seen->shown; }));
    QCOMPARE(seen->icon, QMessageBox::Critical);
    QCOMPARE(seen->title,
             firmware ? QStringLiteral("Firmware upgrade") : QStringLiteral("Calibration upload"));
    QCOMPARE(seen->text, message);
    QVERIFY(child<QProgressBar>(bench.window.get(), "progressBar")->text().startsWith("Failed"));
    QVERIFY(!child<QWidget>(bench.window.get(), "transferCancelButton")->isEnabled());
    QCOMPARE(bench.received.contains("boot\n") || bench.received.contains(":cal:commit\n"), false);
    if (!firmware) {
        QVERIFY(instrument->calibrationTable().isEmpty());
        return;
    }
    QCOMPARE(instrument->mode(), Instrument::Mode::Management);
    QCOMPARE(instrument->firmwareVersion(), QStringLiteral("1.5.2.0"));
    if (fault == QLatin1String("garble")) {
        QVERIFY(!bench.received.contains("@02\n"));
        return;
    }

    // The boot loader took over the port's identification; an upgrade from there starts at
    // its erase and runs to the end.
    QTRY_COMPARE(text(*bench.window, "modelValue"), QStringLiteral("ZURKD550-BS"));
    bench.received.clear();
    start();
    QVERIFY(bench.settle());
    QVERIFY(bench.received.startsWith("@02\n"));
    QCOMPARE(instrument->flash().left(504), paddedToBlocks(image));
    QTRY_COMPARE(text(*bench.window, "versionValue"), QStringLiteral("1.6.0.0"));
}

void TestFaultInjection::garbledLines()
{
    InstrumentConfig config = simulatedInstrument();
    config.faults.garbleRate = 0.3;
    SimulatedBench bench(config);
    QVERIFY(bench.open());
    bench.sent.clear();

    const int count = 200;
    for (int i = 0; i < count; ++i)
        bench.simulator->instrument()->sendTemperature();
    const QList<double> expected = readableTemperatures(bench.sent);
    // Some of the lines were damaged beyond reading.
    QVERIFY(!expected.isEmpty());
    QVERIFY(expected.size() < count);

    QVERIFY(bench.settle());
    const QList<double> plotted = plottedTemperatures(*bench.window);
    QCOMPARE(plotted.mid(plotted.size() - expected.size()), expected);
    QVERIFY(liveDevice(*bench.window));
    QVERIFY(child<QWidget>(bench.window.get(), "serialPortCloseButton")->isEnabled());
    QCOMPARE(text(*bench.window, "temperatureValue"),
             QString::asprintf("%5.3lf K", expected.last()));
}

void TestFaultInjection::binaryLines()
{
    MainWindow window;
    PseudoTerminal peer;
    ScriptedInstrument instrument;
    peer.setResponder([&](const QByteArray &token) { return instrument.respond(token); });
    openOn(window, peer);
    peer.settle(toolPort(window));
    QCOMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));
    peer.setResponder({});
    peer.collect(toolPort(window));

    // Random bytes other than line ends, and a few lines made to hurt: NUL in front of a
    // known form, ETX, invalid and overlong UTF-8, a surrogate, an identification cut short
    // by NUL. Every tenth line is a good temperature.
    QList<QByteArray> lines = {QByteArray("\0*RESET \x03", 9),
                               "\xff\xfe\xfd\xfc",
                               "\x03\x03\x03",
                               "\xc3\x28 = \xa0\xa1",
                               "\xc0\xaf\xe0\x80\xaf",
                               "\xed\xa0\x80*T = 1.0 K",
                               QByteArray("MORVA,\0ZURKD550,SN1,1.3", 23),
                               "*T = \xff\xff K"};
    QRandomGenerator random(42);
    for (int i = 0; i < 150; ++i) {
        QByteArray line(int(random.bounded(1, 300)), Qt::Uninitialized);
        for (char &byte : line) {
            do
                byte = char(random.bounded(256));
            while (byte == '\n' || byte == '\r');
        }
        lines.append(line);
    }
    QByteArray stream;
    QList<double> expected;
    for (int i = 0; i < lines.size(); ++i) {
        stream += lines.at(i) + "\r\n";
        if (i % 10 == 9) {
            expected.append(200.0 + i);
            stream += QByteArray("*T = ") + QByteArray::number(200.0 + i, 'f', 3) + " K\r\n";
        }
    }
    peer.send(stream);

    // Nothing answers the noise; a line that has the parameter form, whatever its bytes,
    // only moves the settings read-back on to its next query.
    static const QRegularExpression readBackQuery(QStringLiteral("^:[a-z0-9:]+\\?$"));
    const QByteArray written = peer.collect(toolPort(window));
    for (const QByteArray &command : written.split('\n').mid(0, written.count('\n')))
        QVERIFY2(readBackQuery.match(QString::fromLatin1(command)).hasMatch(), command.constData());
    QVERIFY(written.isEmpty() || written.endsWith('\n'));
    QCOMPARE(plottedTemperatures(window), expected);
    Device *device = liveDevice(window);
    QVERIFY(device);
    QVERIFY(device->rxBuffer.isEmpty());
    QCOMPARE(device->model, QStringLiteral("ZURKD550"));
    QCOMPARE(text(window, "serialNumberValue"), QStringLiteral("SN42"));
}

void TestFaultInjection::tenMegabyteLineWithoutLineFeed()
{
    SimulatedBench bench(simulatedInstrument());
    QVERIFY(bench.open());
    QCOMPARE(text(*bench.window, "serialNumberValue"), QStringLiteral("SIM-000001"));
    Device *device = liveDevice(*bench.window);
    PseudoTerminal *terminal = bench.terminal();

    QByteArray noise(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char('!' + i % 90);
    const auto sendNoise = [&](int pieces) {
        int largest = 0;
        for (int i = 0; i < pieces; ++i) {
            terminal->send(noise);
            if (!waitUntil([&] { return terminal->unreadByTool() == 0; }))
                return -1;
            QCoreApplication::processEvents();
            largest = qMax(largest, device->rxBuffer.size());
        }
        return largest;
    };
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    sendNoise(16); // the buffers settle at their working size
    int largest = 0;
    const qint64 growth = residentGrowth([&] { largest = sendNoise(160); }); // 10 MiB
    // Then noise in small pieces until the link has just dropped what it held.
    noise.truncate(1024);
    for (int i = 0; i < 200 && device->rxBuffer.size() > 0; ++i)
        sendNoise(1);
    QLoggingCategory::setFilterRules(QString());

    QVERIFY2(largest >= 0 && largest <= receiveLimit, qPrintable(QString::number(largest)));
    QCOMPARE(device->rxBuffer.size(), 0);
    if (residentSizeIsMeaningful)
        QVERIFY2(growth >= 0 && growth < 8 * 1024 * 1024,
                 qPrintable(QStringLiteral("grew by %1 bytes").arg(growth)));

    // The end of the endless line looks like an identification; it is still the end of
    // that line and changes nothing. The same text on a line of its own is understood.
    terminal->send("MORVA,ZURKD550,SIM-999999,1.3\r\n");
    QVERIFY(bench.settle());
    QCOMPARE(text(*bench.window, "serialNumberValue"), QStringLiteral("SIM-000001"));
    QVERIFY(device->rxBuffer.isEmpty());
    terminal->send("MORVA,ZURKD550,SIM-999999,1.3\r\n");
    QTRY_COMPARE(text(*bench.window, "serialNumberValue"), QStringLiteral("SIM-999999"));
}

void TestFaultInjection::portVanishesDuringTransfer_data()
{
    QTest::addColumn<bool>("firmware");
    QTest::newRow("calibration upload") << false;
    QTest::newRow("firmware upgrade") << true;
}

void TestFaultInjection::portVanishesDuringTransfer()
{
    QFETCH(bool, firmware);
    if (firmware && !developmentKeyTrusted)
        QSKIP("this build trusts another key than the development one");

    SimulatedBench bench(simulatedInstrument());
    QVERIFY(bench.open());
    const QString container = firmware ? writeContainer(firmwareImage("1.6.0.0", 900)) : QString();
    if (!firmware)
        importCalibrationTable(bench);

    // Right after the instrument acknowledges the second write, it is gone: its side of
    // the line closes, as when the adapter is pulled out.
    const QByteArray acknowledgement = firmware ? "*WRITE_OK" : "*cal-write-done";
    bool pulled = false;
    QObject::connect(bench.simulator->instrument(), &Instrument::transmit, bench.window.get(),
                     [&](const QByteArray &) {
                         if (!pulled && bench.sent.count(acknowledgement) == 2) {
                             pulled = true;
                             QTimer::singleShot(0, [&] { bench.simulator.reset(); });
                         }
                     });
    QTest::ignoreMessage(QtDebugMsg, "Closing port ...");
    const QString lostPort = bench.simulator->portName();
    if (firmware)
        startFirmwareUpgrade(bench, container);
    else
        click(*bench.window, "sensorUploadButton");
    const auto seen = answerNextMessageBox(QMessageBox::Ok);

    QTRY_VERIFY_WITH_TIMEOUT(!bench.simulator, 10000);
    QVERIFY(waitUntil([&] { return seen->shown; }));
    QVERIFY2(seen->text.startsWith(firmware ? "The port was closed during the upgrade."
                                            : "The port was closed during the upload."),
             qPrintable(seen->text));
    QTRY_COMPARE_WITH_TIMEOUT(statusText(*bench.window),
                              "Port lost \u2014 waiting for " + lostPort + " to come back", 10000);
    QVERIFY(!liveDevice(*bench.window));
    QVERIFY(child<QWidget>(bench.window.get(), "serialPortCloseButton")->isEnabled());
    QVERIFY(child<QWidget>(bench.window.get(), "serialPortOpenButton")->isEnabled());
    const int progress = child<QProgressBar>(bench.window.get(), "progressBar")->value();
    QVERIFY2(progress > 0 && progress < 100, qPrintable(QString::number(progress)));

    // Another instrument can be opened at once.
    bench.replaceInstrument(simulatedInstrument());
    QVERIFY(bench.open());
    QCOMPARE(statusText(*bench.window), QStringLiteral("Settings read from the instrument"));
    QCOMPARE(text(*bench.window, "modelValue"), QStringLiteral("ZURKD550"));
}

void TestFaultInjection::settingsStoreCannotBeWritten()
{
    // A file where the store's folder belongs: no one, not even root, can write there.
    const QString folder = QFileInfo(QSettings().fileName()).absolutePath();
    QVERIFY(QDir(folder).removeRecursively());
    QVERIFY(QDir().mkpath(QFileInfo(folder).absolutePath()));
    writeFile(folder, "in the way\n");

    {
        MainWindow window;
        PseudoTerminal peer;
        ScriptedInstrument instrument;
        peer.setResponder([&](const QByteArray &token) { return instrument.respond(token); });
        QCOMPARE(openOn(window, peer).left(8), QByteArray("\x03\n*idn?\n", 8));
        QCOMPARE(statusText(window), QStringLiteral("Ready"));
        QCOMPARE(text(window, "modelValue"), QStringLiteral("ZURKD550"));

        // A changed value still reaches the instrument, though it cannot be stored.
        peer.setResponder({});
        peer.collect(toolPort(window));
        child<QDoubleSpinBox>(&window, "relay1TempSpin")->setValue(25.0);
        QCOMPARE(peer.collect(toolPort(window)), QByteArray(":relay1:temp 25.000\n"));

        // A calibration table is still imported, though its folder cannot be remembered.
        const QString table = files.filePath(QStringLiteral("store-test.dat"));
        writeFile(table, calibrationFile(calibrationPoints()));
        answerNextFileDialog(table);
        click(window, "sensorFileChooseButton");
        QCOMPARE(curvePoints(window, "sensorPlotFrame").size(), calibrationPoints().size());

        QSettings store;
        store.setValue(QStringLiteral("/probe"), 1);
        store.sync();
        QCOMPARE(store.status(), QSettings::AccessError);
    }
    QVERIFY(QFileInfo(folder).isFile());
    QVERIFY(QFile::remove(folder));
}

void TestFaultInjection::unusableCalibrationFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("reads fail") << "unreadable";
    QTest::newRow("100 MB of good lines") << "huge";
    QTest::newRow("a device without end") << "endless";
    QTest::newRow("1 MiB, far beyond any real table") << "large";
}

void TestFaultInjection::unusableCalibrationFile()
{
    QFETCH(QString, kind);

    MainWindow window;
    QString path;
    qint64 fileSize = 0;
    if (kind == QLatin1String("unreadable")) {
        path = QStringLiteral("/proc/self/mem"); // opens, but reading at offset 0 fails
    } else if (kind == QLatin1String("endless")) {
        path = QStringLiteral("/dev/zero");
    } else {
        path = files.filePath(kind + QStringLiteral(".dat"));
        fileSize = kind == QLatin1String("huge") ? 100 * 1000 * 1000 : 1024 * 1024;
        const QByteArray line = "77.35000 1.02345\n";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        const QByteArray block = line.repeated(int(1024 * 1024 / line.size()));
        while (file.size() + block.size() <= fileSize)
            file.write(block);
        while (file.size() + line.size() <= fileSize)
            file.write(line);
    }

    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    answerNextFileDialog(path);
    const qint64 growth = residentGrowth([&] { click(window, "sensorFileChooseButton"); });
    QLoggingCategory::setFilterRules(QString());

    QCOMPARE(text(window, "sensorFileEdit"), path);
    const QVector<QPointF> points = curvePoints(window, "sensorPlotFrame");
    if (kind == QLatin1String("large")) {
        // A file below the limit is read whole, however unusual its size: the limit
        // only keeps out what no one would call a calibration table.
        QCOMPARE(points.size(), int(fileSize / 17));
        QCOMPARE(points.last(), QPointF(77.35, 1.02345));
        return;
    }
    QVERIFY(points.isEmpty());
    if (residentSizeIsMeaningful)
        QVERIFY2(growth >= 0 && growth < 2 * inputFileLimit,
                 qPrintable(QStringLiteral("grew by %1 bytes").arg(growth)));
}

void TestFaultInjection::unusableContainerFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("cut short") << "truncated";
    QTest::newRow("only the signature") << "signature";
    QTest::newRow("200 MB") << "huge";
    QTest::newRow("a device without end") << "endless";
}

void TestFaultInjection::unusableContainerFile()
{
    QFETCH(QString, kind);

    MainWindow window;
    PseudoTerminal peer;
    ScriptedInstrument instrument;
    peer.setResponder([&](const QByteArray &token) { return instrument.respond(token); });
    openOn(window, peer);
    peer.settle(toolPort(window));
    peer.setResponder({});
    peer.collect(toolPort(window));

    QString path = files.filePath(kind + QStringLiteral(".crp"));
    const QByteArray container = [&] {
        ContainerPacker packer;
        packer.setVersion(QStringLiteral("1.8"));
        packer.addImage(uuid(rimeglass::uuid_compat_stm32g071kb_r1), firmwareImage("1.8", 4000));
        return packer.pack(seed);
    }();
    if (kind == QLatin1String("truncated")) {
        writeFile(path, container.left(container.size() / 2));
    } else if (kind == QLatin1String("signature")) {
        writeFile(path, container.left(64));
    } else if (kind == QLatin1String("huge")) {
        // The good container at the front of a file of 200 MB, mostly a hole.
        writeFile(path, container);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.resize(200 * 1000 * 1000));
    } else {
        path = QStringLiteral("/dev/zero");
    }

    answerNextFileDialog(path);
    const auto box = answerNextMessageBox(QMessageBox::Ok);
    const qint64 growth = residentGrowth([&] { click(window, "upgradeButton"); });

    QVERIFY(box->shown);
    QCOMPARE(box->text, QStringLiteral("Invalid or unsupported firmware file"));
    QCOMPARE(peer.collect(toolPort(window)), QByteArray());
    QCOMPARE(liveDevice(window)->upgradeState, -1);
    if (residentSizeIsMeaningful)
        QVERIFY2(growth >= 0 && growth < 2 * inputFileLimit,
                 qPrintable(QStringLiteral("grew by %1 bytes").arg(growth)));
}

RIMEGLASS_TEST_MAIN(QApplication, TestFaultInjection)
#include "test_fault_injection.moc"
