#include "settingspanel.h"

#include "formchild.h"
#include "settingsprotocol.h"
#include "storedvalue.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QIcon>
#include <QLabel>
#include <QList>
#include <QPair>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <cmath>

namespace {

const int confirmationNoticeMs = 3000;

void fillCombo(QComboBox *combo, const QList<QPair<QString, int>> &items)
{
    combo->clear();
    for (const auto &item : items)
        combo->addItem(QIcon(), item.first, item.second);
}

bool toInteger(const QString &text, int *number)
{
    bool ok = false;
    *number = text.toInt(&ok, 10);
    return ok;
}

// "nan" and "inf" convert as numbers but are no setting a spin box can hold.
bool toFiniteDouble(const QString &text, double *number)
{
    bool ok = false;
    *number = text.toDouble(&ok);
    return ok && std::isfinite(*number);
}

// The period the instrument is told for one of its serial outputs: the period chosen
// while the output is enabled, 0 while it is disabled.
int outputPeriod(const QComboBox *outputCombo, const QDoubleSpinBox *periodSpin)
{
    if (outputCombo->currentData(Qt::UserRole).toInt() == 0)
        return 0;
    return int(periodSpin->value());
}

void showOutputPeriod(QComboBox *outputCombo, QDoubleSpinBox *periodSpin, int period)
{
    if (period != 0) {
        outputCombo->setCurrentIndex(1);
        periodSpin->setValue(period);
    } else {
        outputCombo->setCurrentIndex(0);
    }
}

// What a field does and the values it takes, for its tooltip: "The temperature at which
// relay 1 switches.\nRange: 0.1 to 1000 K".
QString fieldToolTip(const Setting &setting)
{
    QString values;
    switch (setting.kind) {
    case Setting::Kind::Sensor:
        values = SettingsPanel::tr("One of %1").arg(SettingsTable::sensorNamesText());
        break;
    case Setting::Kind::DefaultState:
        values = SettingsPanel::tr("Off or On");
        break;
    case Setting::Kind::Output:
        values = SettingsPanel::tr("Disabled or Enabled");
        break;
    case Setting::Kind::Kelvin:
    case Setting::Kind::OutputPeriod:
    case Setting::Kind::DisplayPeriod:
        values = SettingsPanel::tr("Range: %1 to %2 %3")
                     .arg(QString::number(setting.minimum), QString::number(setting.maximum),
                          setting.unit);
        break;
    }
    QString description = setting.description;
    if (!description.isEmpty())
        description[0] = description.at(0).toUpper();
    return description + QStringLiteral(".\n") + values;
}

} // namespace

SettingsPanel::SettingsPanel(QWidget *form, QSettings *store)
    : QObject(form)
    , m_store(store)
    , m_sensorCombo(formChild<QComboBox>(form, "sensorCombo"))
    , m_sensorNameValue(formChild<QLabel>(form, "sensorNameValue"))
    , m_relay1TempSpin(formChild<QDoubleSpinBox>(form, "relay1TempSpin"))
    , m_relay1HystSpin(formChild<QDoubleSpinBox>(form, "relay1HystSpin"))
    , m_relay1DefaultStateCombo(formChild<QComboBox>(form, "relay1DefaultStateCombo"))
    , m_relay2TempSpin(formChild<QDoubleSpinBox>(form, "relay2TempSpin"))
    , m_relay2HystSpin(formChild<QDoubleSpinBox>(form, "relay2HystSpin"))
    , m_relay2DefaultStateCombo(formChild<QComboBox>(form, "relay2DefaultStateCombo"))
    , m_rs232OutputCombo(formChild<QComboBox>(form, "rs232AutomaticOutputCombo"))
    , m_rs232PeriodSpin(formChild<QDoubleSpinBox>(form, "rs232OutputPeriodSpin"))
    , m_rs485OutputCombo(formChild<QComboBox>(form, "rs485AutomaticOutputCombo"))
    , m_rs485PeriodSpin(formChild<QDoubleSpinBox>(form, "rs485OutputPeriodSpin"))
    , m_displayRefreshSpin(formChild<QSpinBox>(form, "displayRefreshSpin"))
    , m_applyButton(formChild<QPushButton>(form, "applyButton"))
    , m_enableSerialOutputButton(formChild<QPushButton>(form, "enableSerialOutputButton"))
{
    setObjectName(QStringLiteral("settingsPanel"));
    // Everything is loaded before any change slot is connected, so loading neither
    // writes the store back nor sends a command.
    loadStoredSettings();
    setToolTips(form);
    connectWidgets();
    m_enableSerialOutputButton->hide();
    setConnected(false);
}

