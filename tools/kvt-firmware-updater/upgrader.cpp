#include "upgrader.h"

#include "flash/outcomes.h"
#include "flash/serialports.h"
#include "flash/uploadtext.h"
#include "kvt-firmware-updater/windowmessage.h"
#include "ymodem/line.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QMessageBox>
#include <QPalette>
#include <QPixmap>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QtConcurrent>

namespace {

const char *const RedLamp = ":/images/resources/light_r(24x24).png";
const char *const GreenLamp = ":/images/resources/light_g(24x24).png";

// The form asks for the Traditional Chinese UI font of Windows. Where it is
// missing, prefer fonts of similar width: the usual fallback (DejaVu Sans) is
// so wide that "Disconnected" no longer fits its label.
void addFontFallbacks()
{
    const QString formFont = QString::fromUtf8("微軟正黑體");
    if (QFont::substitutes(formFont).isEmpty()) {
        QFont::insertSubstitutions(
            formFont, {QStringLiteral("Microsoft JhengHei"), QStringLiteral("Noto Sans CJK TC"),
                       QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    }
}

} // namespace

Upgrader::Upgrader(QWidget *parent) : QWidget(parent)
{
    addFontFallbacks();
    ui.setupUi(this);
    giveProgressTextAGround();
    serial = new QSerialPort(this);
    fillPortList();
    connectSignals();
}

Upgrader::~Upgrader()
{
    // A running upload is told to stop and waited for: it uses this object's
    // fields until it returns. It never blocks without a deadline, so this
    // takes a fraction of a second, and it sends nothing more.
    {
        const std::lock_guard<std::mutex> lock(linkMutex);
        stopRequested = true;
        linkChanged.notify_all();
    }
    waitForUploadTask();
    if (serial->isOpen())
        closePort();
    delete firmwareFile;
}

QByteArray Upgrader::loadedImage() const
{
    const std::lock_guard<std::mutex> lock(linkMutex);
    return firmwareData;
}

QByteArray Upgrader::receivedBytes() const
{
    const std::lock_guard<std::mutex> lock(linkMutex);
    return receivedData;
}

// The bar's percentage is white (its style sheet), and the default groove is
// white too; a dark groove keeps the figure readable.
void Upgrader::giveProgressTextAGround()
{
    QPalette palette = ui.progressBar->palette();
    palette.setColor(QPalette::Base, QColor(0x16, 0x1d, 0x29));
    ui.progressBar->setPalette(palette);
}

void Upgrader::setUploadTiming(const ymodem::UploadTiming &timing)
{
    uploadTiming = timing;
}

// The list shows the ports present at start-up; it is not refreshed.
void Upgrader::fillPortList()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        ui.portNameComboBox->addItem(port.portName());
}

void Upgrader::connectSignals()
{
    connect(ui.updateButton, SIGNAL(clicked()), this, SLOT(upgrade()));
    connect(serial, SIGNAL(readyRead()), this, SLOT(readHandler()));
    connect(serial, SIGNAL(bytesWritten(qint64)), this, SLOT(handleWritten(qint64)));
    connect(this, SIGNAL(request_writing(QByteArray)), this, SLOT(writeHandler(QByteArray)));
    connect(this, SIGNAL(request_closePort()), this, SLOT(closingHandler()));
    connect(this, SIGNAL(uploadFinished()), this, SLOT(uploadFinishedHandler()));
    connect(this, SIGNAL(progressChanged(double, double)), this,
            SLOT(progressUpdateHandler(double, double)));
    connect(this, SIGNAL(popMsgBox(QString, QString)), this,
            SLOT(popMsgBoxHandler(QString, QString)));
}

// --- The upgrade command ----------------------------------------------------

void Upgrader::upgrade()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Find Files"), QDir::currentPath(),
                                                      tr("KVT firmware (*.kvt)"));
    if (path.isEmpty()) {
        QMessageBox::critical(this, tr("Error"), QStringLiteral("file path cannot be empty"));
        return;
    }
    if (!readFile(path))
        return;
    if (ui.portNameComboBox->currentText().isEmpty()) {
        QMessageBox::critical(this, tr("Error"), tr("Not a valid port"));
        return;
    }
    if (!openChosenPort())
        return;
    ui.connectionLabel->setText(QStringLiteral("Connected"));
    ui.connectionColorLabel->setPixmap(QPixmap(GreenLamp));
    ui.updateButton->setDisabled(true);
    startUploadTask();
}

