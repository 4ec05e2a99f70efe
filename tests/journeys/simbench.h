#ifndef RIMEGLASS_TESTS_SIMBENCH_H
#define RIMEGLASS_TESTS_SIMBENCH_H

// The real main window with a simulated instrument (the rimeglass_sim library, in this
// process) in its port list: everything the instrument receives, sends and notes is
// kept, so a test can wait for it and check what the instrument ended up with.

#include "instrument.h"
#include "pseudoterminal.h"
#include "simulator.h"
#include "uuids.h"
#include "windowdriver.h"
#include "wirebytes.h"

#include <QDeadlineTimer>
#include <QFile>
#include <cmath>
#include <memory>

namespace simbench {

using rimeglass::uuidBytes;

inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no file)");
}

inline bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) >= 0;
}

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

struct Bench
{
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<Simulator> simulator;
    QByteArray received;
    QByteArray sent;
    QStringList notes;

    explicit Bench(const InstrumentConfig &config)
        : window(new MainWindow)
    {
        replaceInstrument(config);
    }

    ~Bench()
    {
        window.reset();
        simulator.reset();
    }

    Instrument *instrument() const { return simulator->instrument(); }

    void replaceInstrument(const InstrumentConfig &config)
    {
        simulator.reset(new Simulator(config));
        QObject::connect(instrument(), &Instrument::transmit,
                         [this](const QByteArray &bytes) { sent += bytes; });
        QObject::connect(instrument(), &Instrument::note,
                         [this](const QString &text) { notes << text; });
        QObject::connect(simulator->findChild<PseudoTerminal *>(), &PseudoTerminal::bytesReceived,
                         [this](const QByteArray &bytes) { received += bytes; });
    }

    // Starts the instrument, opens its port from the window and waits for the read-back.
    bool open()
    {
        QString error;
        if (!simulator->start(&error))
            qFatal("%s", qPrintable(error));
        window->addExtraPort(simulator->portName(), QStringLiteral("simulated instrument"));
        windowdriver::click(*window, "serialPortOpenButton");
        return waitUntil([this] {
            return windowdriver::statusText(*window) == "Settings read from the instrument";
        });
    }

    bool noted(const QString &start)
    {
        return waitUntil([&] {
            for (const QString &note : notes) {
                if (note.startsWith(start))
                    return true;
            }
            return false;
        });
    }
};

} // namespace simbench

#endif
