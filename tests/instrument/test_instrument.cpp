// The library the window and the command-line tool share: the settings as they are
// changed and read back, what the upgrade flow decides and says (the picked file, the
// version question, the words for a failed transfer), and recording readings to CSV.

#include "firmwareversion.h"
#include "inputfile.h"
#include "recorder.h"
#include "recordingfile.h"
#include "settingsprotocol.h"
#include "testmain.h"
#include "transferreport.h"
#include "voltagecalibration.h"

#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <cmath>
#include <csignal>
#include <ctime>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray sn1Header = "# rimeglass 1.7 recording\n"
                             "# instrument: MORVA ZURKD550, serial number SN0001, firmware "
                             "1.5.2.0\n"
                             "# sensor: DT-670\n"
                             "time_utc,seconds,kelvin\n";

QByteArray header(const QByteArray &serial, const QByteArray &sensor = "DT-670")
{
    return QByteArray(sn1Header).replace("SN0001", serial).replace("DT-670", sensor);
}

InstrumentIdentity identity(const QString &serialNumber)
{
    return {"MORVA",
            "ZURKD550",
            serialNumber,
            "1.5.2.0",
            QByteArray::fromHex("3cc3a93f426145ff95bf653df2686cb0"),
            false};
}

// Limits the size of files this process writes, as a full disk would stop them.
class FileSizeLimit
{
public:
    FileSizeLimit() { getrlimit(RLIMIT_FSIZE, &m_saved); }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }
    void limitTo(qint64 bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = rlim_t(bytes);
        setrlimit(RLIMIT_FSIZE, &limit);
    }

private:
    rlimit m_saved;
};

} // namespace

class TestInstrument : public QObject
{
    Q_OBJECT

private slots:
    void change_data();
    void change();
    void readBack_data();
    void readBack();
    void pickedFile_data();
    void pickedFile();
    void question_data();
    void question();
    void containerMismatch_data();
    void containerMismatch();
    void failureText_data();
    void failureText();
    void initTestCase();
    void recording_data();
    void recording();
    void voltageFit_data();
    void voltageFit();
    void voltageReport_data();
    void voltageReport();
};

// Assignments as given together; an empty command means they are refused with the given
// text, otherwise the commands sent and the confirmations, each on a line.
void TestInstrument::change_data()
{
    QTest::addColumn<QString>("assignment");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("text");

    QTest::newRow("lowest set-point") << "relay1-temperature=0.1"
                                      << ":relay1:temp 0.100\n"
                                      << "Relay 1 temperature set to 0.100 K";
    QTest::newRow("below the range") << "relay1-temperature=0.09"
                                     << ""
                                     << "relay1-temperature: 0.09 is out of range (0.1 to 1000 K)";
    QTest::newRow("default state") << "relay2-default-state=On"
                                   << ":relay2:default 1\n"
                                   << "Relay 2 default state set to On";
    QTest::newRow("default state off") << "relay1-default-state=off"
                                       << ":relay1:default 0\n"
                                       << "Relay 1 default state set to Off";
    QTest::newRow("custom sensor") << "sensor=Custom"
                                   << ":cal user\n"
                                   << "Sensor set to Custom";
    QTest::newRow("period 0 disables") << "rs485-period=0"
                                       << ":rs485:period 0\n"
                                       << "RS485 automatic output disabled";
    QTest::newRow("period above the range")
        << "rs485-period=1001"
        << ""
        << "rs485-period: 1001 is out of range (100 to 1000 ms, or 0 to disable the output)";
    QTest::newRow("enabling needs a period")
        << "rs232-output=enabled"
        << ""
        << "rs232-output: to enable the output, give rs232-period=MILLISECONDS";
    QTest::newRow("display period below the range")
        << "display-refresh-period=99"
        << ""
        << "display-refresh-period: 99 is out of range (100 to 10000 ms)";
    QTest::newRow("not a number") << "relay1-hysteresis=nan"
                                  << ""
                                  << "relay1-hysteresis: \"nan\" is not a number";
    QTest::newRow("an output as read back") << "rs232-output=enabled rs232-period=250"
                                            << ":rs232:period 250\n"
                                            << "RS232 output period set to 250 ms";
    QTest::newRow("disabled, once") << "rs485-period=0 sensor=zur rs485-output=disabled"
                                    << ":rs485:period 0\n:cal zur\n"
                                    << "RS485 automatic output disabled\nSensor set to ZUR";
    QTest::newRow("a state its period contradicts")
        << "rs232-output=disabled rs232-period=250"
        << ""
        << "rs232-output=disabled contradicts rs232-period=250";
    QTest::newRow("the same twice") << "relay1-temperature=5 relay1-temperature=5.0"
                                    << ":relay1:temp 5.000\n"
                                    << "Relay 1 temperature set to 5.000 K";
    QTest::newRow("different values of one setting")
        << "relay1-temperature=5 relay1-temperature=6"
        << ""
        << "relay1-temperature is given twice (5 and 6)";
}

