#pragma once

// The updater's one window and its controller. The window's thread owns the
// port and the widgets; one worker of the global thread pool runs the upload
// (YmodemTransmitingTask) and asks the window for every write and display
// through queued signals. The bytes the port delivers, the write reports and
// the stop request reach the worker through fields guarded by linkMutex.

#include "flash/lowlatency.h"
#include "ui_form.h"
#include "ymodem/upload.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFuture>
#include <QString>
#include <QWidget>

#include <condition_variable>
#include <mutex>

class QFile;
class QSerialPort;

class Upgrader : public QWidget
{
    Q_OBJECT

public:
    explicit Upgrader(QWidget *parent = nullptr);
    ~Upgrader() override;

    // Loads the chosen image into firmwareData and checks its signature;
    // tells the user why when it returns false.
    bool readFile(QString path);

    // One whole upload of firmwareData over the open port; runs on a worker.
    void YmodemTransmitingTask();

    // The pauses and limits of the next uploads; the device's defaults unless
    // a test shortens them.
    void setUploadTiming(const ymodem::UploadTiming &timing);

    // The image the last readFile() loaded, valid or not.
    QByteArray loadedImage() const;

    // What the port delivered during the current upload.
    QByteArray receivedBytes() const;

signals:
    void request_writing(QByteArray);
    void request_closePort();
    void uploadFinished();
    void updateProgress(int percent);
    void progressChanged(double rest, double total);
    void popMsgBox(QString, QString);

public slots:
    void upgrade();
    void openfile();
    void readHandler();
    void handleWritten(qint64);
    void writeHandler(QByteArray);
    void closingHandler();
    void uploadFinishedHandler();
    void progressUpdateHandler(double rest, double total);
    void popMsgBoxHandler(QString, QString);

private:
    struct LinkNews
    {
        QByteArray bytes;
        qint64 written = 0;
        bool stop = false;
    };

    void giveProgressTextAGround();
    void fillPortList();
    void connectSignals();
    bool openChosenPort();
    void closePort();
    void startUploadTask();
    void waitForUploadTask();
    LinkNews waitForLink(qint64 deadline, int &scanIndex);
    void deliver(const QVector<ymodem::UploadEvent> &events);
    void announceEnd(const ymodem::UploadEnd &end);

    QElapsedTimer timer; // the worker's monotonic stopwatch

    // Shared with the worker, guarded by linkMutex: every byte the port
    // delivered during this upload, whether some are new, and the bytes
    // reported written that the worker has not taken yet.
    QByteArray receivedData;
    bool dataReceived = false;
    qint64 dataWritten = 0;
    bool stopRequested = false;
    bool taskRunning = false; // cleared as the worker's very last step

    QSerialPort *serial = nullptr;
    serialdriver::LowLatency lowLatency; // of the open port
    QByteArray firmwareData; // written under linkMutex; the worker copies it at its start
    QFile *firmwareFile = nullptr;
    Ui::Form ui;

    // Standard primitives rather than QMutex: ThreadSanitizer sees their
    // hand-offs even though the system's Qt is not instrumented.
    mutable std::mutex linkMutex;
    std::condition_variable linkChanged;
    QFuture<void> uploadTask;
    ymodem::UploadTiming uploadTiming;
};