// The sensors and the fields' ranges, steps and decimals, as the instrument takes them.
void SettingsPanel::setUpFromTable()
{
    m_sensorCombo->clear();
    for (const Sensor &sensor : SettingsTable::sensors())
        m_sensorCombo->addItem(sensor.name, sensor.id);
    const QList<QPair<QDoubleSpinBox *, const char *>> spins{
        {m_relay1TempSpin, "relay1-temperature"}, {m_relay1HystSpin, "relay1-hysteresis"},
        {m_relay2TempSpin, "relay2-temperature"}, {m_relay2HystSpin, "relay2-hysteresis"},
        {m_rs232PeriodSpin, "rs232-period"},      {m_rs485PeriodSpin, "rs485-period"}};
    for (const auto &spin : spins) {
        const Setting *setting = SettingsTable::find(QLatin1String(spin.second));
        spin.first->setDecimals(setting->decimals);
        spin.first->setRange(setting->minimum, setting->maximum);
        spin.first->setSingleStep(setting->step);
    }
    const Setting *display = SettingsTable::find(QStringLiteral("display-refresh-period"));
    m_displayRefreshSpin->setRange(int(display->minimum), int(display->maximum));
    m_displayRefreshSpin->setSingleStep(int(display->step));
}

// On each field and its label.
void SettingsPanel::setToolTips(QWidget *form)
{
    const char *const fields[][3] = {
        {"sensor", "sensorCombo", "sensorComboLabel"},
        {"relay1-temperature", "relay1TempSpin", "relay1TempLabel"},
        {"relay1-hysteresis", "relay1HystSpin", "relay1HystLabel"},
        {"relay1-default-state", "relay1DefaultStateCombo", "relay1DefaultStateLabel"},
        {"relay2-temperature", "relay2TempSpin", "relay2TempLabel"},
        {"relay2-hysteresis", "relay2HystSpin", "relay2HystLabel"},
        {"relay2-default-state", "relay2DefaultStateCombo", "relay2DefaultStateLabel"},
        {"rs232-output", "rs232AutomaticOutputCombo", "rs232AutomaticOutputLabel"},
        {"rs232-period", "rs232OutputPeriodSpin", "rs232OutputPeriodLabel"},
        {"rs485-output", "rs485AutomaticOutputCombo", "rs485AutomaticOutputLabel"},
        {"rs485-period", "rs485OutputPeriodSpin", "rs485OutputPeriodLabel"},
        {"display-refresh-period", "displayRefreshSpin", "displayRefreshLabel"},
    };
    for (const auto &field : fields) {
        const QString toolTip = fieldToolTip(*SettingsTable::find(QLatin1String(field[0])));
        formChild<QWidget>(form, field[1])->setToolTip(toolTip);
        formChild<QWidget>(form, field[2])->setToolTip(toolTip);
    }
}