void TestInstrument::change()
{
    QFETCH(QString, assignment);
    QFETCH(QString, command);
    QFETCH(QString, text);

    QList<SettingsProtocol::Change> changes;
    QString error;
    const bool taken = SettingsProtocol::parseChanges(assignment.split(' '), &changes, &error);
    QStringList commands;
    QStringList confirmations;
    for (const SettingsProtocol::Change &change : qAsConst(changes)) {
        commands << change.command;
        confirmations << change.confirmation;
    }
    QCOMPARE(taken, !command.isEmpty());
    QCOMPARE(commands.join(QString()), command);
    QCOMPARE(taken ? confirmations.join('\n') : error, text);
}

void TestInstrument::readBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("shown");

    QTest::newRow("disabled output") << "rs232:period"
                                     << "0"
                                     << "rs232-output=disabled rs232-period=0";
    QTest::newRow("default state") << "relay2:default"
                                   << "1"
                                   << "relay2-default-state=On";
    QTest::newRow("another spelling of a sensor") << "cal"
                                                  << "DT670"
                                                  << "sensor=DT-670";
    QTest::newRow("unknown sensor keyword") << "cal"
                                            << "pt100"
                                            << "sensor=pt100";
    QTest::newRow("not a number") << "relay1:temp"
                                  << "nan"
                                  << "";
    QTest::newRow("no setting") << "Vunc"
                                << "1500000"
                                << "";
}

void TestInstrument::readBack()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, shown);

    QStringList pairs;
    const QMap<QString, QString> values = SettingsProtocol::readBackValues(key, value);
    for (auto it = values.begin(); it != values.end(); ++it)
        pairs << it.key() + QLatin1Char('=') + it.value();
    QCOMPARE(pairs.join(QLatin1Char(' ')), shown);
}

// Only a regular file within the limit is read; anything else is refused before a byte
// is read, with the reason (%1 stands for the path).
void TestInstrument::pickedFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("limit");

    const QString notRegular = QStringLiteral("%1 is not a regular file (it is a pipe, a device "
                                              "or a socket); only regular files are read.");
    const QString tooLarge = QStringLiteral("%1 is larger than %2; no calibration table or "
                                            "firmware container is that large.");
    const int mebibyte = 1024 * 1024;
    QTest::newRow("exactly the limit") << "file" << 1000 << 1000 << "" << 1000;
    QTest::newRow("empty") << "file" << 0 << 0 << "" << 1000;
    QTest::newRow("one byte beyond")
        << "file" << 1001 << 0 << tooLarge.arg("%1", "1000 bytes") << 1000;
    QTest::newRow("one byte beyond a mebibyte")
        << "file" << mebibyte + 1 << 0 << tooLarge.arg("%1", "1 MiB") << mebibyte;
    QTest::newRow("a device that never ends") << "/dev/zero" << 0 << 0 << notRegular << 1000;
    QTest::newRow("a pipe nobody writes to") << "fifo" << 0 << 0 << notRegular << 1000;
    QTest::newRow("missing") << "absent" << 0 << 0 << "%1 does not exist." << 1000;
    QTest::newRow("a folder") << "folder" << 0 << 0 << "%1 is a folder, not a file." << 1000;
    QTest::newRow("unreadable") << "file" << -1 << 0 << "%1 cannot be read: Permission denied."
                                << 1000;
}

