#ifndef RIMEGLASS_SIM_SIMULATOROPTIONS_H
#define RIMEGLASS_SIM_SIMULATOROPTIONS_H

#include "instrumentconfig.h"

#include <QString>
#include <QStringList>

// The command line of rimeglass-sim, checked as a whole before anything starts.
class SimulatorOptions
{
public:
    // `arguments` includes the program name, as QCoreApplication::arguments() gives it.
    // False, with errorText() saying what is wrong, for anything the simulator cannot use.
    bool parse(const QStringList &arguments);

    QString errorText() const { return m_error; }
    bool helpRequested() const { return m_help; }
    bool versionRequested() const { return m_version; }
    static QString helpText();

    InstrumentConfig config() const { return m_config; }
    QString linkPath() const { return m_linkPath; }
    bool verbose() const { return m_verbose; }
    // Whether --seed was given; without it the seed is drawn at random.
    bool seeded() const { return m_seeded; }

private:
    bool fail(const QString &text);

    InstrumentConfig m_config;
    QString m_linkPath;
    QString m_error;
    bool m_help = false;
    bool m_version = false;
    bool m_verbose = false;
    bool m_seeded = false;
};

#endif