void SettingsPanel::loadStoredSettings()
{
    setUpFromTable();
    const int sensorIndex
        = SettingsTable::sensorIndexOfId(storedValue(*m_store, StoreKey::sensorId).toInt());
    if (sensorIndex >= 0)
        m_sensorCombo->setCurrentIndex(sensorIndex);
    m_sensorNameValue->setText(m_sensorCombo->currentText());

    const QList<QPair<QString, int>> offOn = {{tr("Off"), 0}, {tr("On"), 1}};
    const QList<QPair<QString, int>> disabledEnabled = {{tr("Disabled"), 0}, {tr("Enabled"), 1}};
    const auto stored = [this](const QString &key) {
        return storedValue(*m_store, key);
    };

    m_relay1TempSpin->setValue(stored(StoreKey::relay1Temperature).toDouble());
    m_relay1HystSpin->setValue(stored(StoreKey::relay1Hysteresis).toDouble());
    fillCombo(m_relay1DefaultStateCombo, offOn);
    m_relay1DefaultStateCombo->setCurrentIndex(stored(StoreKey::relay1DefaultState).toInt());

    m_relay2TempSpin->setValue(stored(StoreKey::relay2Temperature).toDouble());
    m_relay2HystSpin->setValue(stored(StoreKey::relay2Hysteresis).toDouble());
    fillCombo(m_relay2DefaultStateCombo, offOn);
    m_relay2DefaultStateCombo->setCurrentIndex(stored(StoreKey::relay2DefaultState).toInt());

    fillCombo(m_rs232OutputCombo, disabledEnabled);
    m_rs232OutputCombo->setCurrentIndex(stored(StoreKey::rs232Output).toInt());
    m_rs232PeriodSpin->setValue(stored(StoreKey::rs232Period).toDouble());

    fillCombo(m_rs485OutputCombo, disabledEnabled);
    m_rs485OutputCombo->setCurrentIndex(stored(StoreKey::rs485Output).toInt());
    m_rs485PeriodSpin->setValue(stored(StoreKey::rs485Period).toDouble());
}

void SettingsPanel::connectWidgets()
{
    const auto comboIndexChanged = QOverload<int>::of(&QComboBox::currentIndexChanged);
    const auto doubleSpinChanged = QOverload<double>::of(&QDoubleSpinBox::valueChanged);

    connect(m_sensorCombo, comboIndexChanged, this, &SettingsPanel::sensorChanged);
    connect(m_sensorCombo, &QComboBox::currentTextChanged, this, &SettingsPanel::sensorNameChanged);
    connect(m_relay1TempSpin, doubleSpinChanged, this, &SettingsPanel::relay1TempSpinChanged);
    connect(m_relay2TempSpin, doubleSpinChanged, this, &SettingsPanel::relay2TempSpinChanged);
    connect(m_relay1HystSpin, doubleSpinChanged, this, &SettingsPanel::relay1HystSpinChanged);
    connect(m_relay2HystSpin, doubleSpinChanged, this, &SettingsPanel::relay2HystSpinChanged);
    connect(m_relay1DefaultStateCombo, comboIndexChanged, this,
            &SettingsPanel::relay1DefaultStateChanged);
    connect(m_relay2DefaultStateCombo, comboIndexChanged, this,
            &SettingsPanel::relay2DefaultStateChanged);
    connect(m_rs232OutputCombo, comboIndexChanged, this,
            &SettingsPanel::rs232AutomaticOutputChanged);
    // The period spin boxes show whole milliseconds; the value arrives truncated.
    connect(m_rs232PeriodSpin, doubleSpinChanged, this,
            &SettingsPanel::rs232OutputPeriodSpinChanged);
    connect(m_rs485OutputCombo, comboIndexChanged, this,
            &SettingsPanel::rs485AutomaticOutputChanged);
    connect(m_rs485PeriodSpin, doubleSpinChanged, this,
            &SettingsPanel::rs485OutputPeriodSpinChanged);
    connect(m_displayRefreshSpin, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &SettingsPanel::displayRefreshSpinChanged);
    connect(m_enableSerialOutputButton, &QPushButton::clicked, this,
            &SettingsPanel::enableSerialOutput);
    for (const char *save : {"saveButton", "saveButton2"})
        connect(formChild<QPushButton>(parent(), save), &QPushButton::clicked, this,
                &SettingsPanel::save);
}

QString SettingsPanel::sensorName() const
{
    return m_sensorCombo->currentText();
}