bool Upgrader::openChosenPort()
{
    serial->setPortName(ui.portNameComboBox->currentText());
    serial->setBaudRate(ymodem::line::BaudRate, QSerialPort::AllDirections);
    // An upload that timed out leaves the port open; start afresh.
    if (serial->isOpen())
        closePort();
    if (serial->open(QIODevice::ReadWrite)) {
        qDebug() << "Open Port " << serial->portName() << " successfully.";
        lowLatency.request(int(serial->handle()));
        qDebug().noquote() << lowLatency.description();
        return true;
    }
    qDebug() << "error:" << serial->errorString();
    QMessageBox::critical(this, tr("Serial port error"), serial->errorString());
    return false;
}

void Upgrader::startUploadTask()
{
    // The task of an earlier upload has sent its last message by now, but may
    // not have returned yet; the fields below are its until it has.
    waitForUploadTask();
    {
        const std::lock_guard<std::mutex> lock(linkMutex);
        receivedData.clear(); // nothing of a failed run may answer this one
        dataReceived = false;
        dataWritten = 0;
        stopRequested = false;
        taskRunning = true;
    }
    uploadTask = QtConcurrent::run(this, &Upgrader::YmodemTransmitingTask);
}

// The future tells when the task has returned; taking the lock after its
// last step is what orders everything it did before whatever comes next, in
// a way ThreadSanitizer can see (the future hands off inside Qt, where it
// may use primitives that are not instrumented).
void Upgrader::waitForUploadTask()
{
    uploadTask.waitForFinished();
    std::unique_lock<std::mutex> lock(linkMutex);
    linkChanged.wait(lock, [this] { return !taskRunning; });
}

void Upgrader::openfile() {}

// --- Loading the image -------------------------------------------------------

bool Upgrader::readFile(QString path)
{
    using Problem = firmware::FirmwareImage::Problem;
    // The worker never touches the file object (it works on its own copy of
    // the bytes), so the previous one can go at once.
    delete firmwareFile;
    firmwareFile = new QFile(path);
    const firmware::FirmwareImage image = firmware::loadFirmwareImage(*firmwareFile);
    if (image.isValid() || image.wasRead()) {
        const std::lock_guard<std::mutex> lock(linkMutex);
        firmwareData = image.data;
    }
    // An image that was read but is not valid gets an information box; a
    // file that could not be read a critical one.
    if (image.isValid())
        return true;
    if (image.wasRead()) {
        popMsgBoxHandler(QStringLiteral("Error"), firmware::windowMessage(image));
        return false;
    }
    const bool unreadable = image.problem != Problem::TooLarge;
    if (unreadable)
        firmwareFile->close();
    QMessageBox::critical(this, tr("Error"), firmware::windowMessage(image));
    if (unreadable)
        qDebug() << " Could not open the file for reading";
    return false;
}

// --- The serial bridge, on the window's thread -------------------------------

void Upgrader::readHandler()
{
    const QByteArray bytes = serial->readAll();
    {
        const std::lock_guard<std::mutex> lock(linkMutex);
        receivedData.append(bytes);
        dataReceived = true;
        linkChanged.notify_all();
    }
    qDebug().noquote() << bytes.toHex();
}

void Upgrader::writeHandler(QByteArray frame)
{
    // A refusal shows as the port's error, as any other write failure does.
    const qint64 taken = flash::writeAtOnce(*serial, frame);
    if (taken > 0)
        handleWritten(taken);
}

void Upgrader::handleWritten(qint64 count)
{
    const std::lock_guard<std::mutex> lock(linkMutex);
    dataWritten += count;
    linkChanged.notify_all();
}

void Upgrader::closingHandler()
{
    closePort();
}

// The driver's flags go back while the descriptor is still the port's.
void Upgrader::closePort()
{
    lowLatency.restore();
    serial->close();
}

// --- The upload, on a worker of the global pool -------------------------------

