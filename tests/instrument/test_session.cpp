// The instrument session through a real pseudo-terminal: what it takes to be true about
// the instrument (who it is, its readings and their times, its settings, the port), in
// the signals it emits and the bytes it writes.

#include "instrumentsession.h"
#include "pseudoterminal.h"
#include "recorder.h"
#include "testmain.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QMetaEnum>
#include <QSerialPort>
#include <QTemporaryDir>
#include <memory>

namespace {

const QByteArray opening("\x03\n*idn?\n", 8);
const QByteArray allQueries(":cal?\n:rs232:period?\n:rs485:period?\n:relay1:default?\n"
                            ":relay1:temp?\n:relay1:hyst?\n:relay2:default?\n:relay2:temp?\n"
                            ":relay2:hyst?\n:display:period?\n");
const QString readBackValues("readBack cal=zur display:period=500 relay1:default=0 "
                             "relay1:hyst=1.000 relay1:temp=80.000 relay2:default=1 "
                             "relay2:hyst=2.500 relay2:temp=300.000 rs232:period=250 "
                             "rs485:period=0");

// The instrument's side as a row plays it: once answering, it answers the identification
// queries (the first `garbled` times with the version's first digit made a letter, as a
// noisy line does), "@00" with revision 1, and each read-back query but the muted one.
struct ScriptedInstrument
{
    bool answering = false;
    QByteArray identification = "MORVA,ZURKD550,SN1,1.5.2.0";
    int garbled = 0;
    QByteArray muted;