void SettingsPanel::setConnected(bool connected)
{
    m_connected = connected;
    m_applyButton->setEnabled(connected);
}

// The change slots store first and send second, and stay silent while values read
// back from the instrument are written into the widgets.

void SettingsPanel::sensorChanged(int)
{
    if (m_updatingFromDevice)
        return;
    const int sensorId = m_sensorCombo->currentData(Qt::UserRole).toInt();
    m_store->setValue(StoreKey::sensorId, sensorId);
    m_sensorNameValue->setText(m_sensorCombo->currentText());
    const SettingsProtocol::Change change = SettingsProtocol::sensorChange(sensorId);
    if (!change.command.isEmpty())
        sendConfirmed(change.command, change.confirmation);
}

void SettingsPanel::relay1TempSpinChanged(double value)
{
    changeRelayValue(StoreKey::relay1Temperature, 1, false, value);
}

void SettingsPanel::relay2TempSpinChanged(double value)
{
    changeRelayValue(StoreKey::relay2Temperature, 2, false, value);
}

void SettingsPanel::relay1HystSpinChanged(double value)
{
    changeRelayValue(StoreKey::relay1Hysteresis, 1, true, value);
}

void SettingsPanel::relay2HystSpinChanged(double value)
{
    changeRelayValue(StoreKey::relay2Hysteresis, 2, true, value);
}

void SettingsPanel::relay1DefaultStateChanged(int)
{
    changeRelayDefaultState(StoreKey::relay1DefaultState, 1, m_relay1DefaultStateCombo);
}

void SettingsPanel::relay2DefaultStateChanged(int)
{
    changeRelayDefaultState(StoreKey::relay2DefaultState, 2, m_relay2DefaultStateCombo);
}

void SettingsPanel::rs232AutomaticOutputChanged(int)
{
    if (m_updatingFromDevice)
        return;
    const int enabled = m_rs232OutputCombo->currentData(Qt::UserRole).toInt();
    m_store->setValue(StoreKey::rs232Output, enabled);
    // The shortcut on the Status tab is offered only while the output is off.
    m_enableSerialOutputButton->setVisible(enabled == 0);
    sendRs232Period();
}

void SettingsPanel::rs232OutputPeriodSpinChanged(int)
{
    if (m_updatingFromDevice)
        return;
    m_store->setValue(StoreKey::rs232Period, m_rs232PeriodSpin->value());
    sendRs232Period();
}

void SettingsPanel::rs485AutomaticOutputChanged(int)
{
    if (m_updatingFromDevice)
        return;
    m_store->setValue(StoreKey::rs485Output, m_rs485OutputCombo->currentData(Qt::UserRole).toInt());
    sendRs485Period();
}

void SettingsPanel::rs485OutputPeriodSpinChanged(int)
{
    if (m_updatingFromDevice)
        return;
    m_store->setValue(StoreKey::rs485Period, m_rs485PeriodSpin->value());
    sendRs485Period();
}

void SettingsPanel::displayRefreshSpinChanged(int value)
{
    // Stored also when the value comes from the instrument; only the command is held back.
    m_store->setValue(StoreKey::displayRefreshPeriod, value);
    if (!m_updatingFromDevice) {
        const SettingsProtocol::Change change = SettingsProtocol::displayPeriodChange(value);
        sendConfirmed(change.command, change.confirmation);
    }
}

void SettingsPanel::enableSerialOutput()
{
    m_rs232OutputCombo->setCurrentIndex(1);
}

void SettingsPanel::save()
{
    sendConfirmed(QStringLiteral(":save\n"), tr("Settings saved in the instrument"));
}

void SettingsPanel::changeRelayValue(const QString &key, int relay, bool hysteresis, double value)
{
    if (m_updatingFromDevice)
        return;
    m_store->setValue(key, value);
    const SettingsProtocol::Change change
        = SettingsProtocol::relayValueChange(relay, hysteresis, value);
    sendConfirmed(change.command, change.confirmation);
}

