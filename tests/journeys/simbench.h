#ifndef RIMEGLASS_TESTS_SIMBENCH_H
#define RIMEGLASS_TESTS_SIMBENCH_H

// The real main window against the simulated instrument (in this process).

#include "simulatedinstrument.h"
#include "uuids.h"
#include "windowdriver.h"
#include "wirebytes.h"

#include <cmath>
#include <memory>

namespace simbench {

using namespace windowdriver;
using rimeglass::uuidBytes;

// An image the simulated instrument adopts: it reports the version of its tag once booted.
inline QByteArray firmwareImage(const QByteArray &version, int size, int seed = 11)
{
    QByteArray image = "SIMFW " + version + '\0';
    while (image.size() < size)
        image.append(char(image.size() * 37 + seed));
    return image;
}

// Every line of exactly two numbers is a point, temperature first; stored as magic, count,
// the name in 16 bytes, then millikelvin and microvolts, little-endian.
inline QByteArray calibrationPayload(const QByteArray &name, const QByteArray &fileData, int *count)
{
    QByteArray points;
    *count = 0;
    for (const QByteArray &line : fileData.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool temperatureOk = false;
        bool voltageOk = false;
        const double temperature = fields.value(0).toDouble(&temperatureOk);
        const double voltage = fields.value(1).toDouble(&voltageOk);
        if (fields.size() != 2 || !temperatureOk || !voltageOk)
            continue;
        points += wirebytes::littleEndian32(qint32(std::trunc(temperature * 1000.0)));
        points += wirebytes::littleEndian32(qint32(std::trunc(voltage * 1000000.0)));
        ++*count;
    }
    return QByteArray::fromHex("d441de05") + wirebytes::littleEndian32(*count)
        + name.leftJustified(16, '\0', true) + points;
}

// The real main window with the simulated instrument in its port list.
struct Bench : SimulatedInstrument
{
    std::unique_ptr<MainWindow> window; // goes before the instrument

    explicit Bench(const InstrumentConfig &config)
        : SimulatedInstrument(config)
        , window(new MainWindow)
    { }

    // Starts the instrument, opens its port from the window and waits for the read-back.
    bool open()
    {
        start();
        window->addExtraPort(port(), QStringLiteral("simulated instrument"));
        click(*window, "serialPortOpenButton");
        return waitUntil(
            [this] { return statusText(*window) == "Settings read from the instrument"; });
    }

    bool noted(const QString &start)
    {
        return waitUntil([&] { return ('\n' + notes.join('\n')).contains('\n' + start); });
    }
};

} // namespace simbench

#endif