void TestInstrument::pickedFile()
{
    QFETCH(QString, path);
    QFETCH(int, size);
    QFETCH(int, expected);
    QFETCH(QString, failure);
    QFETCH(int, limit);
    QTemporaryDir directory;
    if (!path.startsWith('/'))
        path = directory.filePath(path);
    if (path.endsWith("/file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(qMax(size, 0), 'x')) >= 0);
        if (size < 0 && (geteuid() == 0 || !file.setPermissions(QFile::WriteOwner)))
            QSKIP("this user reads any file");
    } else if (path.endsWith("/fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (path.endsWith("/folder")) {
        QVERIFY(QDir().mkdir(path));
    }
    QString reason = QStringLiteral("unchanged");
    QCOMPARE(InputFile::read(path, &reason, limit), QByteArray(expected, 'x'));
    QCOMPARE(reason, failure.arg(path));
}

void TestInstrument::question_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("text");

    QTest::newRow("padded with zeros") << "1.7"
                                       << "1.7.0"
                                       << "Upgrade firmware from version 1.7 to version 1.7.0?";
    QTest::newRow("the installed version") << "1.6.0.0"
                                           << "1.6.0.0"
                                           << "Reinstall 1.6.0.0?";
    QTest::newRow("compared as numbers") << "1.10"
                                         << "1.9"
                                         << "Downgrade firmware from version 1.10 to version 1.9?";
    QTest::newRow("decimal, not another base")
        << "1.10"
        << "1.11"
        << "Upgrade firmware from version 1.10 to version 1.11?";
    QTest::newRow("empty installed version") << ""
                                             << "0.0.1"
                                             << "Upgrade firmware from version  to version 0.0.1?";
    QTest::newRow("a letter counts 0") << "1.x"
                                       << "1.0"
                                       << "Upgrade firmware from version 1.x to version 1.0?";
    QTest::newRow("a letter against a number")
        << "1.1"
        << "1.a"
        << "Downgrade firmware from version 1.1 to version 1.a?";
}

void TestInstrument::question()
{
    QFETCH(QString, installed);
    QFETCH(QString, offered);
    QFETCH(QString, text);
    QCOMPARE(FirmwareVersion::upgradeQuestion(installed, offered), text);
}

// A container names the vendor and model it is for; a boot loader reports its model with
// "-BS". Empty names (older containers) are not compared.
void TestInstrument::containerMismatch_data()
{
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("instrument");
    QTest::addColumn<QString>("refusal");

    const QString refusal = "The firmware file is for the %1, not for this MORVA %2. Nothing "
                            "was sent.";
    QTest::newRow("its model") << "MORVA"
                               << "ZURKD550"
                               << "ZURKD550"
                               << "";
    QTest::newRow("its model, in the boot loader") << "MORVA"
                                                   << "ZURKD550"
                                                   << "ZURKD550-BS"
                                                   << "";
    QTest::newRow("no names") << ""
                              << ""
                              << "ZURKD550"
                              << "";
    QTest::newRow("another model, in the boot loader")
        << "MORVA"
        << "ZURKD560"
        << "ZURKD550-BS" << refusal.arg("MORVA ZURKD560", "ZURKD550");
    QTest::newRow("another vendor") << "OTHER"
                                    << ""
                                    << "ZURKD550" << refusal.arg("OTHER", "ZURKD550");
}

void TestInstrument::containerMismatch()
{
    QFETCH(QString, vendor);
    QFETCH(QString, model);
    QFETCH(QString, instrument);
    QFETCH(QString, refusal);
    QCOMPARE(FirmwareVersion::containerMismatch(vendor, model, instrument), refusal);
}

void TestInstrument::failureText_data()
{
    using Failure = Device::TransferFailure;
    QTest::addColumn<bool>("firmware");
    QTest::addColumn<Device::TransferFailure>("failure");
    QTest::addColumn<bool>("erased");
    QTest::addColumn<QByteArray>("imageRevision");
    QTest::addColumn<QString>("text");

    const QByteArray r1 = QByteArray::fromHex("3cc3a93f426145ff95bf653df2686cb0");
    const QByteArray other = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    QTest::newRow("no boot loader after the reset")
        << true << Failure::TimedOut << false << r1
        << "The instrument did not come back in its boot loader after the reset. Nothing was "
           "erased. The instrument may be waiting in its boot loader: open the port again and "
           "run the upgrade again.";
    QTest::newRow("unknown revision named by its UUID")
        << true << Failure::RevisionMismatch << false << other
        << "The boot loader reports hardware revision 1, but the image was chosen for hardware "
           "an unknown revision (00112233-4455-6677-8899-aabbccddeeff). Nothing was erased. The "
           "instrument may be waiting in its boot loader: open the port again and run the "
           "upgrade again.";
    QTest::newRow("port closed during the upload")
        << false << Failure::PortClosed << true << QByteArray()
        << "The port was closed during the upload. 592 of 592 bytes were written. The custom "
           "table was erased; upload it again.";
    QTest::newRow("garbled boot loader")
        << true << Failure::IdentificationGarbled << false << r1
        << "The boot loader's identification stayed garbled (last \"MORVA,ZURKD550-BS,SN1,"
           "l.4.0.0\") however often it was asked, so no image, command dialect or hardware "
           "revision was chosen. Nothing was erased. The instrument may be waiting in its boot "
           "loader: open the port again and run the upgrade again.";
    QTest::newRow("image refused by the boot loader")
        << true << Failure::InstrumentError << true << r1
        << "The instrument refused a command: \"*ERROR write outside\". 592 of 592 bytes were "
           "written. The instrument is still in its boot loader: upgrade it with a firmware "
           "file it accepts.";
    QTest::newRow("table refused by the instrument")
        << false << Failure::InstrumentError << true << QByteArray()
        << "The instrument refused a command: \"*ERROR write outside\". 592 of 592 bytes were "
           "written. The custom table was erased; upload a table the instrument accepts.";
}

void TestInstrument::failureText()
{
    QFETCH(bool, firmware);
    QFETCH(Device::TransferFailure, failure);
    QFETCH(bool, erased);
    QFETCH(QByteArray, imageRevision);
    QFETCH(QString, text);

    Device::TransferFailureReport report;
    report.transfer = firmware ? Device::Transfer::Firmware : Device::Transfer::Calibration;
    report.failure = failure;
    report.erased = erased;
    report.offset = 624;
    report.total = 592;
    report.imageRevision = imageRevision;
    report.reportedRevision = QByteArray::fromHex("3cc3a93f426145ff95bf653df2686cb0");
    report.instrumentLine = failure == Device::TransferFailure::InstrumentError
        ? QStringLiteral("*ERROR write outside")
        : QStringLiteral("MORVA,ZURKD550-BS,SN1,l.4.0.0");
    QCOMPARE(TransferReport::failureText(report), text);
}

void TestInstrument::initTestCase()
{
    // Local time two hours ahead of UTC, all year: local midnight is 22:00 UTC.
    qputenv("TZ", "RGT-2");
    tzset();
}

// Each step of `script`: "id SERIAL SENSOR", "auto", "start", "stop", "at ISO-TIME",
// "T KELVIN", "sensor NAME", "lost", "close", "full" (the disk fills up at the current
// size of the file), "delete" (the file; the first reading a second or more after the
// last check finds it). `events` are the signals started, stopped and fileGone, with "%d"
// for the temporary folder; `files` the folder's files after the script, by name.
void TestInstrument::recording_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("fileNames");
    QTest::addColumn<QByteArrayList>("contents");

    QTest::newRow("header and rows, local time in the name")
        << "rec"
        << QStringList{"id SN0001 DT-670",
                       "at 2026-12-07T14:03:21.125Z",
                       "start",
                       "T 77.35",
                       "at 2026-12-07T14:03:22.5Z",
                       "T 77.3494",
                       "stop",
                       "T 77.1"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160321.csv", "stopped "}
        << QStringList{"SN0001_2026-12-07_160321.csv"}
        << QByteArrayList{sn1Header
                          + "2026-12-07T14:03:21.125Z,0.000,77.350\n"
                            "2026-12-07T14:03:22.500Z,1.375,77.349\n"};
    QTest::newRow("below 1 K, unsafe serial, sensor changed")
        << "rec" << QStringList{"id SN/01:A DT-670",
                                "at 2026-12-07T14:00:00Z",
                                "start",
                                "T 0.85",
                                "sensor DT-400",
                                "T 0.8494"}
        << QStringList{"started %d/rec/SN_01_A_2026-12-07_160000.csv"}
        << QStringList{"SN_01_A_2026-12-07_160000.csv"}
        << QByteArrayList{header("SN/01:A")
                          + "2026-12-07T14:00:00.000Z,0.000,0.850\n# sensor: DT-400\n"
                            "2026-12-07T14:00:00.000Z,0.000,0.849\n"};
    // Its first readings, until it has stayed for 5 s, under a line naming it.
    QTest::newRow("another instrument that stays, another file")
        << "rec"
        << QStringList{"at 2026-12-07T14:00:00Z",
                       "id SN0001 DT-670",
                       "start",
                       "T 80",
                       "at 2026-12-07T14:02:00Z",
                       "id SN0002 DT-670",
                       "T 78",
                       "at 2026-12-07T14:02:05Z",
                       "T 77"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv",
                       "started %d/rec/SN0002_2026-12-07_160205.csv"}
        << QStringList{"SN0001_2026-12-07_160000.csv", "SN0002_2026-12-07_160205.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T14:00:00.000Z,0.000,80.000\n"
                              + header("SN0002").split('\n').at(1)
                              + "\n2026-12-07T14:02:00.000Z,120.000,78.000\n",
                          header("SN0002") + "2026-12-07T14:02:05.000Z,0.000,77.000\n"};
    QTest::newRow("a garbled serial number for a moment, one file")
        << "rec"
        << QStringList{"at 2026-12-07T14:00:00Z",
                       "id SN0001 DT-670",
                       "start",
                       "id SN0O01 DT-670",
                       "T 80",
                       "at 2026-12-07T14:00:04Z",
                       "id SN0001 DT-670",
                       "at 2026-12-07T14:00:09Z",
                       "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv"}
        << QStringList{"SN0001_2026-12-07_160000.csv"}
        << QByteArrayList{sn1Header + header("SN0O01").split('\n').at(1)
                          + "\n2026-12-07T14:00:00.000Z,0.000,80.000\n"
                          + sn1Header.split('\n').at(1)
                          + "\n2026-12-07T14:00:09.000Z,9.000,79.000\n"};
    // The first reading a second after the last check finds it; rows sooner still go to
    // the file deleted meanwhile.
    QTest::newRow("a deleted file, the recording goes on in a new one")
        << "rec"
        << QStringList{"at 2026-12-07T14:00:00Z",
                       "id SN0001 DT-670",
                       "start",
                       "T 80",
                       "delete",
                       "at 2026-12-07T14:00:00.999Z",
                       "T 79.5",
                       "at 2026-12-07T14:00:01Z",
                       "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv",
                       "started %d/rec/SN0001_2026-12-07_160001.csv",
                       "gone %d/rec/SN0001_2026-12-07_160000.csv "
                       "%d/rec/SN0001_2026-12-07_160001.csv"}
        << QStringList{"SN0001_2026-12-07_160001.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T14:00:01.000Z,0.000,79.000\n"};
    QTest::newRow("automatic: a lost port that comes back keeps the file")
        << "rec" << QStringList{"auto", "at 2026-12-07T14:00:00Z", "id SN0001 DT-670", "T 80",
                                "lost", "at 2026-12-07T14:01:00Z", "id SN0001 DT-670", "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv"}
        << QStringList{"SN0001_2026-12-07_160000.csv"}
        << QByteArrayList{sn1Header
                          + "2026-12-07T14:00:00.000Z,0.000,80.000\n"
                            "2026-12-07T14:01:00.000Z,60.000,79.000\n"};
    QTest::newRow("automatic: Close ends the file, the next Open starts one")
        << "rec"
        << QStringList{"auto", "at 2026-12-07T14:00:00Z", "id SN0001 DT-670", "T 80", "close",
                       "T 81", "at 2026-12-07T14:00:01Z", "id SN0002 DT-400", "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv", "stopped ",
                       "started %d/rec/SN0002_2026-12-07_160001.csv"}
        << QStringList{"SN0001_2026-12-07_160000.csv", "SN0002_2026-12-07_160001.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T14:00:00.000Z,0.000,80.000\n",
                          header("SN0002", "DT-400") + "2026-12-07T14:00:01.000Z,0.000,79.000\n"};
    QTest::newRow("automatic: a new file at local midnight")
        << "rec" << QStringList{"auto", "at 2026-12-07T21:59:59.5Z",  "id SN0001 DT-670",
                                "T 80", "at 2026-12-07T22:00:00.25Z", "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_235959.csv",
                       "started %d/rec/SN0001_2026-12-08_000000.csv"}
        << QStringList{"SN0001_2026-12-07_235959.csv", "SN0001_2026-12-08_000000.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T21:59:59.500Z,0.000,80.000\n",
                          sn1Header + "2026-12-07T22:00:00.250Z,0.000,79.000\n"};
    QTest::newRow("started by hand: one file across midnight, none at identification")
        << "rec"
        << QStringList{"at 2026-12-07T21:59:59.5Z",
                       "id SN0001 DT-670",
                       "T 81",
                       "start",
                       "T 80",
                       "at 2026-12-07T22:00:00.25Z",
                       "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_235959.csv"}
        << QStringList{"SN0001_2026-12-07_235959.csv"}
        << QByteArrayList{sn1Header
                          + "2026-12-07T21:59:59.500Z,0.000,80.000\n"
                            "2026-12-07T22:00:00.250Z,0.750,79.000\n"};
    QTest::newRow("the same second twice: no file overwritten")
        << "rec" << QStringList{"at 2026-12-07T14:00:00Z",
                                "id SN0001 DT-670",
                                "start",
                                "T 80",
                                "start",
                                "T 79"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv",
                       "started %d/rec/SN0001_2026-12-07_160000-2.csv"}
        << QStringList{"SN0001_2026-12-07_160000-2.csv", "SN0001_2026-12-07_160000.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T14:00:00.000Z,0.000,79.000\n",
                          sn1Header + "2026-12-07T14:00:00.000Z,0.000,80.000\n"};
    QTest::newRow("a folder that cannot be created refuses to start")
        << "file/rec" << QStringList{"id SN0001 DT-670", "start", "T 80"}
        << QStringList{"stopped Cannot create the folder %d/file/rec: Not a directory"}
        << QStringList() << QByteArrayList();
    QTest::newRow("a full disk stops the recording")
        << "rec" << QStringList{"at 2026-12-07T14:00:00Z",
                                "id SN0001 DT-670",
                                "start",
                                "T 80",
                                "full",
                                "T 79",
                                "T 78"}
        << QStringList{"started %d/rec/SN0001_2026-12-07_160000.csv",
                       "stopped Cannot write %d/rec/SN0001_2026-12-07_160000.csv: File too large"}
        << QStringList{"SN0001_2026-12-07_160000.csv"}
        << QByteArrayList{sn1Header + "2026-12-07T14:00:00.000Z,0.000,80.000\n"};
}

void TestInstrument::recording()
{
    QFETCH(QString, folder);
    QFETCH(QStringList, script);
    QFETCH(QStringList, events);
    QFETCH(QStringList, fileNames);
    QFETCH(QByteArrayList, contents);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile blocker(dir.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString recordingFolder = dir.filePath(folder);

    Recorder recorder;
    QDateTime now = QDateTime::fromString(QStringLiteral("2026-12-07T12:00:00Z"), Qt::ISODate);
    recorder.setClock([&now] { return now; });
    recorder.setFolder(recordingFolder);
    QStringList seen;
    connect(&recorder, &Recorder::started, this,
            [&](const QString &path) { seen << QStringLiteral("started ") + path; });
    connect(&recorder, &Recorder::stopped, this,
            [&](const QString &error) { seen << QStringLiteral("stopped ") + error; });
    connect(&recorder, &Recorder::fileGone, this, [&](const QString &lost, const QString &path) {
        seen << QStringLiteral("gone %1 %2").arg(lost, path);
    });
    FileSizeLimit fileSize;

    for (const QString &step : script) {
        const QString command = step.section(QLatin1Char(' '), 0, 0);
        const QString argument = step.section(QLatin1Char(' '), 1);
        if (command == QLatin1String("id")) {
            recorder.sensorChanged(argument.section(' ', 1));
            recorder.instrumentIdentified(identity(argument.section(' ', 0, 0)));
        } else if (command == QLatin1String("auto"))
            recorder.setAutomatic(true);
        else if (command == QLatin1String("start"))
            recorder.start(recordingFolder);
        else if (command == QLatin1String("stop"))
            recorder.stop();
        else if (command == QLatin1String("at"))
            now = QDateTime::fromString(argument, Qt::ISODateWithMs);
        else if (command == QLatin1String("T"))
            recorder.addReading({now.toMSecsSinceEpoch() * 1000000, argument.toDouble()});
        else if (command == QLatin1String("sensor"))
            recorder.sensorChanged(argument);
        else if (command == QLatin1String("lost") || command == QLatin1String("close"))
            recorder.connectionEnded(command == QLatin1String("lost"));
        else if (command == QLatin1String("full"))
            fileSize.limitTo(QFileInfo(recorder.filePath()).size());
        else if (command == QLatin1String("delete"))
            QVERIFY(QFile::remove(recorder.filePath()));
        else
            QFAIL(qPrintable(step));
    }
    QCOMPARE(seen, events.replaceInStrings(QStringLiteral("%d"), dir.path()));
    const QDir results(recordingFolder);
    QCOMPARE(results.entryList(QDir::Files, QDir::Name), fileNames);
    for (int i = 0; i < fileNames.size(); ++i) {
        QFile file(results.filePath(fileNames.at(i)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), contents.at(i));
    }
}

// The two points as "adc1 adc2" in volts, "-" for one not measured, and the real voltages.
void TestInstrument::voltageFit_data()
{
    QTest::addColumn<QString>("measured");
    QTest::addColumn<double>("real1");
    QTest::addColumn<double>("real2");
    QTest::addColumn<double>("slope"); // 0 where no fit is made
    QTest::addColumn<double>("offset");
    QTest::addColumn<QString>("problem");
    QTest::newRow("usable") << "0.98 -0.01" << 1.0 << 0.0 << 1.0 / 0.99 << 0.01 << "";
    QTest::newRow("first point missing")
        << "- -0.01" << 1.0 << 0.0 << 0.0 << 0.0 << "Measure ADC voltage 1";
    QTest::newRow("second point missing")
        << "0.98 -" << 1.0 << 0.0 << 0.0 << 0.0 << "Measure ADC voltage 2";
    QTest::newRow("equal real voltages")
        << "0.98 -0.01" << 1.0 << 1.0 << 0.0 << 0.0 << "The two real voltages must differ";
    const QString apart = "The two measured voltages must be at least 10 mV apart: change the "
                          "voltage at the input between the two measurements";
    QTest::newRow("equal measured voltages") << "0.5 0.5" << 1.0 << 0.0 << 0.0 << 0.0 << apart;
    QTest::newRow("measured twice at one voltage") << "1 1.00000095367431640625" << 1.0 << 2.0
                                                   << 1048576.0 << -0.99999904632568359375 << apart;
    QTest::newRow("an offset the command cannot carry")
        << "0 8" << 1.0 << 1.00000011920928955078125 << std::ldexp(1.0, -26) << 67108864.0
        << "The fitted offset 67108864 V is more than the instrument takes (2147 V either way)";
    QTest::newRow("falling") << "0.98 -0.01" << 0.0 << 1.0 << -1.0 / 0.99 << -0.98
                             << "The fitted slope is not positive";
}

void TestInstrument::voltageFit()
{
    QFETCH(QString, measured);
    QFETCH(double, real1);
    QFETCH(double, real2);
    QFETCH(double, slope);
    QFETCH(double, offset);
    QFETCH(QString, problem);
    VoltageCalibration fit;
    const QStringList adc = measured.split(' ');
    if (adc.at(0) != "-")
        fit.setMeasured(VoltageCalibration::Point::First, adc.at(0).toDouble());
    if (adc.at(1) != "-")
        fit.setMeasured(VoltageCalibration::Point::Second, adc.at(1).toDouble());
    fit.setRealVoltages(real1, real2);
    QCOMPARE(fit.fit(), slope != 0.0);
    QCOMPARE(fit.slope(), slope);
    QVERIFY(qAbs(fit.offset() - offset) < 1e-12);
    QCOMPARE(fit.problem(), problem);
    // Measured anew after a new connection; the fit stays until then.
    fit.forgetMeasurements();
    QCOMPARE(fit.problem(), QStringLiteral("Measure ADC voltage 1"));
    QCOMPARE(fit.slope(), slope);
}

void TestInstrument::voltageReport_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("calibratedReport"); // "Vcor" rather than "Vunc"
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("volts");
    QTest::addColumn<bool>("calibrated");
    QTest::newRow("uncalibrated") << "980000" << false << true << 0.98 << false;
    QTest::newRow("not whole microvolts") << "0.98" << false << false << 0.0 << false;
    QTest::newRow("calibrated, C") << "-2500 C" << true << true << -0.0025 << true;
    QTest::newRow("calibrated, U") << "1500000 U" << true << true << 1.5 << false;
    QTest::newRow("calibrated, no mark") << "1500000" << true << true << 1.5 << false;
    QTest::newRow("calibrated, no number") << "x C" << true << false << 0.0 << false;
}

void TestInstrument::voltageReport()
{
    QFETCH(QString, value);
    QFETCH(bool, calibratedReport);
    QFETCH(bool, ok);
    QFETCH(double, volts);
    QFETCH(bool, calibrated);
    double read = 0.0;
    bool readCalibrated = false;
    QCOMPARE(calibratedReport ? VoltageCalibration::parseCalibrated(value, &read, &readCalibrated)
                              : VoltageCalibration::parseUncalibrated(value, &read),
             ok);
    QCOMPARE(read, volts);
    QCOMPARE(readCalibrated && ok, calibrated);
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestInstrument)
#include "test_instrument.moc"
