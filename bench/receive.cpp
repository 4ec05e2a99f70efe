// Receive path: framing and parsing of a realistic mixed stream in one Device, fed
// the way reads of the port bring it, against the bytes the wire can carry.

#include "batcheddebugoutput.h"
#include "benchsupport.h"
#include "device-serial.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QVector>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Bytes handed to the Device per read: about two lines, as a serial port delivers them
// at 115200 baud.
constexpr int readSize = 32;
const int linesPerRun = bench::sized(200000, 20000);
const int runs = bench::sized(5, 1);

struct Stream
{
    QByteArray bytes;
    int lines = 0;
    int temperatures = 0;
    int parameters = 0;
};

// In every hundred lines: 88 temperatures of a cool-down, 6 parameter reports,
// 3 acknowledgements and 3 lines of free text, all ending in CR LF as the
// instrument ends them.
Stream mixedStream(int lines)
{
    static const char *const parameters[]
        = {"cal = dt-670",        "rs232:period = 1000",  "relay1:temp = 25.000",
           "relay2:hyst = 0.500", "display:period = 500", "Vunc = 1234567"};
    static const char *const acknowledgements[]
        = {"*cal-write-done", "*WRITE_OK", "*cal-erase-done"};
    static const char *const texts[]
        = {"*ERROR unknown command", "ZURKD550 self test passed", "sensor open"};
    Stream stream;
    stream.bytes.reserve(lines * 18);
    for (int i = 0; i < lines; ++i) {
        const int slot = i % 100;
        QByteArray line;
        if (slot < 88) {
            const double kelvin = 77.35 + 217.65 * double((i * 7919) % 10007) / 10007.0;
            line = QByteArray("*T = ") + QByteArray::number(kelvin, 'f', 3) + " K";
            ++stream.temperatures;
        } else if (slot < 94) {
            line = parameters[slot - 88];
            ++stream.parameters;
        } else if (slot < 97) {
            line = acknowledgements[slot - 94];
        } else {
            line = texts[slot - 97];
        }
        stream.bytes += line + "\r\n";
        ++stream.lines;
    }
    return stream;
}

struct Rates
{
    double bytesPerSecond = 0.0;
    double linesPerSecond = 0.0;
    bool countsRight = true;
};

// The stream through a fresh Device for each of `runs` runs; medians.
Rates receive(const Stream &stream)
{
    QVector<double> bytesPerSecond;
    QVector<double> linesPerSecond;
    Rates rates;
    for (int run = 0; run < runs; ++run) {
        Device device(nullptr);
        int temperatures = 0;
        int parameters = 0;
        QObject::connect(&device, &Device::temperatureChanged, [&](double) { ++temperatures; });
        QObject::connect(&device, &Device::parameterReceived,
                         [&](const QString &, const QString &) { ++parameters; });

        const double start = bench::processCpuSeconds();
        for (int offset = 0; offset < stream.bytes.size(); offset += readSize)
            device.serialReceive(stream.bytes.mid(offset, readSize));
        const double seconds = bench::processCpuSeconds() - start;

        if (temperatures != stream.temperatures || parameters != stream.parameters) {
            std::fprintf(stderr, "receive: %d temperatures and %d reports, expected %d and %d\n",
                         temperatures, parameters, stream.temperatures, stream.parameters);
            rates.countsRight = false;
        }
        bytesPerSecond.append(stream.bytes.size() / seconds);
        linesPerSecond.append(stream.lines / seconds);
    }
    rates.bytesPerSecond = bench::median(bytesPerSecond);
    rates.linesPerSecond = bench::median(linesPerSecond);
    return rates;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // Standard error goes to /dev/null, as when the tool runs with its output discarded.
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull < 0 || ::dup2(devNull, STDERR_FILENO) < 0)
        return 1;
    ::close(devNull);

    const Stream stream = mixedStream(linesPerRun);
    // The debug lines are on by default; on here whatever a configuration file says.
    QLoggingCategory::setFilterRules(QStringLiteral("rimeglass.device.debug=true"));
    const Rates perLine = receive(stream); // Qt's own output: a write(2) a line
    if (!BatchedDebugOutput::install("rimeglass.device"))
        return 1;
    const Rates buffered = receive(stream); // the tool's own output, as rimeglass runs
    BatchedDebugOutput::flush();
    QLoggingCategory::setFilterRules(QStringLiteral("rimeglass.device.debug=false"));
    const Rates quiet = receive(stream);
    const bool countsRight = buffered.countsRight && perLine.countsRight && quiet.countsRight;

    const double averageLine = double(stream.bytes.size()) / stream.lines;
    const double wireLines = bench::wireBytesPerSecond / averageLine;
    const QString figure = QStringLiteral("1 receive path");
    auto againstWire = [](double ratio) {
        return QStringLiteral("%1 × wire").arg(bench::grouped(ratio));
    };
    auto bytesRow = [&](const QString &measure, const Rates &rates, bool withGoal) {
        const double ratio = rates.bytesPerSecond / bench::wireBytesPerSecond;
        bench::printRow(figure, measure, bench::grouped(rates.bytesPerSecond), againstWire(ratio),
                        withGoal ? QStringLiteral("≥ 1,000 × wire") : QStringLiteral("-"),
                        !countsRight   ? QStringLiteral("WRONG")
                            : withGoal ? bench::verdict(ratio >= 1000.0)
                                       : QStringLiteral("-"));
    };
    bytesRow(QStringLiteral("bytes/s, mixed stream, %1-byte reads; debug lines on, to /dev/null "
                            "as rimeglass writes them (BatchedDebugOutput)")
                 .arg(readSize),
             buffered, true);
    bench::printRow(figure,
                    QStringLiteral("lines/s (%1 B a line on average), the same")
                        .arg(bench::grouped(averageLine, 1)),
                    bench::grouped(buffered.linesPerSecond),
                    againstWire(buffered.linesPerSecond / wireLines), QStringLiteral("-"),
                    QStringLiteral("-"));
    bytesRow(QStringLiteral("bytes/s, the same; debug lines on, to /dev/null through Qt's own "
                            "output, one write(2) a line"),
             perLine, false);
    bytesRow(QStringLiteral("bytes/s, the same; debug lines off "
                            "(QT_LOGGING_RULES=\"rimeglass.device.debug=false\")"),
             quiet, false);
    return countsRight ? 0 : 1;
}
