// DownloadDialog: the main window. It shows the HEX file, the status list and the progress
// bar, offers Configure, Start, Run, Exit and Browse, and hosts the download worker.
//
// Contract:
//  - Building the window touches no setting. The first time it is shown it initialises:
//    Run disabled, the worker created (not yet running), the settings loaded, the file box
//    filled, and two lines added: the connect prompt naming port and baud, and
//    "    Click Start.". Exit holds the focus.
//  - Start clears targetReady, sets connectPending, linkActive and pingEnabled and resumes
//    the worker; it changes no button itself. Run sets runRequested, disables Run, enables
//    Configure and resumes the worker. Browse asks the FileChooser; a chosen path becomes
//    the download path and is saved at once. Configure runs ConfigDialog; after OK it saves
//    the configuration, adds one connect line and disables Run.
//  - As the worker's host (WorkerHost): every display call and showMessage runs on the GUI
//    thread and returns only after it took effect (a direct call on the GUI thread). The
//    status list takes no selection; after each added line it asks for top line n - 3 for
//    a new line index n above 3, else n. setProgressRange keeps the low 16 bits. Boxes are
//    warnings with OK only, modal to this window, titled with the application name.
//  - Exit, Escape, Enter while no push button has the focus and the close box end the
//    window at once, also while the worker waits or downloads: pending display calls are
//    released, an open worker box is closed, the worker is stopped, and it never touches
//    the window again.
//  - contextMenu(): the window's context menu (right click); the application adds its
//    entries to it. Empty, no menu is shown.
#pragma once

#include "loader/SerialThread.h"
#include "loader/WorkerHost.h"
#include "serial/PortDiscovery.h"
#include "settings/DownloadSettings.h"
#include "ui/FileChooser.h"
#include "ui/GuiCallGate.h"

#include <QDialog>
#include <QPointer>
#include <QSize>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace sorbel::ui {

inline constexpr int flashButton = 1000;
inline constexpr int exitButton = 1001;
inline constexpr int browseButton = 1025;

class DownloadDialog : public QDialog, public WorkerHost {
    Q_OBJECT

public:
    explicit DownloadDialog(SettingsStore& settings, QWidget* parent = nullptr);
    ~DownloadDialog() override;

    // Before the first show. nullptr (the default): the process's one port.
    void setSerialPort(SerialPort* port) { port_ = port; }
    // Not owned. nullptr (the default): the desktop's file-open dialog.
    void setFileChooser(FileChooser* chooser) { chooser_ = chooser; }
    // The ports offered after COM1 to COM4 in the configuration; by default the ports found
    // on this machine when Configure is pressed.
    void setPortFinder(std::function<std::vector<PortInfo>()> finder) {
        portFinder_ = std::move(finder);
    }

    QMenu* contextMenu() const { return contextMenu_; }

    // WorkerHost, callable from any thread.
    void addStatusLine(const std::string& text) override;
    void setProgressRange(int upper) override;
    void setProgressPos(int position) override;
    void enableButton(int id, bool enabled) override;
    void showMessage(const std::string& text) override;

    // Every way of ending the window comes here: the worker is stopped first.
    void done(int result) override;
    void setVisible(bool visible) override;

    // The controls, for tests and for pictures of the window.
    QPushButton* button(int id) const;
    QListWidget* statusList() const { return statusList_; }
    QProgressBar* progressBar() const { return progressBar_; }
    QLineEdit* fileBox() const { return fileBox_; }
    SerialThread* worker() const { return worker_.get(); }
    bool shutDown() const { return shutDown_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildControls();
    void layoutControls();
    void initialise();
    void shutdown();
    void appendLine(const QString& text, bool scroll);

    void start();
    void run();
    void browse();
    void configure();

    SettingsStore& settings_;
    SerialPort* port_ = nullptr;
    FileChooser* chooser_ = nullptr;
    PlatformFileChooser platformChooser_;
    std::function<std::vector<PortInfo>()> portFinder_;
    GuiCallGate gate_;
    bool initialised_ = false;
    bool shutDown_ = false;
    QSize templateSize_;

    QPushButton* exitButton_ = nullptr;
    QLabel* fileLabel_ = nullptr;
    QLineEdit* fileBox_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QGroupBox* statusGroup_ = nullptr;
    QListWidget* statusList_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* flashButton_ = nullptr;
    QPushButton* runButton_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPushButton* configureButton_ = nullptr;
    QMenu* contextMenu_ = nullptr;
    QPointer<QMessageBox> workerBox_;

    // Last, so that it goes first: the worker must be gone before the controls.
    std::unique_ptr<SerialThread> worker_;
};

} // namespace sorbel::ui
