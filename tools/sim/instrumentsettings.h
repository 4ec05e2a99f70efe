#ifndef RIMEGLASS_SIM_INSTRUMENTSETTINGS_H
#define RIMEGLASS_SIM_INSTRUMENTSETTINGS_H

#include <QByteArray>
#include <QList>

// The instrument's ten settings, named by the keys of its parameter reports, plus the
// calibration of its voltage input. Values are checked on the way in, so an instance
// always holds something the instrument would accept.
class InstrumentSettings
{
public:
    enum class Result { Accepted, UnknownKey, BadValue, OutOfRange };

    // "cal", "rs232:period", ... "display:period", in the order the tool reads them back.
    static QList<QByteArray> keys();

    // The value as the instrument reports it ("zur", "250", "300.000"); empty for an
    // unknown key.
    QByteArray value(const QByteArray &key) const;
    // Takes the value as the instrument's set command carries it.
    Result assign(const QByteArray &key, const QByteArray &text);

    // The output period of the RS232 port in milliseconds; 0 when automatic output is off.
    int rs232Period() const { return m_rs232Period; }

    // Voltage input calibration as the ":volt:cal" command carries it: offset in
    // microvolts, slope as a fixed-point number with 24 fraction bits. A slope of 0 means
    // uncalibrated.
    qint32 adcOffset = 0;
    qint32 adcSlope = 0;

    bool operator==(const InstrumentSettings &other) const;
    bool operator!=(const InstrumentSettings &other) const { return !(*this == other); }

private:
    struct IntegerField
    {
        const char *key;
        int InstrumentSettings::*member;
        int minimum;
        int maximum;
        bool zeroAllowed;
    };
    struct KelvinField
    {
        const char *key;
        double InstrumentSettings::*member;
    };
    static const IntegerField integerFields[];
    static const KelvinField kelvinFields[];

    QByteArray m_sensor = "zur";
    int m_rs232Period = 1000;
    int m_rs485Period = 0;
    int m_relay1Default = 0;
    double m_relay1Temperature = 80.0;
    double m_relay1Hysteresis = 1.0;
    int m_relay2Default = 1;
    double m_relay2Temperature = 300.0;
    double m_relay2Hysteresis = 2.5;
    int m_displayPeriod = 500;
};

#endif
