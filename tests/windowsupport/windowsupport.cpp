#include "windowsupport.h"

#include "widget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

namespace testsupport {

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
    return testsupport::requestCodes(instrument);
}

} // namespace testsupport
