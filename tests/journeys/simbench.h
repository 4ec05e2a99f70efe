#ifndef RIMEGLASS_TESTS_SIMBENCH_H
#define RIMEGLASS_TESTS_SIMBENCH_H

// The real main window against the simulated instrument (in this process).

#include "recordedsimulator.h"
#include "uuids.h"
#include "windowdriver.h"
#include "wirebytes.h"

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

// The real main window with the simulated instrument in its port list.
struct Bench : RecordedSimulator
{
    std::unique_ptr<MainWindow> window; // goes before the instrument

    explicit Bench(const InstrumentConfig &config)
        : RecordedSimulator(config)
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
