// The station window's choices: the image, the folder of ports and the
// record, remembered between runs, and fixed while the station runs.

#include "kvt-station/stationwindow.h"

#include "common/words.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>

namespace station {

namespace {

const QString ImageKey = QStringLiteral("station/image");
const QString FolderKey = QStringLiteral("station/folder");
const QString RecordKey = QStringLiteral("station/record");
} // namespace

QWidget *StationWindow::buildChoices()
{
    auto *box = new QWidget(this);
    auto *layout = new QGridLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    const struct
    {
        const char *name;
        QLabel **label;
        void (StationWindow::*pick)();
    } rows[] = {{"Image", &imageLabel_, &StationWindow::pickImage},
                {"Folder", &folderLabel_, &StationWindow::pickFolder},
                {"Record", &recordLabel_, &StationWindow::pickRecord}};
    for (int row = 0; row < 3; ++row) {
        layout->addWidget(new QLabel(QLatin1String(rows[row].name), box), row, 0);
        *rows[row].label = new QLabel(box);
        (*rows[row].label)->setObjectName(QString::fromLatin1(rows[row].name).toLower());
        (*rows[row].label)->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(*rows[row].label, row, 1);
        auto *pick = new QPushButton(QStringLiteral("%1…").arg(rows[row].name), box);
        connect(pick, &QPushButton::clicked, this, rows[row].pick);
        choiceButtons_.append(pick);
        layout->addWidget(pick, row, 2);
    }
    layout->setColumnStretch(1, 1);
    return box;
}

void StationWindow::restoreChoices()
{
    const QSettings settings;
    folder_ = settings.value(FolderKey, base_.folder).toString();
    record_ = settings.value(RecordKey, RecordFile::defaultPath()).toString();
    StationImage image;
    QString ignored;
    if (loadStationImage(settings.value(ImageKey).toString(), &image, &ignored))
        takeImage(image);
    showChoices();
    showState();
}

bool StationWindow::chooseImage(const QString &path)
{
    StationImage image;
    QString why;
    if (!loadStationImage(path, &image, &why)) {
        letImageGo(why);
        complain(why);
        return false;
    }
    takeImage(image);
    QSettings().setValue(ImageKey, image_.path);
    showChoices();
    showState();
    return true;
}

void StationWindow::takeImage(const StationImage &image)
{
    image_ = image;
    imageProblem_.clear();
    imageWarning_->hide();
    imageWatch_ = std::make_unique<ImageWatch>(image_.path, image_.sha256);
    connect(imageWatch_.get(), &ImageWatch::changed, this, &StationWindow::showImageOnDisk);
}

// The operator chose another file: what was chosen before is no longer what
// they mean to flash, and the next start begins without an image.
void StationWindow::letImageGo(const QString &why)
{
    image_ = StationImage();
    imageProblem_ = why;
    imageWatch_.reset();
    imageWarning_->hide();
    QSettings().remove(ImageKey);
    showChoices();
    showState();
}

void StationWindow::showImageOnDisk(const QString &loadedSha256, const QString &diskSha256)
{
    const QString warning =
        programs::imageChangedText(QFileInfo(image_.path).fileName(), loadedSha256, diskSha256);
    imageWarning_->setText(warning.isEmpty()
                               ? QString()
                               : warning + QStringLiteral(": to flash the new file, close "
                                                          "and start again."));
    imageWarning_->setVisible(diskSha256 != loadedSha256);
}

void StationWindow::chooseFolder(const QString &folder)
{
    folder_ = folder;
    QSettings().setValue(FolderKey, folder_);
    showChoices();
}

void StationWindow::chooseRecord(const QString &path)
{
    record_ = path.isEmpty() ? RecordFile::defaultPath() : path;
    QSettings().setValue(RecordKey, record_);
    showChoices();
}

void StationWindow::keepNoRecord()
{
    noRecord_ = true;
    showChoices();
}

void StationWindow::pickImage()
{
    const QString start = image_.isLoaded() ? QFileInfo(image_.path).path() : QString();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Firmware image"), start,
                                                      QStringLiteral("KVT firmware (*.kvt)"));
    if (!path.isEmpty())
        chooseImage(path);
}

void StationWindow::pickFolder()
{
    const QString folder =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Folder of serial ports"), folder_);
    if (!folder.isEmpty())
        chooseFolder(folder);
}

void StationWindow::pickRecord()
{
    // The record is appended to, never replaced: no question about an
    // existing file.
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Record of the boards"), record_,
                                     QStringLiteral("JSON lines (*.jsonl);;All files (*)"), nullptr,
                                     QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        chooseRecord(path);
}

void StationWindow::showChoices()
{
    imageLabel_->setText(image_.isLoaded()         ? image_.summary()
                         : imageProblem_.isEmpty() ? QStringLiteral("none chosen")
                                                   : QStringLiteral("none: ") + imageProblem_);
    imageLabel_->setToolTip(image_.isLoaded() ? image_.path + "\nsha256 " + image_.sha256
                                              : QString());
    folderLabel_->setText(folder_);
    recordLabel_->setText(noRecord_ ? QStringLiteral("none: boards are not recorded (--no-record)")
                                    : record_);
}

} // namespace station
