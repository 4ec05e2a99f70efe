#ifndef RIMEGLASS_SETTINGSPANEL_H
#define RIMEGLASS_SETTINGSPANEL_H

#include <QObject>
#include <QString>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSettings;
class QSpinBox;
class QWidget;

// The Settings tab, the sensor's name on the Status tab, "Enable serial output" and
// both Save buttons. The fields take their ranges, steps and decimals, the sensor list and
// their tooltips (what each does, its range and unit) from SettingsTable, and their values from the
// store; a change the operator makes is stored first and then sent, with a short confirmation,
// while a port is open. Values read back from the instrument are shown but neither stored nor sent
// (the display refresh period alone is stored).
class SettingsPanel : public QObject
{
    Q_OBJECT

public:
    SettingsPanel(QWidget *form, QSettings *store);

    // The sensor selected: "ZUR", "DT-400", "DT-670", "ASC" or "Custom".
    QString sensorName() const;

public slots:
    void sensorChanged(int index);
    void relay1TempSpinChanged(double value);
    void relay2TempSpinChanged(double value);
    void relay1HystSpinChanged(double value);
    void relay2HystSpinChanged(double value);
    void relay1DefaultStateChanged(int index);
    void relay2DefaultStateChanged(int index);
    void rs232AutomaticOutputChanged(int index);
    void rs232OutputPeriodSpinChanged(int value);
    void rs485AutomaticOutputChanged(int index);
    void rs485OutputPeriodSpinChanged(int value);
    void displayRefreshSpinChanged(int value);
    void enableSerialOutput();
    // Asks the instrument to keep its settings over a restart.
    void save();

    // A parameter report of the instrument ("relay1:temp", "42.5"): shown in its widget
    // when it is a setting and its value converts, ignored otherwise.
    void applyReadBackValue(const QString &key, const QString &value);
    // Commands go out only while connected.
    void setConnected(bool connected);

signals:
    void commandRequested(const QString &command);
    void statusMessage(const QString &text, int timeoutMs);
    // Also for a sensor read back: the recording names what it measures.
    void sensorNameChanged(const QString &name);
    // The RS232 output period the instrument now works with (0 while it is off): the
    // one read back, or the one just sent.
    void outputPeriodChanged(int periodMs);

private:
    void setUpFromTable();
    void setToolTips(QWidget *form);
    void loadStoredSettings();
    void connectWidgets();
    void changeRelayValue(const QString &key, int relay, bool hysteresis, double value);
    void changeRelayDefaultState(const QString &key, int relay, const QComboBox *combo);
    void sendRs232Period();
    void sendRs485Period();
    bool sendConfirmed(const QString &command, const QString &confirmation);
    void applySensorKeyword(const QString &keyword);
    void applyRs232Period(const QString &value);
    void applyRs485Period(const QString &value);

    QSettings *m_store;
    QComboBox *m_sensorCombo;
    QLabel *m_sensorNameValue;
    QDoubleSpinBox *m_relay1TempSpin;
    QDoubleSpinBox *m_relay1HystSpin;
    QComboBox *m_relay1DefaultStateCombo;
    QDoubleSpinBox *m_relay2TempSpin;
    QDoubleSpinBox *m_relay2HystSpin;
    QComboBox *m_relay2DefaultStateCombo;
    QComboBox *m_rs232OutputCombo;
    QDoubleSpinBox *m_rs232PeriodSpin;
    QComboBox *m_rs485OutputCombo;
    QDoubleSpinBox *m_rs485PeriodSpin;
    QSpinBox *m_displayRefreshSpin;
    QPushButton *m_applyButton;
    QPushButton *m_enableSerialOutputButton;
    bool m_connected = false;
    // Set while values read back are written into the widgets: the change slots then
    // neither store nor send.
    bool m_updatingFromDevice = false;
};

#endif
