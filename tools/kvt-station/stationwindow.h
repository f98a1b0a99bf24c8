#pragma once

// The production station's window on the same engine as `kvt-flash --watch`:
// the image being flashed (name, size, short SHA-256, a warning when the file
// changed on disk after it was read), the counts since start, Start and
// Pause, and a tile per slot. Closing with uploads in flight asks first, then
// stops them as the command does: CAN CAN to each device, a "stopped" record
// for each board, and the window closes once the last has ended. F11 fills
// the screen with it, or gives the screen back; Escape leaves full screen.

#include "common/boardview.h"
#include "kvt-station/stationimage.h"
#include "station/imagewatch.h"
#include "station/station.h"

#include <QSet>
#include <QTimer>
#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;

namespace station {

class ScanField;
class TileGrid;

class StationWindow : public QWidget
{
    Q_OBJECT

public:
    // `base` holds what is not chosen in the window: the upload's options,
    // the station's name, the adapters to match, the settle time, the tool's
    // version and who an adapter is. The image, the folder and the record
    // are the operator's choices, remembered for the next start.
    explicit StationWindow(StationConfig base, QWidget *parent = nullptr);
    ~StationWindow() override;

    // The choices of the last run; a remembered image that no longer loads
    // is left unchosen without a word.
    void restoreChoices();
    // False, after saying "PATH: why", for a file that is no image: the
    // image chosen before is let go too, so Start cannot flash it instead.
    bool chooseImage(const QString &path);
    void chooseFolder(const QString &folder);
    void chooseRecord(const QString &path); // empty: the default record
    // For this run, no record at all (--no-record).
    void keepNoRecord();
    // Starts watching; false after saying why when the station cannot run.
    bool startStation();
    void setPaused(bool paused);
    // What SIGTERM does: closes any dialog (its own event loop would hold
    // the process), stops the uploads in flight without asking, then closes.
    // No dialog opens after it.
    void closeWithoutAsking();
    // Full screen, or the window as it was before.
    void setFullScreen(bool full);

    Station *station() const { return station_.get(); }
    TileGrid *grid() const { return grid_; }
    const StationImage &image() const { return image_; }

protected:
    // On standard error, and in a message box while the window may still
    // ask; tests answer in their own way.
    virtual void complain(const QString &text);
    // Asks whether to stop `inFlight` uploads and close.
    virtual bool confirmStop(int inFlight);
    void closeEvent(QCloseEvent *event) override;

private:
    enum class Closing
    {
        No,
        Stopping, // the station was told to stop; closes on stopped()
        Done,
    };

    QLabel *banner(const QString &name, const char *background, const char *text);
    QWidget *buildChoices();
    QWidget *buildControls();
    void pickImage();
    void pickFolder();
    void pickRecord();
    void takeImage(const StationImage &image);
    void letImageGo(const QString &why);
    void showImageOnDisk(const QString &loadedSha256, const QString &diskSha256);
    void connectStation();
    void tick();
    void drawChanges();
    void showFailedOutOfView();
    void showChoices();
    void showState();
    void stopThenClose();

    StationConfig base_;
    StationImage image_;
    QString imageProblem_; // why the last image chosen was not taken
    std::unique_ptr<ImageWatch> imageWatch_;
    QString folder_;
    QString record_;
    bool noRecord_ = false;
    std::unique_ptr<Station> station_;
    QTimer clock_;
    QTimer nextDraw_;
    QSet<QString> changed_;                 // slots to draw at nextDraw_
    programs::StationContext drawnContext_; // what the tiles drawn last were told
    Closing closing_ = Closing::No;
    bool mayAsk_ = true; // false once told to close without asking

    QLabel *imageLabel_ = nullptr;
    QLabel *folderLabel_ = nullptr;
    QLabel *recordLabel_ = nullptr;
    QLabel *imageWarning_ = nullptr;
    QLabel *recordError_ = nullptr;
    QLabel *databaseBacklog_ = nullptr;
    QLabel *failedStrip_ = nullptr; // failed tiles out of view
    QList<QPushButton *> choiceButtons_;
    QPushButton *startButton_ = nullptr;
    QPushButton *pauseButton_ = nullptr;
    QLabel *status_ = nullptr;
    QLabel *counts_ = nullptr;
    ScanField *scan_ = nullptr;
    TileGrid *grid_ = nullptr;
};

} // namespace station
