#include "portchooserpanel.h"

#include "formchild.h"
#include "serialportlinks.h"

#include <QComboBox>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSettings>
#include <QStringList>
#include <QTimer>

namespace {

const int portReturnPollMs = 1000;

} // namespace

QString serialPortItemText(const QString &portName, const QString &manufacturer,
                           const QString &description, const QString &serialNumber)
{
    QStringList details;
    for (const QString &detail : {manufacturer, description, serialNumber}) {
        if (!detail.isEmpty())
            details.append(detail);
    }
    if (details.isEmpty())
        return portName;
    return portName + QStringLiteral(" (") + details.join(QStringLiteral(", "))
        + QStringLiteral(")");
}

PortChooserPanel::PortChooserPanel(QWidget *form, QSettings *store)
    : QObject(form)
    , m_store(store)
    , m_portCombo(formChild<QComboBox>(form, "serialPortCombo"))
    , m_openButton(formChild<QPushButton>(form, "serialPortOpenButton"))
    , m_closeButton(formChild<QPushButton>(form, "serialPortCloseButton"))
    , m_portReturnPoll(new QTimer(this))
{
    setObjectName(QStringLiteral("portChooserPanel"));
    m_portReturnPoll->setInterval(portReturnPollMs);
    connect(m_portReturnPoll, &QTimer::timeout, this, &PortChooserPanel::lookForLostPort);

    const auto comboIndexChanged = QOverload<int>::of(&QComboBox::currentIndexChanged);
    connect(formChild<QPushButton>(form, "serialPortsRefreshButton"), &QPushButton::clicked, this,
            &PortChooserPanel::refresh);
    connect(m_portCombo, comboIndexChanged, this, &PortChooserPanel::portChoiceChanged);
    connect(m_portCombo, &QComboBox::editTextChanged, this, &PortChooserPanel::portChoiceChanged);
    connect(m_openButton, &QPushButton::clicked, this, &PortChooserPanel::open);
    connect(m_closeButton, &QPushButton::clicked, this, &PortChooserPanel::close);
    setConnected(false);
}

void PortChooserPanel::refresh()
{
    const QString remembered
        = m_store->value(QStringLiteral("/serial/port-name"), QStringLiteral("COM1")).toString();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    const SerialPortLinks links;

    m_rebuildingPortList = true;
    m_portCombo->clear();
    for (const QSerialPortInfo &port : ports) {
        appendPortItem(port.portName(),
                       serialPortItemText(port.portName(), port.manufacturer(), port.description(),
                                          port.serialNumber()),
                       links.linkTo(port.systemLocation()), remembered);
    }
    for (const auto &extra : qAsConst(m_extraPorts)) {
        appendPortItem(extra.first,
                       serialPortItemText(extra.first, QString(), extra.second, QString()),
                       QString(), remembered);
    }
    // A path the operator typed is never listed: it goes back into the box as typed. A
    // port waited for stays in the box while it is away.
    if (m_portCombo->findData(remembered) < 0 && SerialPortLinks::isPath(remembered))
        m_portCombo->setEditText(remembered);
    if (isWaitingForPort() && portNameToOpen() != m_awaitedPortName)
        m_portCombo->setEditText(m_awaitedPortName);
    m_rebuildingPortList = false;
}

void PortChooserPanel::appendPortItem(const QString &portName, const QString &text,
                                      const QString &toolTip, const QString &remembered)
{
    m_portCombo->insertItem(m_portCombo->count(), text, portName);
    if (!toolTip.isEmpty())
        m_portCombo->setItemData(m_portCombo->count() - 1, toolTip, Qt::ToolTipRole);
    if (portName == remembered)
        m_portCombo->setCurrentIndex(m_portCombo->count() - 1);
}

void PortChooserPanel::addExtraPort(const QString &portName, const QString &description)
{
    m_extraPorts.append(qMakePair(portName, description));
    refresh();
    m_portCombo->setCurrentIndex(m_portCombo->findData(portName));
}

QString PortChooserPanel::portNameToOpen() const
{
    const int index = m_portCombo->currentIndex();
    if (index >= 0 && m_portCombo->currentText() == m_portCombo->itemText(index))
        return m_portCombo->itemData(index, Qt::UserRole).toString();
    return m_portCombo->currentText().trimmed();
}

void PortChooserPanel::open()
{
    if (m_connected)
        return;
    const QString name = portNameToOpen();
    if (name.isEmpty())
        return;
    stopWaitingForPort();
    emit openRequested(name);
}

void PortChooserPanel::close()
{
    if (!m_connected && !isWaitingForPort())
        return;
    stopWaitingForPort();
    emit closeRequested();
}

void PortChooserPanel::showOpened(const QString &portName)
{
    m_openedPortName = portName;
    m_portCombo->setToolTip(QString());
    setConnected(true);
    m_store->setValue(QStringLiteral("/serial/port-name"), portName);
    stopWaitingForPort();
    emit statusMessage(tr("Ready"), 0);
}

void PortChooserPanel::showOpenFailure(const QString &reason)
{
    if (isWaitingForPort())
        return;
    emit statusMessage(reason, 0);
    m_portCombo->setToolTip(reason);
}

void PortChooserPanel::showClosed()
{
    setConnected(false);
    emit statusMessage(tr("Port closed"), 0);
}

void PortChooserPanel::showPortLost()
{
    setConnected(false);
    m_closeButton->setEnabled(true);
    m_awaitedPortName = m_openedPortName;
    emit statusMessage(tr("Port lost \u2014 waiting for %1 to come back").arg(m_awaitedPortName),
                       0);
    m_portReturnPoll->start();
}

void PortChooserPanel::setConnected(bool connected)
{
    m_connected = connected;
    m_portCombo->setEnabled(!connected);
    m_openButton->setEnabled(!connected);
    m_closeButton->setEnabled(connected);
}

void PortChooserPanel::lookForLostPort()
{
    if (m_connected || !isWaitingForPort()) {
        stopWaitingForPort();
        return;
    }
    // A port that is listed again may still refuse to open for a moment; the next look
    // tries again.
    if (SerialPortLinks::isPresent(m_awaitedPortName))
        emit openRequested(m_awaitedPortName);
}

void PortChooserPanel::stopWaitingForPort()
{
    m_awaitedPortName.clear();
    m_portReturnPoll->stop();
}

// The operator picked or typed another port than the one waited for.
void PortChooserPanel::portChoiceChanged()
{
    if (m_rebuildingPortList || !isWaitingForPort() || portNameToOpen() == m_awaitedPortName)
        return;
    stopWaitingForPort();
    emit closeRequested();
}
