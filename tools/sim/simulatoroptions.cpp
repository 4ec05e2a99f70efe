#include "simulatoroptions.h"

#include "uuids.h"
#include "versiontext.h"

#include <QCommandLineParser>
#include <QRandomGenerator>
#include <cmath>

namespace {

struct OptionText
{
    const char *name;
    const char *valueName; // nullptr for a flag
    const char *description;
};

// Defaults in the descriptions follow InstrumentConfig and InstrumentSettings.
const OptionText optionTexts[] = {
    {"link", "path", "Also make a symbolic link at <path> to the port (removed on exit)."},
    {"serial", "text", "Serial number in the identification (default SIM-000001)."},
    {"firmware-version", "version",
     "Application firmware version, a.b.c.d (default 1.5.2.0). From 1.4.0.0 the instrument "
     "answers \"@00\"; from 1.5.0.0 it measures its voltage input."},
    {"bootloader-version", "version",
     "Boot loader version (default 1.4.0.0). Below 1.4.0.0 it takes \"flash erase\" and "
     "\"flash write\", from 1.4.0.0 \"@02\" and \"@03\"."},
    {"revision", "r1|r2", "Hardware revision reported to \"@00\" (default r1)."},
    {"period", "ms",
     "RS232 automatic temperature output period when no saved state says otherwise "
     "(default 1000; 0 for none)."},
    {"state", "file",
     "Load the saved settings, voltage calibration and sensor table from <file> and write "
     "them there on \":save\" and \":cal:commit\"."},
    {"dump-cal", "file", "Write each committed sensor calibration table to <file>."},
    {"dump-flash", "file",
     "Write the image written through the boot loader to <file> at \"boot\"."},
    {"management", nullptr, "Start in the boot loader's management mode."},
    {"boot-window", "ms", "How long the boot loader waits for ETX after a reset (default 500)."},
    {"input-voltage", "volts", "Voltage at the voltage input (default 1.0)."},
    {"adc-offset", "microvolts", "Offset error of the voltage input (default -2350)."},
    {"adc-gain", "factor", "Gain error of the voltage input (default 1.0125)."},
    {"drop-ack", "n", "Leave out the n-th acknowledgement line (counting from 1)."},
    {"double-ack", "n", "Send the n-th acknowledgement line twice, in one write."},
    {"reboot-at-ack", "n", "Restart instead of sending the n-th acknowledgement line."},
    {"garble-identification", "n",
     "Replace the first digit of the version in the n-th identification reply by the letter l."},
    {"garble-rate", "r", "Change one character in a sent line with chance r, 0 to 1."},
    {"seed", "n", "Seed for garbling and temperature noise, for repeatable runs."},
    {"packet-ms", "ms",
     "Hand what the instrument sends to the port in packets this many milliseconds apart, as "
     "a USB serial adapter does (its latency timer, 16 ms by default on FTDI chips); 0, the "
     "default, sends each line at once."},
    {"speed", "factor",
     "Run the automatic output and the cool-down <factor> times faster than real time, "
     "0.1 to 1000 (default 1; at most one reading a millisecond)."},
    {"silent", nullptr, "Take commands but never send anything."},
    {"verbose", nullptr, "Log every byte received and every line sent to standard error."},
};

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Simulated MORVA ZURKD550 temperature monitor on a pseudo-terminal.\n"
        "Prints the port's path on the first line of standard output; open it with the tool.\n"
        "Standard input takes \"input <volts>\" to change the voltage at the input.\n"
        "An image whose first bytes are \"SIMFW <version>\" and a NUL byte makes the\n"
        "instrument report that version after \"boot\"."));
    parser.addHelpOption();
    parser.addVersionOption();
    for (const OptionText &text : optionTexts) {
        QCommandLineOption option(QString::fromLatin1(text.name),
                                  QString::fromLatin1(text.description));
        if (text.valueName)
            option.setValueName(QString::fromLatin1(text.valueName));
        parser.addOption(option);
    }
}

bool readInt(const QString &text, int minimum, int maximum, int &value)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok || number < minimum || number > maximum)
        return false;
    value = number;
    return true;
}

bool readDouble(const QString &text, double minimum, double maximum, double &value)
{
    bool ok = false;
    const double number = text.toDouble(&ok);
    if (!ok || !std::isfinite(number) || number < minimum || number > maximum)
        return false;
    value = number;
    return true;
}

} // namespace

QString SimulatorOptions::helpText()
{
    QCommandLineParser parser;
    addOptions(parser);
    return parser.helpText();
}

bool SimulatorOptions::fail(const QString &text)
{
    m_error = text;
    return false;
}