void Upgrader::YmodemTransmitingTask()
{
    // Declared first so that it runs last, on every way out.
    const auto announceEnd = qScopeGuard([this] {
        const std::lock_guard<std::mutex> lock(linkMutex);
        taskRunning = false;
        linkChanged.notify_all();
    });
    QByteArray image;
    {
        const std::lock_guard<std::mutex> lock(linkMutex);
        // waitForFinished() may run a task that had not started yet on the
        // window's thread; a stopped window must not upload from there.
        if (stopRequested)
            return;
        image = firmwareData;
    }
    ymodem::UploadSession session(image, {uploadTiming, 0});
    int scanIndex = 0;
    timer.start();
    session.start(timer.elapsed());
    deliver(session.takeEvents());
    while (!session.isDone()) {
        const LinkNews news = waitForLink(session.nextDeadline(), scanIndex);
        if (news.stop) {
            session.stop();
            return;
        }
        const qint64 now = timer.elapsed();
        session.written(news.written, now);
        if (!news.bytes.isEmpty())
            session.receive(news.bytes, now);
        session.tick(now);
        deliver(session.takeEvents());
    }
    if (session.end().outcome == ymodem::UploadOutcome::Completed) {
        const std::lock_guard<std::mutex> lock(linkMutex);
        receivedData.clear();
        dataReceived = false;
    }
}

// Sleeps until bytes arrive, a write is reported, a stop is requested or the
// deadline comes; then takes the new bytes and clears dataReceived in one
// step, so that nothing that arrives in between is lost.
Upgrader::LinkNews Upgrader::waitForLink(qint64 deadline, int &scanIndex)
{
    std::unique_lock<std::mutex> lock(linkMutex);
    while (!dataReceived && dataWritten == 0 && !stopRequested) {
        const qint64 left = deadline - timer.elapsed();
        if (left <= 0)
            break;
        linkChanged.wait_for(lock, std::chrono::milliseconds(left));
    }
    LinkNews news;
    news.bytes = receivedData.mid(scanIndex);
    scanIndex = receivedData.size();
    dataReceived = false;
    news.written = dataWritten;
    dataWritten = 0;
    news.stop = stopRequested;
    return news;
}

void Upgrader::deliver(const QVector<ymodem::UploadEvent> &events)
{
    using Kind = ymodem::UploadEvent::Kind;
    for (const ymodem::UploadEvent &event : events) {
        switch (event.kind) {
        case Kind::Send:
            emit request_writing(event.frame);
            break;
        case Kind::Progress:
            emit progressChanged(double(event.rest), double(event.total));
            break;
        case Kind::Trace:
            qDebug().noquote() << flash::traceText(event.trace);
            break;
        case Kind::Ended:
            announceEnd(event.end);
            break;
        }
    }
}

// Success closes the port and reports; every failure of an upload is told
// as a time-out, and once the transfer has begun the bar goes back to 0.
void Upgrader::announceEnd(const ymodem::UploadEnd &end)
{
    using ymodem::UploadPhase;
    if (end.outcome == ymodem::UploadOutcome::Completed) {
        emit request_closePort();
        emit uploadFinished();
        return;
    }
    if (end.outcome == ymodem::UploadOutcome::Stopped)
        return;
    emit popMsgBox(QStringLiteral("Time out"), QStringLiteral("Please try again or change port."));
    if (end.phase == UploadPhase::Data || end.phase == UploadPhase::EndOfFile ||
        end.phase == UploadPhase::Closing)
        emit progressChanged(100.0, 100.0);
}

// --- What the user sees ------------------------------------------------------

void Upgrader::progressUpdateHandler(double rest, double total)
{
    const int percent = uploadtext::percentSent(rest, total);
    if (percent >= 0) // no image, nothing to show
        ui.progressBar->setValue(percent);
}

void Upgrader::uploadFinishedHandler()
{
    QMessageBox::information(this, tr("Finish"), uploadtext::SuccessMessage);
    ui.updateButton->setDisabled(false);
    progressUpdateHandler(100.0, 100.0);
    ui.connectionLabel->setText(QStringLiteral("Disconnected"));
    ui.connectionColorLabel->setPixmap(QPixmap(RedLamp));
}

void Upgrader::popMsgBoxHandler(QString title, QString text)
{
    QMessageBox::information(this, title, text);
    ui.updateButton->setDisabled(false);
}
