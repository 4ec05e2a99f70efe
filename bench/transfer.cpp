// Transfers: a firmware image as large as the simulated instrument's application flash
// (120 KiB) and a calibration table as large as its sensor table's store (509 points)
// sent by the real Device through a pseudo-terminal to the simulated instrument, which
// acknowledges each step.
// The tool's CPU time (this process only; the instrument is another process) is set
// against the time the bytes it sends take on the wire.

#include "benchsupport.h"
#include "calibrationtable.h"
#include "containerpacker.h"
#include "device-serial.h"
#include "firmware.h"
#include "instrumentlimits.h"
#include "signingkeys.h"
#include "simulatedinstrument.h"
#include "simulatorprocess.h"
#include "uuids.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <sodium.h>

namespace {

// As large as a real image may be: the application's part of the instrument's flash.
const int firmwareBytes = bench::sized(SimulatedInstrument::applicationFlashBytes, 8 * 1024);
// As many points as the instrument's store takes.
const int calibrationPoints = bench::sized(rimeglass::InstrumentLimits::calibrationPoints, 100);
const int runs = bench::sized(3, 1);
constexpr int firmwareChunkBytes = 112;

struct Transfer
{
    double cpuSeconds = 0.0;
    double wallSeconds = 0.0;
    qint64 bytesSent = 0;
    int chunks = 0;
};

// How long the peer may go without acknowledging a step; a whole transfer takes longer
// when the simulated instrument answers no sooner than the line would bring its answer.
constexpr int patienceMs = 20000;

// Runs the event loop until `done`; false when the device made no progress for too long.
// The timer fires only then, so waiting costs no CPU.
bool waitUntil(Device &device, const std::function<bool()> &done)
{
    QTimer patience;
    patience.setSingleShot(true);
    patience.start(patienceMs);
    const QMetaObject::Connection progress = QObject::connect(
        &device, &Device::progress, &patience, [&patience] { patience.start(patienceMs); });
    while (!done()) {
        if (!patience.isActive()) {
            QObject::disconnect(progress);
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QObject::disconnect(progress);
    return true;
}

// Runs one transfer from its start call until its last command has left the port.
Transfer measure(Device &device, const std::function<bool()> &start,
                 const std::function<bool()> &finished)
{
    Transfer transfer;
    int lastOffset = -1;
    const auto progress = QObject::connect(&device, &Device::progress, [&](int state, int) {
        if (state > lastOffset && state > 0)
            ++transfer.chunks;
        lastOffset = state;
    });
    const auto written = QObject::connect(device.port, &QSerialPort::bytesWritten,
                                          [&](qint64 bytes) { transfer.bytesSent += bytes; });

    const double wallStart = bench::monotonicSeconds();
    const double cpuStart = bench::processCpuSeconds();
    if (start() && waitUntil(device, finished))
        waitUntil(device, [&] { return device.port->bytesToWrite() == 0; });
    transfer.cpuSeconds = bench::processCpuSeconds() - cpuStart;
    transfer.wallSeconds = bench::monotonicSeconds() - wallStart;

    QObject::disconnect(progress);
    QObject::disconnect(written);
    return transfer;
}

QByteArray firmwareImage()
{
    QByteArray image(firmwareBytes, Qt::Uninitialized);
    quint32 state = 0x2545f491;
    for (char &byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    return image;
}

QByteArray revision1()
{
    return rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
}

QByteArray calibrationPayload()
{
    QVector<double> temperatures;
    QVector<double> voltages;
    for (int i = 0; i < calibrationPoints; ++i) {
        temperatures.append(1.4 + i * 0.25);
        voltages.append(1.7 - i * 0.0006);
    }
    return CalibrationTable::encodePayload(QStringLiteral("DT-670 SN12345"), temperatures,
                                           voltages);
}

Transfer median(const QVector<Transfer> &transfers)
{
    QVector<double> cpu;
    QVector<double> wall;
    for (const Transfer &transfer : transfers) {
        cpu.append(transfer.cpuSeconds);
        wall.append(transfer.wallSeconds);
    }
    Transfer result = transfers.value(0);
    result.cpuSeconds = bench::median(cpu);
    result.wallSeconds = bench::median(wall);
    return result;
}

enum class Rows { PerChunkAndInAll, PerChunk };

// Prints the rows of one transfer; false when it did not take the chunks it should.
bool printTransferRows(const QString &what, const Transfer &transfer, int expectedChunks,
                       Rows rows = Rows::PerChunkAndInAll)
{
    const QString figure = QStringLiteral("3 transfer");
    const double wireSeconds = transfer.bytesSent / bench::wireBytesPerSecond;
    const double overhead = transfer.cpuSeconds / wireSeconds;
    const bool complete = transfer.chunks == expectedChunks;
    if (!complete)
        std::fprintf(stderr, "transfer: %s took %d chunks, expected %d\n", qPrintable(what),
                     transfer.chunks, expectedChunks);
    bench::printRow(
        figure, QStringLiteral("%1: tool CPU per chunk (%2 chunks)").arg(what).arg(transfer.chunks),
        bench::duration(transfer.cpuSeconds / transfer.chunks),
        QStringLiteral("%1 % of its wire time (%2)")
            .arg(bench::grouped(100.0 * overhead, 3))
            .arg(bench::duration(wireSeconds / transfer.chunks)),
        QStringLiteral("< 1 %"),
        complete ? bench::verdict(overhead < 0.01) : QStringLiteral("INCOMPLETE"));
    if (rows == Rows::PerChunk)
        return complete;
    bench::printRow(
        figure,
        QStringLiteral("%1: tool CPU in all (%2 bytes sent; wall %3 to the peer)")
            .arg(what, bench::grouped(transfer.bytesSent), bench::duration(transfer.wallSeconds)),
        bench::duration(transfer.cpuSeconds),
        QStringLiteral("%1 % of %2 on the wire")
            .arg(bench::grouped(100.0 * overhead, 3), bench::duration(wireSeconds)),
        QStringLiteral("< 1 %"),
        complete ? bench::verdict(overhead < 0.01) : QStringLiteral("INCOMPLETE"));
    return complete;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // The simulated instrument, in its boot loader, acknowledges each step at once.
    SimulatorProcess peer({QStringLiteral("--management"), QStringLiteral("--bootloader-version"),
                           QStringLiteral("1.5.0.0"), QStringLiteral("--period"),
                           QStringLiteral("0")});
    if (!peer.start()) {
        std::fprintf(stderr, "transfer: the simulator did not start: %s\n",
                     peer.errors().constData());
        return 1;
    }
    bench::discardDebugLog();
    if (sodium_init() < 0)
        return 1;

    // The container is made as the maker makes it, and checked as the upgrade flow does.
    const QByteArray image = firmwareImage();
    ContainerPacker packer;
    packer.setVersion(QStringLiteral("1.6.0.0"));
    packer.setVendor(QStringLiteral("MORVA"));
    packer.setModel(QStringLiteral("ZURKD550"));
    packer.addImage(revision1(), image);
    const QByteArray container
        = packer.pack(readSeedFile(QStringLiteral(RIMEGLASS_KEYS_DIR "/development-seed.hex")));

    Device device(nullptr);
    bool identified = false;
    QObject::connect(&device, &Device::identified, [&] { identified = true; });
    if (!device.openPort(peer.portName())) {
        std::fprintf(stderr, "transfer: cannot open %s\n", qPrintable(peer.portName()));
        return 1;
    }
    if (!waitUntil(device, [&] { return identified; })) {
        std::fprintf(stderr, "transfer: the peer did not identify itself\n");
        return 1;
    }

    const double checkStart = bench::processCpuSeconds();
    std::unique_ptr<Firmware> firmware(Firmware::fromFileData(container, device.compat));
    const double checkSeconds = bench::processCpuSeconds() - checkStart;
    const bool checked = firmware->valid() && firmware->blob() == image;
    if (!checked)
        std::fprintf(stderr, "transfer: the container did not check out\n");

    QVector<Transfer> firmwareRuns;
    QVector<Transfer> calibrationRuns;
    QVector<Transfer> quietCalibrationRuns;
    const QByteArray payload = calibrationPayload();
    bool applicationIdentified = false;
    QObject::connect(&device, &Device::identified,
                     [&] { applicationIdentified = applicationIdentified || !device.bootstrap; });
    for (int run = 0; run < runs; ++run) {
        firmwareRuns.append(measure(
            device,
            [&] {
                applicationIdentified = false;
                return device.upgradeFirmware(image);
            },
            [&] { return device.upgradeState == -1; }));
        // The new firmware announces itself, which ends any transfer still running, and
        // is identified again: only then does the table go to it, as an operator's would.
        if (!waitUntil(device, [&] { return applicationIdentified; }))
            std::fprintf(stderr, "transfer: the new firmware did not identify itself\n");
        calibrationRuns.append(measure(
            device, [&] { return device.uploadCalibration(payload); },
            [&] { return device.calibrationState == -1; }));
        // Once more with the link's debug lines off, as an installed build runs unless
        // started with --verbose.
        QLoggingCategory::setFilterRules(QStringLiteral("rimeglass.device.debug=false"));
        quietCalibrationRuns.append(measure(
            device, [&] { return device.uploadCalibration(payload); },
            [&] { return device.calibrationState == -1; }));
        QLoggingCategory::setFilterRules(QString());
    }
    device.close();

    const Transfer firmwareTransfer = median(firmwareRuns);
    const QString firmwareName = QStringLiteral("%1 KiB firmware").arg(firmwareBytes / 1024);
    bool complete = printTransferRows(firmwareName, firmwareTransfer,
                                      int(std::ceil(double(firmwareBytes) / firmwareChunkBytes)));
    const double imageWireSeconds = firmwareTransfer.bytesSent / bench::wireBytesPerSecond;
    bench::printRow(QStringLiteral("3 transfer"),
                    firmwareName + QStringLiteral(": container check (signature, mask), once"),
                    bench::duration(checkSeconds),
                    QStringLiteral("%1 % of the image's wire time")
                        .arg(bench::grouped(100.0 * checkSeconds / imageWireSeconds, 3)),
                    QStringLiteral("-"), checked ? QStringLiteral("-") : QStringLiteral("WRONG"));
    const QString tableName
        = QStringLiteral("%1-point table").arg(bench::grouped(calibrationPoints));
    const int tableChunks = int(std::ceil(((payload.size() + 7) / 8 * 8) / 48.0));
    complete &= printTransferRows(tableName, median(calibrationRuns), tableChunks);
    complete &= printTransferRows(tableName + QStringLiteral(", the debug lines off"),
                                  median(quietCalibrationRuns), tableChunks, Rows::PerChunk);
    return complete && checked ? 0 : 1;
}