    QByteArrayList respond(const QByteArray &token) const
    {
        static const QMap<QByteArray, QByteArray> values{
            {"cal", "zur"},           {"rs232:period", "250"},    {"rs485:period", "0"},
            {"relay1:default", "0"},  {"relay1:temp", "80.000"},  {"relay1:hyst", "1.000"},
            {"relay2:default", "1"},  {"relay2:temp", "300.000"}, {"relay2:hyst", "2.500"},
            {"display:period", "500"}};
        if (!answering || token == muted)
            return {};
        if (token.toLower() == "*idn?\n")
            return {identification};
        if (token == "@00\n")
            return {"*COMPAT = 3cc3a93f426145ff95bf653df2686cb0"};
        const QByteArray key = token.mid(1, token.size() - 3);
        if (token.startsWith(':') && token.endsWith("?\n") && values.contains(key))
            return {key + " = " + values.value(key)};
        return {};
    }
};

QString enumKey(const QMetaEnum &meta, int value)
{
    return QString::fromLatin1(meta.valueToKey(value));
}

// Every signal of the session, in order, as a short text.
void recordEvents(InstrumentSession &session, QStringList *events)
{
    using Session = InstrumentSession;
    QObject::connect(&session, &Session::stateChanged, [events](Session::State state) {
        *events << "state " + enumKey(QMetaEnum::fromType<Session::State>(), int(state));
    });
    QObject::connect(&session, &Session::opened, [events] { *events << "opened"; });
    QObject::connect(&session, &Session::openFailed,
                     [events](const QString &, const QString &r) { *events << "openFailed " + r; });
    QObject::connect(&session, &Session::identified, [events](const InstrumentIdentity &id) {
        *events << QStringLiteral("identified %1 %2 %3 %4")
                       .arg(id.model, id.serialNumber, id.version, id.revisionName());
    });
    QObject::connect(&session, &Session::instrumentReset, [events] { *events << "reset"; });
    QObject::connect(&session, &Session::readingArrived, [events](const Reading &reading) {
        *events << QStringLiteral("T %1 %2").arg(reading.kelvin).arg(reading.utcNanoseconds);
    });
    QObject::connect(&session, &Session::readBackFinished, [events](const SettingsValues &values) {
        QStringList pairs;
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            pairs << it.key() + '=' + it.value();
        *events << "readBack " + pairs.join(' ');
    });
    QObject::connect(&session, &Session::noAnswer,
                     [events](const QString &reason) { *events << "noAnswer " + reason; });
    QObject::connect(&session, &Session::portLost, [events] { *events << "portLost"; });
    QObject::connect(&session, &Session::portBack, [events] { *events << "portBack"; });
    QObject::connect(&session, &Session::transferProgress, [events](int done, int total) {
        *events << QStringLiteral("progress %1/%2").arg(done).arg(total);
    });
    QObject::connect(&session, &Session::transferFinished, [events] { *events << "finished"; });
    QObject::connect(
        &session, &Session::transferFailed, [events](const Device::TransferFailureReport &report) {
            *events << "failed "
                    + enumKey(QMetaEnum::fromType<Device::TransferFailure>(), int(report.failure));
        });
}

// Runs the event loop until an event starting with `prefix` has been seen.
bool waitForEvent(const QStringList &events, const QString &prefix)
{
    const QDeadlineTimer deadline(5000);
    const auto seen = [&] {
        return std::any_of(events.cbegin(), events.cend(),
                           [&](const QString &event) { return event.startsWith(prefix); });
    };
    while (!seen() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return seen();
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void session_data();
    void session();
    void readingTimeInRecording();
};

// Each step of `script`: "answer" (the instrument answers from now on), "idn LINE" (its
// identification reply), "garble N", "mute QUERY", "unmute", "< LINE" (the instrument
// sends a line), "stale" (another program opens the port, writes "@00" and closes it),
// "open", "open-missing", "close", "readback", "readback-auto", "timeout MS", "at NS"
// (the clock), "take K" (a reading from outside the link), "wait EVENT" (until such an
// event), "hangup" (the port goes away), "return" (it comes back), "write-error" (the
// port reports one), "upload". `events`: the session's signals ("PORT" for the
// port's name); `wire`: every byte the session and the stale program wrote.
void TestSession::session_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QByteArray>("wire");

    const QString id = "identified ZURKD550 SN1 1.5.2.0 revision 1";
    QTest::newRow("identified once the revision is known")
        << QStringList{"answer", "open"}
        << QStringList{"state Identifying", "opened", "state Ready", id} << opening + "@00\n";
    QTest::newRow("a lone *COMPAT line names no instrument")
        << QStringList{"open", "< *COMPAT = 3cc3a93f426145ff95bf653df2686cb0",
                       "< MORVA,ZURKD550,SN1,1.3.0.0"}
        << QStringList{"state Identifying", "opened", "state Ready",
                       "identified ZURKD550 SN1 1.3.0.0 revision 1"}
        << opening;
    QTest::newRow("an answer and readings left in the port are discarded at Open")
        << QStringList{"answer", "stale", "< *T = 1.000 K", "open"}
        << QStringList{"state Identifying", "opened", "state Ready", id}
        << "@00\n" + opening + "@00\n";
    QTest::newRow("an unknown model is asked again")
        << QStringList{"open", "< MORVA,ZURKD5S0,SN1,1.5.2.0", "< MORVA,ZURKD550,SN1,1.3.0.0"}
        << QStringList{"state Identifying", "opened", "state Ready",
                       "identified ZURKD550 SN1 1.3.0.0 revision 1"}
        << opening + "*IDN?\n";
    QTest::newRow("a garbled version is asked again")
        << QStringList{"answer", "garble 3", "open"}
        << QStringList{"state Identifying", "opened", "state Ready", id}
        << opening + "*IDN?\n*IDN?\n*IDN?\n@00\n";
    QTest::newRow("an identification that stays unreadable")
        << QStringList{"answer", "garble 4", "open"}
        << QStringList{"state Identifying", "opened",
                       "noAnswer The instrument on PORT answered 4 times with an identification "
                       "that cannot be read: check the cable and the port."}
        << opening + "*IDN?\n*IDN?\n*IDN?\n";
    QTest::newRow("a silent instrument")
        << QStringList{"timeout 100", "open", "wait noAnswer"}
        << QStringList{"state Identifying", "opened",
                       "noAnswer No instrument answered on PORT within 0.1 s: check the cable, "
                       "the port and that the instrument is switched on."}
        << opening;
    QTest::newRow("a query left unanswered")
        << QStringList{"answer",       "mute :relay1:default?\n", "timeout 100", "open", "readback",
                       "wait noAnswer"}
        << QStringList{"state Identifying", "opened", "state Ready", id,
                       "noAnswer The instrument did not answer \":relay1:default?\" within 0.1 s."}
        << opening + "@00\n" + allQueries.left(allQueries.indexOf(":relay1:temp"));
    QTest::newRow("the port does not open")
        << QStringList{"open-missing"}
        << QStringList{"openFailed Cannot open PORT-missing: no such port."} << QByteArray();
    QTest::newRow("read back on every identification of the application")
        << QStringList{"answer", "readback-auto", "open", "< *APP 1.5.2.0"}
        << QStringList{"state Identifying", "opened",
                       "state Ready",       id,
                       readBackValues,      "state Identifying",
                       "state Ready",       id,
                       readBackValues}
        << opening + "@00\n" + allQueries + "*IDN?\n@00\n" + allQueries;
    QTest::newRow("the boot loader: no read-back")
        << QStringList{"answer", "idn MORVA,ZURKD550-BS,SN1,1.4.0.0", "readback-auto", "open"}
        << QStringList{"state Identifying", "opened", "state BootLoader",
                       "identified ZURKD550-BS SN1 1.4.0.0 revision 1"}
        << opening + "@00\n";
    QTest::newRow("the boot loader ends a read-back the application left unfinished")
        << QStringList{"answer",  "mute :relay1:temp?\n",  "readback-auto",
                       "open",    "< *RESET software",     "idn MORVA,ZURKD550-BS,SN1,1.4.0.0",
                       "< *MGMT", "< relay1:temp = 80.000"}
        << QStringList{"state Identifying",
                       "opened",
                       "state Ready",
                       id,
                       "reset",
                       "state Identifying",
                       "state BootLoader",
                       "identified ZURKD550-BS SN1 1.4.0.0 revision 1"}
        << opening + "@00\n" + allQueries.left(allQueries.indexOf(":relay1:hyst")) + "*IDN?\n@00\n";
    QTest::newRow("a read-back interrupted by a restart finishes once, after it")
        << QStringList{"answer", "mute :relay1:temp?\n", "open", "readback",
                       "unmute", "< *APP 1.5.2.0"}
        << QStringList{"state Identifying", "opened", "state Ready", id, "state Identifying",
                       "state Ready",       id,       readBackValues}
        << opening + "@00\n" + allQueries.left(allQueries.indexOf(":relay1:hyst")) + "*IDN?\n@00\n"
            + allQueries;
    QTest::newRow("a lost port is opened again when it is back")
        << QStringList{"answer", "readback-auto", "open", "hangup", "return"}
        << QStringList{"state Identifying", "opened",
                       "state Ready",       id,
                       readBackValues,      "state WaitingForPort",
                       "portLost",          "state Identifying",
                       "portBack",          "opened",
                       "state Ready",       id,
                       readBackValues}
        << opening + "@00\n" + allQueries + opening + "@00\n" + allQueries;
    QTest::newRow("readings, each after the one before")
        << QStringList{"at 5000",
                       "open",
                       "< *T = 77.350 K\r\n*T = 77.349 K",
                       "at 4000",
                       "< *T = 77.348 K",
                       "at 9000",
                       "< *T = 77.347 K",
                       "take 80"}
        << QStringList{"state Identifying", "opened",        "T 77.35 5000", "T 77.349 5001",
                       "T 77.348 5002",     "T 77.347 9000", "T 80 9001"}
        << opening;
    QTest::newRow("a write error leaves the port open")
        << QStringList{"answer", "open", "write-error"}
        << QStringList{"state Identifying", "opened", "state Ready", id} << opening + "@00\n";
    QTest::newRow("a transfer and back")
        << QStringList{"answer", "open", "upload", "< *cal-erase-done", "< *cal-write-done"}
        << QStringList{"state Identifying",
                       "opened",
                       "state Ready",
                       id,
                       "state Transferring",
                       "progress 0/8",
                       "progress 48/8",
                       "state Ready",
                       "finished"}
        << opening + "@00\n:cal:erase\n:cal:write 0000 7878787878787878\n:cal:commit\n";
    QTest::newRow("the boot loader takes no table")
        << QStringList{"answer", "idn MORVA,ZURKD550-BS,SN1,1.4.0.0", "open", "upload"}
        << QStringList{"state Identifying", "opened", "state BootLoader",
                       "identified ZURKD550-BS SN1 1.4.0.0 revision 1",
                       "refused The instrument runs its boot loader, which takes no calibration "
                       "table: finish the firmware upgrade first."}
        << opening + "@00\n";
    QTest::newRow("Close ends a transfer")
        << QStringList{"answer", "open", "upload", "close"}
        << QStringList{"state Identifying",  "opened",       "state Ready",       id,
                       "state Transferring", "progress 0/8", "failed PortClosed", "state Closed"}
        << opening + "@00\n:cal:erase\n";
}

void TestSession::session()
{
    QFETCH(QStringList, script);
    QFETCH(QStringList, events);
    QFETCH(QByteArray, wire);

    QTemporaryDir directory;
    const QString link = directory.filePath("ttySIM");
    ScriptedInstrument instrument;
    auto peer = std::make_unique<PseudoTerminal>();
    QByteArray written;
    const auto attach = [&] {
        QVERIFY(QFile::link(peer->portName(), link));
        peer->setResponder([&](const QByteArray &token) {
            QByteArrayList replies = instrument.respond(token);
            if (!replies.isEmpty() && token.toLower() == "*idn?\n" && instrument.garbled > 0) {
                --instrument.garbled;
                replies.first().replace(",1.", ",l.");
            }
            return replies;
        });
    };
    attach();

    InstrumentSession session;
    qint64 now = 0;
    session.setClock([&now] { return now; });
    QStringList seen;
    recordEvents(session, &seen);
    const auto settle = [&] {
        peer->settle(session.device() ? session.device()->port : nullptr);
    };

    for (const QString &step : script) {
        const QString command = step.section(' ', 0, 0);
        const QString argument = step.section(' ', 1);
        if (command == "answer") {
            instrument.answering = true;
        } else if (command == "idn") {
            instrument.identification = argument.toLatin1();
        } else if (command == "garble") {
            instrument.garbled = argument.toInt();
        } else if (command == "mute") {
            instrument.muted = argument.toLatin1();
        } else if (command == "unmute") {
            instrument.muted.clear();
        } else if (command == "<") {
            peer->sendLine(argument.toLatin1());
        } else if (command == "stale") {
            QSerialPort other(link);
            QVERIFY(other.open(QIODevice::ReadWrite));
            other.write("@00\n");
            QVERIFY(other.waitForBytesWritten(1000));
            other.close();
        } else if (command == "open") {
            session.open(link);
        } else if (command == "open-missing") {
            session.open(link + "-missing");
        } else if (command == "close") {
            session.close();
        } else if (command == "readback") {
            session.readBack();
        } else if (command == "readback-auto") {
            session.setReadBackOnIdentification(true);
        } else if (command == "timeout") {
            session.setAnswerTimeout(argument.toInt());
        } else if (command == "at") {
            now = argument.toLongLong();
        } else if (command == "take") {
            session.takeReading(argument.toDouble());
        } else if (command == "write-error") {
            emit session.device()->port->errorOccurred(QSerialPort::WriteError);
        } else if (command == "wait") {
            QVERIFY2(waitForEvent(seen, argument), qPrintable(seen.join('\n')));
        } else if (command == "hangup") {
            written += peer->takeReceived();
            peer->hangUp();
            QVERIFY(waitForEvent(seen, "portLost"));
            peer = std::make_unique<PseudoTerminal>();
            QVERIFY(QFile::remove(link));
        } else if (command == "return") {
            attach();
            QVERIFY(waitForEvent(seen, "portBack"));
        } else if (command == "upload") {
            QString refusal;
            if (!session.uploadCalibration(QByteArray(8, 'x'), &refusal))
                seen << "refused " + refusal;
        } else {
            QFAIL(qPrintable(step));
        }
        settle();
    }
    written += peer->takeReceived();
    QCOMPARE(seen, events.replaceInStrings("PORT", link));
    QCOMPARE(written, wire);
}

// The time the session stamps a reading with is the time its row carries, whatever the
// recorder's own clock says.
void TestSession::readingTimeInRecording()
{
    PseudoTerminal peer;
    InstrumentSession session;
    const QDateTime start = QDateTime::fromString("2026-12-07T14:03:21.125Z", Qt::ISODateWithMs);
    qint64 now = start.toMSecsSinceEpoch() * 1000000 + 999999;
    session.setClock([&now] { return now; });
    QTemporaryDir folder;
    Recorder recorder;
    recorder.setClock([&start] { return start; });
    QVERIFY(recorder.start(folder.path()));
    recorder.setClock([&start] { return start.addDays(1); });
    QList<Reading> readings;
    connect(&session, &InstrumentSession::readingArrived, &recorder, &Recorder::addReading);
    connect(&session, &InstrumentSession::readingArrived,
            [&readings](const Reading &reading) { readings << reading; });

    QVERIFY(session.open(peer.portName()));
    peer.sendLine("*T = 77.350 K\r\n*T = 77.349 K");
    peer.settle(session.device()->port);
    recorder.stop();

    QCOMPARE(readings.size(), 2);
    QCOMPARE(readings.at(1).utcNanoseconds, now + 1);
    QCOMPARE(readings.at(1).time(), start.addMSecs(1));
    QFile file(recorder.filePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY2(file.readAll().endsWith("time_utc,seconds,kelvin\n"
                                     "2026-12-07T14:03:21.125Z,0.000,77.350\n"
                                     "2026-12-07T14:03:21.126Z,0.001,77.349\n"),
             qPrintable(recorder.filePath()));
}

RIMEGLASS_TEST_MAIN(QCoreApplication, TestSession)
#include "test_session.moc"
