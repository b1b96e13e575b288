// The main window without a target: start-up, Configure, Browse, the status list, the
// worker interface's calls from another thread, and every way of ending the window.
#include "UiTestSupport.h"

#include "app/AboutDialog.h"
#include "app/DownloadApp.h"
#include "ui/ConfigDialog.h"
#include "ui/DownloadDialog.h"

#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace sorbel::ui {
namespace {

using namespace test;

void pressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

class FakeChooser : public FileChooser {
public:
    std::optional<QString> answer;
    std::vector<FileRequest> requests;
    std::optional<QString> chooseFile(QWidget*, const FileRequest& request) override {
        requests.push_back(request);
        return answer;
    }
};

// A main window on a settings folder of its own, shown as start-up shows it.
class MainWindow : public ::testing::Test {
protected:
    void open(const std::map<std::string, std::string>& keys = {}) {
        if (!keys.empty())
            folder.writeSettings(keys);
        folder.locate(store);
        window = std::make_unique<DownloadDialog>(store);
        window->setSerialPort(&port);
        window->setFileChooser(&chooser);
        window->setPortFinder([] { return std::vector<PortInfo>{}; }); // this machine's: none
        window->show();
        QApplication::processEvents();
    }
    void TearDown() override { window.reset(); }

    SettingsFolder folder;
    SettingsStore store;
    SerialPort port;
    FakeChooser chooser;
    std::unique_ptr<DownloadDialog> window;
};

TEST_F(MainWindow, StartsWithTwoLinesAndTheDefaultFile) {
    open();
    EXPECT_EQ(lines(*window),
              QStringList({"    Connect test board to PC COM1 at 9600 Baud.", "    Click Start."}));
    EXPECT_EQ(window->fileBox()->text().toStdString(), folder.path() + "sample.hex");
    EXPECT_EQ(window->downloadPath(), folder.path() + "sample.hex");
    EXPECT_EQ((Buttons{true, false, true, true, true}), buttons(*window));
    EXPECT_TRUE(window->button(flashButton)->isHidden());
    EXPECT_FALSE(window->button(flashButton)->isEnabled());
    EXPECT_EQ(window->focusWidget(), window->button(exitButton));
    EXPECT_EQ(window->windowTitle(), "SORBEL");
    EXPECT_FALSE(window->windowIcon().isNull());
    EXPECT_FALSE(window->worker()->running()); // created, not started
    EXPECT_FALSE(folder.settingsFileExists());
}

TEST_F(MainWindow, StartUpLineNamesTheStoredPortAndBaud) {
    open({{"Port", "/dev/ttyUSB3"}, {"Baud", "115200"}, {"File", ""}});
    EXPECT_EQ(lines(*window).front(), "    Connect test board to PC /dev/ttyUSB3 at 115200 Baud.");
    EXPECT_EQ(window->fileBox()->text(), ""); // present and empty: not the default
}

TEST_F(MainWindow, ConfigureOkAddsOneLineDisablesRunAndSaves) {
    open();
    window->enableButton(runButton, true);
    Responder responder;
    responder.on<ConfigDialog>([](ConfigDialog* dialog) {
        dialog->portCombo()->setCurrentText("COM2");
        dialog->baudCombo()->setCurrentText("19200");
        dialog->okButton()->click();
    });
    window->button(configureButton)->click();

    EXPECT_EQ(lines(*window).size(), 3);
    EXPECT_EQ(lines(*window).back(),
              "    Connect test board to PC COM2 at 19200 Baud. Click Start.");
    EXPECT_FALSE(window->button(runButton)->isEnabled());
    const DownloadSettings saved = folder.reload();
    EXPECT_EQ(saved.port, "COM2");
    EXPECT_EQ(saved.baud, "19200");
    EXPECT_EQ(saved.program, "Yes");
    EXPECT_EQ(store.snapshot().port, "COM2");
}

TEST_F(MainWindow, ConfigureCancelChangesNothing) {
    open();
    window->enableButton(runButton, true);
    Responder responder;
    responder.on<ConfigDialog>([](ConfigDialog* dialog) {
        dialog->portCombo()->setCurrentText("COM3");
        dialog->cancelButton()->click();
    });
    window->button(configureButton)->click();

    EXPECT_EQ(lines(*window).size(), 2);
    EXPECT_TRUE(window->button(runButton)->isEnabled());
    EXPECT_FALSE(folder.settingsFileExists());
    EXPECT_EQ(store.snapshot().port, "COM1");
}

struct BrowseCase {
    const char* name;
    std::string storedFile;
    QString folder, fileName;
};

void PrintTo(const BrowseCase& c, std::ostream* out) {
    *out << c.name;
}

class BrowseRequest : public MainWindow, public ::testing::WithParamInterface<BrowseCase> {};

TEST_P(BrowseRequest, SplitsTheStoredPathAtItsLastSlash) {
    open({{"File", GetParam().storedFile}});
    window->button(browseButton)->click();
    ASSERT_EQ(chooser.requests.size(), 1u);
    const FileRequest& request = chooser.requests.front();
    EXPECT_EQ(request.title, "Select File");
    EXPECT_EQ(request.filters, QStringList({"*.hex (*.hex)", "All Files (*)"}));
    EXPECT_EQ(request.folder, GetParam().folder);
    EXPECT_EQ(request.name, GetParam().fileName);
}

INSTANTIATE_TEST_SUITE_P(Cases, BrowseRequest,
                         ::testing::Values(BrowseCase{"FullPath", "/work/boards/blink.hex",
                                                      "/work/boards/", "blink.hex"},
                                           BrowseCase{"BareName", "blink.hex", "", "blink.hex"},
                                           BrowseCase{"FolderOnly", "/work/boards/",
                                                      "/work/boards/", ""},
                                           BrowseCase{"LongName", "/t/" + std::string(300, 'n'),
                                                      "/t/", QString(260, 'n')}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindow, BrowseOkTakesThePathAndSavesIt) {
    open();
    chooser.answer = "/work/boards/new file.hex"; // need not exist
    window->button(browseButton)->click();
    EXPECT_EQ(window->fileBox()->text(), "/work/boards/new file.hex");
    EXPECT_EQ(window->downloadPath(), "/work/boards/new file.hex");
    EXPECT_EQ(folder.reload().hexFile, "/work/boards/new file.hex");
    EXPECT_EQ(lines(*window).size(), 2);
}

TEST_F(MainWindow, BrowseCancelChangesNothing) {
    open();
    window->button(browseButton)->click();
    EXPECT_EQ(chooser.requests.size(), 1u);
    EXPECT_EQ(window->fileBox()->text().toStdString(), folder.path() + "sample.hex");
    EXPECT_EQ(window->downloadPath(), folder.path() + "sample.hex");
    EXPECT_FALSE(folder.settingsFileExists());
}

TEST_F(MainWindow, StatusListShowsItsNewestLinesAndTakesNoSelection) {
    open();
    QListWidget* list = window->statusList();
    for (int i = 2; i < 5; ++i)
        window->addStatusLine("line " + std::to_string(i));
    QApplication::processEvents();
    // Five lines fit: the list does not move.
    EXPECT_TRUE(list->viewport()->rect().contains(list->visualItemRect(list->item(0))));

    for (int i = 5; i < 40; ++i)
        window->addStatusLine("line " + std::to_string(i));
    QApplication::processEvents();
    EXPECT_TRUE(list->viewport()->rect().contains(list->visualItemRect(list->item(39))));
    EXPECT_FALSE(list->viewport()->rect().intersects(list->visualItemRect(list->item(0))));
    EXPECT_EQ(list->item(39)->text(), "line 39"); // arrival order

    const QPoint middle = list->visualItemRect(list->item(38)).center();
    QMouseEvent click(QEvent::MouseButtonPress, middle, list->viewport()->mapToGlobal(middle),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &click);
    EXPECT_TRUE(list->selectedItems().isEmpty());
}

// At its default size the window shows the whole arrangement; a larger window gives the
// room to the file box and the status list, and the buttons keep their edges.
TEST_F(MainWindow, ControlsStayInsideAndTheListGrowsWithTheWindow) {
    open();
    const auto inside = [&] {
        for (QWidget* child : window->findChildren<QWidget*>()) {
            if (!child->isVisible() || child->isWindow())
                continue;
            const QRect area(child->mapTo(window.get(), QPoint(0, 0)), child->size());
            EXPECT_TRUE(window->rect().contains(area)) << child->metaObject()->className();
        }
    };
    inside();
    const QSize list = window->statusList()->size();
    const QPoint exit = window->button(exitButton)->pos();
    const QPoint start = window->button(startButton)->pos();

    window->resize(window->size() + QSize(120, 90));
    QApplication::processEvents();
    inside();
    EXPECT_EQ(window->statusList()->size(), list + QSize(120, 90));
    EXPECT_EQ(window->button(exitButton)->pos(), exit + QPoint(120, 90));
    EXPECT_EQ(window->button(startButton)->pos(), start + QPoint(0, 90));

    window->resize(10, 10); // never smaller than the arrangement
    QApplication::processEvents();
    inside();
    EXPECT_EQ(window->statusList()->size(), list);
}

// Each display call from another thread returns only once the GUI thread carried it out.
TEST_F(MainWindow, WorkerCallsWaitForTheGuiThread) {
    open();
    std::atomic<int> returned{0};
    std::thread worker([&] {
        window->addStatusLine("from the worker");
        returned = 1;
        window->setProgressRange(71111);
        window->setProgressPos(48);
        window->enableButton(startButton, false);
        window->enableButton(flashButton, true); // not a worker button: ignored
        returned = 2;
    });
    std::this_thread::sleep_for(200ms); // the GUI thread serves nothing meanwhile
    EXPECT_EQ(returned, 0);
    ASSERT_TRUE(waitUntil([&] { return returned == 2; }));
    worker.join();
    EXPECT_EQ(lines(*window).back(), "from the worker");
    EXPECT_EQ(window->progressBar()->maximum(), 5575); // low 16 bits of 71111
    EXPECT_EQ(window->progressBar()->value(), 48);
    EXPECT_FALSE(window->button(startButton)->isEnabled());
    EXPECT_FALSE(window->button(flashButton)->isEnabled());
}

TEST_F(MainWindow, ProgressPositionsOutsideTheRangeShowAtItsEnds) {
    open();
    window->setProgressRange(16);
    EXPECT_EQ(window->progressBar()->maximum(), 16);
    window->setProgressPos(48);
    EXPECT_EQ(window->progressBar()->value(), 16);
    window->setProgressPos(0);
    EXPECT_EQ(window->progressBar()->value(), 0);
    window->setProgressRange(0x10000); // low 16 bits: 0, an empty bar, not a busy one
    EXPECT_GT(window->progressBar()->maximum(), window->progressBar()->minimum());
}

TEST_F(MainWindow, ShowMessageIsAWarningWithOkOnlyTitledWithTheProgramName) {
    open();
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons offered;
    Qt::WindowModality modality = Qt::NonModal;
    QWidget* parent = nullptr;
    Responder responder;
    responder.on<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        offered = box->standardButtons();
        modality = box->windowModality();
        parent = box->parentWidget();
        box->button(QMessageBox::Ok)->click();
    });
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        window->showMessage("Communication Port Error.");
        returned = true;
    });
    ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(title, QCoreApplication::applicationName());
    EXPECT_EQ(title, "ui_tests");
    EXPECT_EQ(text, "Communication Port Error.");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(offered, QMessageBox::Ok);
    EXPECT_EQ(modality, Qt::WindowModal);
    EXPECT_EQ(parent, window.get());
}

