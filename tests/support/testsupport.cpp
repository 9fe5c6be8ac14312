#include "testsupport.h"

#include "widget.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <cstring>

namespace testsupport {

const char *const ConstantFields[4] = {"leADCslope", "leADCintercept", "leDACslope", "leDACintercept"};

curveimport::Result importBytes(const QByteArray &bytes)
{
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    return curveimport::importDevice(buffer);
}

ProcessRun finishProcess(QProcess &process)
{
    ProcessRun result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QList<portdiscovery::Port> portsFromList(const QString &list)
{
    QList<portdiscovery::Port> ports;
    const auto entries = list.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &entry : entries) {
        const QStringList parts = entry.split(QLatin1Char(':'));
        portdiscovery::Port port;
        port.name = parts.at(0);
        if (parts.size() == 3) {
            port.hasUsbIds = true;
            port.vendorId = quint16(parts.at(1).toUInt(nullptr, 16));
            port.productId = quint16(parts.at(2).toUInt(nullptr, 16));
        }
        ports.append(port);
    }
    return ports;
}

qint64 FailingDevice::bytesAvailable() const
{
    return QIODevice::bytesAvailable() + (m_failedReads < GiveUpAfter ? 1 : 0);
}

qint64 FailingDevice::readData(char *data, qint64 maxSize)
{
    if (m_served == m_data.size()) {
        ++m_failedReads;
        setErrorString(QStringLiteral("Input/output error"));
        return -1;
    }
    const qint64 count = qMin(maxSize, qint64(m_data.size() - m_served));
    memcpy(data, m_data.constData() + m_served, size_t(count));
    m_served += int(count);
    return count;
}

void presentPorts(const QList<portdiscovery::Port> &ports)
{
    portdiscovery::setPortSource([ports] { return ports; });
}

ModalDriver::ModalDriver()
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
    m_timer.start();
}

QStringList ModalDriver::boxTexts() const
{
    QStringList texts;
    for (const Box &box : boxes)
        texts.append(box.text);
    return texts;
}

void ModalDriver::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        boxes.append({box->windowTitle(), box->text(), int(box->icon())});
        box->done(QMessageBox::Ok);
        return;
    }
    if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        fileDialogs.append({dialog->windowTitle(), dialog->nameFilters(),
                            dialog->acceptMode() == QFileDialog::AcceptSave});
        const QString answer = m_fileAnswers.isEmpty() ? QString() : m_fileAnswers.takeFirst();
        if (answer.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(answer);
        // Accepting directly skips the dialog's own overwrite question.
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
    }
}

Bench::Bench(std::unique_ptr<sim::Firmware> firmware)
    : instrument(std::move(firmware))
{
    QString error;
    if (!instrument.start(&error))
        qFatal("simulated instrument: %s", qPrintable(error));
    presentPorts({portdiscovery::instrumentPort(instrument.portName())});
    window = std::make_unique<Widget>();
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        qWarning("window not exposed");
}

Bench::~Bench()
{
    window.reset();
    portdiscovery::setPortSource({});
}

QLineEdit *Bench::field(const char *objectName) const
{
    return window->findChild<QLineEdit *>(QLatin1String(objectName));
}

QPushButton *Bench::button(const char *objectName) const
{
    return window->findChild<QPushButton *>(QLatin1String(objectName));
}

QTableWidget *Bench::grid() const
{
    return window->findChild<QTableWidget *>(QStringLiteral("twTableData"));
}

QLineEdit *Bench::cell(int row, int column) const
{
    return qobject_cast<QLineEdit *>(grid()->cellWidget(row, column));
}

QString Bench::cellText(int row, int column) const
{
    return cell(row, column)->text();
}

qint64 Bench::click(const char *buttonName)
{
    QPushButton *target = button(buttonName);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(target, Qt::LeftButton);
    return clock.elapsed();
}

QStringList Bench::calibrationTexts() const
{
    QStringList texts;
    for (const char *name : ConstantFields)
        texts.append(field(name)->text());
    for (int row = 0; row < grid()->rowCount(); ++row)
        texts << cellText(row, 0) << cellText(row, 1);
    return texts;
}

void Bench::fillCalibration(const QString &text)
{
    for (const char *name : ConstantFields)
        field(name)->setText(text);
    for (int row = 0; row < grid()->rowCount(); ++row) {
        cell(row, 0)->setText(text);
        cell(row, 1)->setText(text);
    }
}

QByteArray Bench::requestCodes() const
{
    QByteArray codes;
    const auto requests = instrument.requests();
    for (const sim::Request &request : requests)
        codes.append(char(request.command()));
    return codes;
}

} // namespace testsupport
