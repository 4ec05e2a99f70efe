// The Calibration tab's two-point calibration of the voltage input: measure, calibrate,
// reset, with the fit and the refusals of the window (VoltageCalibration).

#include "cli.h"
#include "instrumentclient.h"
#include "versiontext.h"
#include "voltagecalibration.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cmath>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Cli", text);
}

// The window's real-voltage boxes take 0 to 10 V.
const double maximumRealVolts = 10.0;

QString voltsText(double volts)
{
    return QString::asprintf("%.6f", volts);
}

// "REAL=MEASURED", both in volts.
bool parsePoint(const QString &text, double *real, double *measured, QString *error)
{
    const QStringList parts = text.split(QLatin1Char('='));
    bool realOk = false;
    bool measuredOk = false;
    if (parts.size() == 2) {
        *real = parts.at(0).trimmed().toDouble(&realOk);
        *measured = parts.at(1).trimmed().toDouble(&measuredOk);
    }
    if (!realOk || !measuredOk || !std::isfinite(*real) || !std::isfinite(*measured)) {
        *error = tr("\"%1\" is not REAL=MEASURED, two voltages in volts").arg(text);
        return false;
    }
    if (*real < 0.0 || *real > maximumRealVolts) {
        *error = tr("the real voltage %1 is out of range (0 to 10 V)").arg(parts.at(0).trimmed());
        return false;
    }
    return true;
}

} // namespace

int Cli::connectToVoltageInput(InstrumentClient &client, const QString &portName)
{
    if (const int status = connectToApplication(
            client, portName,
            tr("The instrument runs its boot loader, which does not measure its voltage input: "
               "finish the firmware upgrade first.")))
        return status;
    const QString version = client.session()->identity().version;
    if (rimeglass::VersionText::code(version) < rimeglass::VersionText::voltageCode)
        return fail(RefusedInput,
                    tr("The instrument's firmware %1 does not measure its voltage "
                       "input; firmware 1.5.0.0 and later do.")
                        .arg(printable(version)));
    return Success;
}

int Cli::voltage()
{
    QCommandLineParser parser;
    parser.addOptions(
        {timeoutOption(), QCommandLineOption(QStringLiteral("json"), tr("Print JSON."))});
    if (!parse(parser,
               tr("Measures the voltage at the instrument's voltage input: uncalibrated (what "
                  "the window's Measure buttons of the two points read) and calibrated, and "
                  "whether the instrument holds a calibration."),
               {QStringLiteral("PORT")}))
        return parseEnded(parser);

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectToVoltageInput(client, parser.positionalArguments().at(0)))
        return status;
    QString uncalibratedReport;
    QString calibratedReport;
    QString error;
    if (!client.ask(QStringLiteral(":volt:unc?"), QStringLiteral("Vunc"), &uncalibratedReport,
                    &error)
        || !client.ask(QStringLiteral(":volt:cor?"), QStringLiteral("Vcor"), &calibratedReport,
                       &error))
        return fail(NoAnswer, error);
    double uncalibrated = 0.0;
    double calibrated = 0.0;
    bool holdsCalibration = false;
    if (!VoltageCalibration::parseUncalibrated(uncalibratedReport, &uncalibrated)
        || !VoltageCalibration::parseCalibrated(calibratedReport, &calibrated, &holdsCalibration))
        return fail(NoAnswer,
                    tr("The instrument's voltage reports \"%1\" and \"%2\" cannot be "
                       "read.")
                        .arg(printable(uncalibratedReport), printable(calibratedReport)));
    printRecord(
        {{QStringLiteral("uncalibrated-volts"), voltsText(uncalibrated), uncalibrated},
         {QStringLiteral("calibrated-volts"), voltsText(calibrated), calibrated},
         {QStringLiteral("calibrated"),
          holdsCalibration ? QStringLiteral("true") : QStringLiteral("false"), holdsCalibration}});
    return Success;
}

int Cli::calibrateVoltage()
{
    QCommandLineParser parser;
    parser.addOption(timeoutOption());
    if (!parse(parser,
               tr("Calibrates the voltage input from two points, as the window's Calibrate "
                  "does: for each, the real voltage applied (0 to 10 V) and the uncalibrated "
                  "voltage \"voltage PORT\" measured for it, as REAL=MEASURED in volts. The "
                  "fit real = slope * (measured + offset) is sent once it is usable: two "
                  "different real voltages, measured voltages at least 10 mV apart, a positive "
                  "slope, and slope and offset within what the instrument takes."),
               {QStringLiteral("PORT"), QStringLiteral("REAL1=MEASURED1"),
                QStringLiteral("REAL2=MEASURED2")}))
        return parseEnded(parser);

    double real[2] = {0.0, 0.0};
    double measured[2] = {0.0, 0.0};
    QString error;
    for (int i = 0; i < 2; ++i) {
        if (!parsePoint(parser.positionalArguments().at(1 + i), &real[i], &measured[i], &error))
            return fail(RefusedInput, error + tr("; nothing was sent."));
    }
    VoltageCalibration fit;
    fit.setMeasured(VoltageCalibration::Point::First, measured[0]);
    fit.setMeasured(VoltageCalibration::Point::Second, measured[1]);
    fit.setRealVoltages(real[0], real[1]);
    fit.fit();
    if (!fit.problem().isEmpty())
        return fail(RefusedInput, fit.problem() + tr("; nothing was sent."));

    InstrumentClient client(m_timeoutMs);
    if (const int status = connectToVoltageInput(client, parser.positionalArguments().at(0)))
        return status;
    client.session()->sendVoltageCalibration(fit.offset(), fit.slope());
    if (!client.send({}, &error))
        return fail(PortError, error);
    print(tr("Voltage input calibrated: slope %1, offset %2 V")
              .arg(QString::asprintf("%.9f", fit.slope()), voltsText(fit.offset())));
    return Success;
}

int Cli::resetVoltageCalibration()
{
    QCommandLineParser parser;
    parser.addOptions(
        {timeoutOption(),
         QCommandLineOption(QStringLiteral("yes"), tr("Answer the question with yes."))});
    if (!parse(parser,
               tr("Clears the instrument's voltage calibration, as the window's Reset "
                  "calibration does, after the window's question, answered on the terminal or "
                  "by --yes."),
               {QStringLiteral("PORT")}))
        return parseEnded(parser);

    const QString question = VoltageCalibration::resetQuestion();
    if (!parser.isSet(QStringLiteral("yes")) && !confirm(question))
        return fail(RefusedInput,
                    question + tr(" Not confirmed (give --yes in scripts); nothing was sent."));
    InstrumentClient client(m_timeoutMs);
    if (const int status = connectToVoltageInput(client, parser.positionalArguments().at(0)))
        return status;
    client.session()->sendVoltageCalibration(0.0, 0.0);
    QString error;
    if (!client.send({}, &error))
        return fail(PortError, error);
    print(tr("Voltage calibration cleared"));
    return Success;
}