void SettingsPanel::changeRelayDefaultState(const QString &key, int relay, const QComboBox *combo)
{
    if (m_updatingFromDevice)
        return;
    const int state = combo->currentData(Qt::UserRole).toInt();
    m_store->setValue(key, state);
    const SettingsProtocol::Change change = SettingsProtocol::defaultStateChange(relay, state);
    sendConfirmed(change.command, change.confirmation);
}

void SettingsPanel::sendRs232Period()
{
    const int period = outputPeriod(m_rs232OutputCombo, m_rs232PeriodSpin);
    const SettingsProtocol::Change change
        = SettingsProtocol::outputPeriodChange(QStringLiteral("rs232"), period);
    // The readings now come at the period just set, not the one read back.
    if (sendConfirmed(change.command, change.confirmation))
        emit outputPeriodChanged(period);
}

void SettingsPanel::sendRs485Period()
{
    const SettingsProtocol::Change change = SettingsProtocol::outputPeriodChange(
        QStringLiteral("rs485"), outputPeriod(m_rs485OutputCombo, m_rs485PeriodSpin));
    sendConfirmed(change.command, change.confirmation);
}

// Tells the operator briefly what went to the instrument; nothing when no port is open.
bool SettingsPanel::sendConfirmed(const QString &command, const QString &confirmation)
{
    if (!m_connected)
        return false;
    emit commandRequested(command);
    emit statusMessage(confirmation, confirmationNoticeMs);
    return true;
}

void SettingsPanel::applyReadBackValue(const QString &key, const QString &value)
{
    m_updatingFromDevice = true;
    int number = 0;
    double real = 0.0;
    if (key == QLatin1String("cal")) {
        applySensorKeyword(value);
    } else if (key == QLatin1String("rs232:period")) {
        applyRs232Period(value);
    } else if (key == QLatin1String("rs485:period")) {
        applyRs485Period(value);
    } else if (key == QLatin1String("relay1:default")) {
        if (toInteger(value, &number))
            m_relay1DefaultStateCombo->setCurrentIndex(number);
    } else if (key == QLatin1String("relay2:default")) {
        if (toInteger(value, &number))
            m_relay2DefaultStateCombo->setCurrentIndex(number);
    } else if (key == QLatin1String("relay1:temp")) {
        if (toFiniteDouble(value, &real))
            m_relay1TempSpin->setValue(real);
    } else if (key == QLatin1String("relay1:hyst")) {
        if (toFiniteDouble(value, &real))
            m_relay1HystSpin->setValue(real);
    } else if (key == QLatin1String("relay2:temp")) {
        if (toFiniteDouble(value, &real))
            m_relay2TempSpin->setValue(real);
    } else if (key == QLatin1String("relay2:hyst")) {
        if (toFiniteDouble(value, &real))
            m_relay2HystSpin->setValue(real);
    } else if (key == QLatin1String("display:period")) {
        if (toInteger(value, &number))
            m_displayRefreshSpin->setValue(number);
    }
    m_updatingFromDevice = false;
}

void SettingsPanel::applySensorKeyword(const QString &keyword)
{
    const int index = SettingsTable::sensorIndexOfKeyword(keyword);
    if (index >= 0)
        m_sensorCombo->setCurrentIndex(index);
    // sensorChanged is silent during a read-back, so the name is refreshed here.
    m_sensorNameValue->setText(m_sensorCombo->currentText());
}

void SettingsPanel::applyRs232Period(const QString &value)
{
    int period = 0;
    if (!toInteger(value, &period))
        return;
    showOutputPeriod(m_rs232OutputCombo, m_rs232PeriodSpin, period);
    emit outputPeriodChanged(qMax(period, 0));
    m_enableSerialOutputButton->setVisible(period == 0);
}

void SettingsPanel::applyRs485Period(const QString &value)
{
    int period = 0;
    if (toInteger(value, &period))
        showOutputPeriod(m_rs485OutputCombo, m_rs485PeriodSpin, period);
}