// Closing the window releases a worker call that waits for the GUI thread, and every
// later call returns at once without touching the window.
TEST_F(MainWindow, ClosingReleasesAWaitingWorkerCall) {
    open();
    std::atomic<int> returned{0};
    std::thread worker([&] {
        window->addStatusLine("pending");
        returned = 1;
        window->showMessage("never shown");
        window->addStatusLine("after the end");
        returned = 2;
    });
    std::this_thread::sleep_for(50ms);
    window->close(); // the GUI thread does not serve the pending call first
    worker.join();
    EXPECT_EQ(returned, 2);
    EXPECT_TRUE(window->shutDown());
    QApplication::processEvents();
    EXPECT_FALSE(lines(*window).contains("after the end"));
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<QMessageBox*>(widget) && widget->isVisible());
}

struct EndCase {
    const char* name;
    std::function<void(DownloadDialog&)> act;
};

void PrintTo(const EndCase& c, std::ostream* out) {
    *out << c.name;
}

class EndingTheWindow : public MainWindow, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndingTheWindow, EndsAtOnce) {
    open();
    GetParam().act(*window);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->shutDown());
    EXPECT_TRUE(chooser.requests.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndingTheWindow,
    ::testing::Values(
        EndCase{"ExitButton", [](DownloadDialog& w) { w.button(exitButton)->click(); }},
        EndCase{"Escape", [](DownloadDialog& w) { pressKey(w.statusList(), Qt::Key_Escape); }},
        EndCase{"EnterOnExitWhichHoldsTheFocus",
                [](DownloadDialog& w) { pressKey(w.focusWidget(), Qt::Key_Return); }},
        EndCase{"EnterInTheList",
                [](DownloadDialog& w) {
                    w.statusList()->setFocus();
                    pressKey(w.statusList(), Qt::Key_Return);
                }},
        EndCase{"EnterInTheFileBox",
                [](DownloadDialog& w) {
                    w.fileBox()->setFocus();
                    pressKey(w.fileBox(), Qt::Key_Enter);
                }},
        EndCase{"CloseBox", [](DownloadDialog& w) { w.close(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindow, EnterOnAFocusedButtonClicksIt) {
    open();
    window->button(browseButton)->setFocus();
    pressKey(window->button(browseButton), Qt::Key_Return);
    EXPECT_EQ(chooser.requests.size(), 1u);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindow, ContextMenuOpensTheAboutBox) {
    open();
    app::DownloadApp::addWindowCommands(*window);
    const QList<QAction*> actions = window->contextMenu()->actions();
    ASSERT_EQ(actions.size(), 1);
    EXPECT_EQ(actions.front()->text(), "&About Sorbel...");

    QString caption, version;
    bool hasIcon = false;
    QWidget* parent = nullptr;
    Responder responder;
    responder.on<app::AboutDialog>([&](app::AboutDialog* about) {
        caption = about->windowTitle();
        version = about->versionLabel()->text();
        hasIcon = !about->iconLabel()->pixmap().isNull();
        parent = about->parentWidget();
        about->okButton()->click();
    });
    actions.front()->trigger();
    EXPECT_EQ(caption, "About SORBEL");
    EXPECT_TRUE(version.contains("1.0.0.1"));
    EXPECT_TRUE(hasIcon);
    EXPECT_EQ(parent, window.get());
    EXPECT_TRUE(window->isVisible());
}

} // namespace
} // namespace sorbel::ui