bool SimulatorOptions::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        m_help = true;
        return true;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        m_version = true;
        return true;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"")
                        .arg(parser.positionalArguments().constFirst()));

    const auto value = [&](const char *name) {
        return parser.value(QString::fromLatin1(name));
    };
    const auto isSet = [&](const char *name) {
        return parser.isSet(QString::fromLatin1(name));
    };
    const auto invalid = [&](const char *name, const QString &expected) {
        return fail(QStringLiteral("invalid value \"%1\" for --%2: expected %3")
                        .arg(value(name), QString::fromLatin1(name), expected));
    };

    InstrumentConfig config;
    m_linkPath = value("link");
    m_verbose = isSet("verbose");

    if (isSet("serial")) {
        const QString serial = value("serial");
        bool plain = !serial.isEmpty();
        for (const QChar c : serial)
            plain = plain && c.unicode() > 0x20 && c.unicode() < 0x7f && c != QLatin1Char(',');
        if (!plain)
            return invalid("serial", QStringLiteral("printable ASCII without blanks or commas"));
        config.serialNumber = serial;
    }
    if (isSet("firmware-version")) {
        if (!rimeglass::VersionText::isWellFormed(value("firmware-version")))
            return invalid("firmware-version", QStringLiteral("a version such as 1.5.2.0"));
        config.firmwareVersion = value("firmware-version");
    }
    if (isSet("bootloader-version")) {
        if (!rimeglass::VersionText::isWellFormed(value("bootloader-version")))
            return invalid("bootloader-version", QStringLiteral("a version such as 1.4.0.0"));
        config.bootLoaderVersion = value("bootloader-version");
    }

    const QString revision = isSet("revision") ? value("revision") : QStringLiteral("r1");
    if (revision == QLatin1String("r1"))
        config.compat = rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g071kb_r1);
    else if (revision == QLatin1String("r2"))
        config.compat = rimeglass::uuidBytes(rimeglass::uuid_compat_stm32g070kb_r2);
    else
        return invalid("revision", QStringLiteral("r1 or r2"));

    if (isSet("period")
        && config.factorySettings.assign("rs232:period", value("period").toLatin1())
            != InstrumentSettings::Result::Accepted)
        return invalid("period", QStringLiteral("0 or 10 to 60000 milliseconds"));
    if (isSet("boot-window") && !readInt(value("boot-window"), 1, 60000, config.bootWindowMs))
        return invalid("boot-window", QStringLiteral("1 to 60000 milliseconds"));
    if (isSet("input-voltage")
        && !readDouble(value("input-voltage"), -10.0, 10.0, config.inputVoltage))
        return invalid("input-voltage", QStringLiteral("-10 to 10 volts"));
    if (isSet("adc-offset")
        && !readDouble(value("adc-offset"), -1e6, 1e6, config.adcOffsetMicrovolts))
        return invalid("adc-offset", QStringLiteral("-1000000 to 1000000 microvolts"));
    if (isSet("packet-ms") && !readInt(value("packet-ms"), 0, 1000, config.packetMs))
        return invalid("packet-ms", QStringLiteral("0 to 1000 milliseconds"));
    if (isSet("speed") && !readDouble(value("speed"), 0.1, 1000.0, config.speed))
        return invalid("speed", QStringLiteral("a factor from 0.1 to 1000"));
    if (isSet("adc-gain") && !readDouble(value("adc-gain"), 0.5, 2.0, config.adcGain))
        return invalid("adc-gain", QStringLiteral("0.5 to 2"));
    if (isSet("drop-ack")
        && !readInt(value("drop-ack"), 1, 1000000000, config.faults.dropAcknowledgement))
        return invalid("drop-ack", QStringLiteral("a count from 1"));
    if (isSet("double-ack")
        && !readInt(value("double-ack"), 1, 1000000000, config.faults.doubleAcknowledgement))
        return invalid("double-ack", QStringLiteral("a count from 1"));
    if (isSet("reboot-at-ack")
        && !readInt(value("reboot-at-ack"), 1, 1000000000, config.faults.rebootAtAcknowledgement))
        return invalid("reboot-at-ack", QStringLiteral("a count from 1"));
    if (isSet("garble-identification")
        && !readInt(value("garble-identification"), 1, 1000000000,
                    config.faults.garbleIdentification))
        return invalid("garble-identification", QStringLiteral("a count from 1"));
    if (isSet("garble-rate")
        && !readDouble(value("garble-rate"), 0.0, 1.0, config.faults.garbleRate))
        return invalid("garble-rate", QStringLiteral("a chance from 0 to 1"));
    config.faults.silent = isSet("silent");

    m_seeded = isSet("seed");
    if (m_seeded) {
        bool ok = false;
        config.seed = value("seed").toUInt(&ok, 10);
        if (!ok)
            return invalid("seed", QStringLiteral("a number from 0 to 4294967295"));
    } else {
        config.seed = QRandomGenerator::system()->generate();
    }

    config.statePath = value("state");
    config.calibrationDumpPath = value("dump-cal");
    config.flashDumpPath = value("dump-flash");
    config.startInManagementMode = isSet("management");
    for (const char *pathOption : {"link", "state", "dump-cal", "dump-flash"}) {
        if (isSet(pathOption) && value(pathOption).isEmpty())
            return invalid(pathOption, QStringLiteral("a file name"));
    }

    m_config = config;
    return true;
}
