#include "portchooserpanel.h"

#include "formchild.h"
#include "serialportlinks.h"
#include "storedvalue.h"

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSettings>
#include <QStringList>

namespace {

// A long port name (a /dev/serial/by-id link with its adapter's details) is shown in part
// rather than widening the window; the list that drops down shows it whole.
const int portBoxCharacters = 24;

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
    , m_openAction(formChild<QAction>(form, "actionOpenPort"))
    , m_closeAction(formChild<QAction>(form, "actionClosePort"))
{
    setObjectName(QStringLiteral("portChooserPanel"));
    m_portCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_portCombo->setMinimumContentsLength(portBoxCharacters);
    m_openAction->setShortcuts(QKeySequence::Open);
    m_closeAction->setShortcuts(QKeySequence::Close);

    const auto comboIndexChanged = QOverload<int>::of(&QComboBox::currentIndexChanged);
    connect(formChild<QPushButton>(form, "serialPortsRefreshButton"), &QPushButton::clicked, this,
            &PortChooserPanel::refresh);
    connect(m_portCombo, comboIndexChanged, this, &PortChooserPanel::portChoiceChanged);
    connect(m_portCombo, &QComboBox::editTextChanged, this, &PortChooserPanel::portChoiceChanged);
    connect(m_openButton, &QPushButton::clicked, this, &PortChooserPanel::open);
    connect(m_closeButton, &QPushButton::clicked, this, &PortChooserPanel::close);
    connect(m_portCombo->lineEdit(), &QLineEdit::returnPressed, this, &PortChooserPanel::open);
    connect(formChild<QAction>(form, "actionRefreshPorts"), &QAction::triggered, this,
            &PortChooserPanel::refresh);
    connect(m_openAction, &QAction::triggered, this, &PortChooserPanel::open);
    connect(m_closeAction, &QAction::triggered, this, &PortChooserPanel::close);
    setConnected(false);
}

void PortChooserPanel::refresh()
{
    const QString remembered = storedValue(*m_store, StoreKey::portName).toString();
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
    m_portCombo->view()->setMinimumWidth(m_portCombo->view()->sizeHintForColumn(0));
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
    m_awaitedPortName.clear();
    emit openRequested(name);
}

void PortChooserPanel::close()
{
    if (!m_connected && !isWaitingForPort())
        return;
    m_awaitedPortName.clear();
    emit closeRequested();
}

void PortChooserPanel::showOpened(const QString &portName)
{
    m_awaitedPortName.clear();
    m_portCombo->setToolTip(QString());
    setConnected(true);
    m_store->setValue(StoreKey::portName, portName);
    emit statusMessage(tr("Ready"), 0);
}

void PortChooserPanel::showOpenFailure(const QString &, const QString &reason)
{
    emit statusMessage(reason, 0);
    m_portCombo->setToolTip(reason);
}

void PortChooserPanel::showClosed()
{
    setConnected(false);
    emit statusMessage(tr("Port closed"), 0);
}

void PortChooserPanel::showPortLost(const QString &portName)
{
    setConnected(false);
    setCloseOffered(true);
    m_awaitedPortName = portName;
    emit statusMessage(tr("Port lost \u2014 waiting for %1 to come back").arg(portName), 0);
}

void PortChooserPanel::setConnected(bool connected)
{
    m_connected = connected;
    m_portCombo->setEnabled(!connected);
    m_openButton->setEnabled(!connected);
    m_openAction->setEnabled(!connected);
    setCloseOffered(connected);
}

void PortChooserPanel::setCloseOffered(bool offered)
{
    m_closeButton->setEnabled(offered);
    m_closeAction->setEnabled(offered);
}

// The operator picked or typed another port than the one waited for.
void PortChooserPanel::portChoiceChanged()
{
    if (m_rebuildingPortList || !isWaitingForPort() || portNameToOpen() == m_awaitedPortName)
        return;
    m_awaitedPortName.clear();
    emit closeRequested();
}
