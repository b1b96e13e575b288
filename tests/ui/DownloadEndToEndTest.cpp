// The main window driving a real download into the simulated target over a pseudo-terminal:
// the lines in order, the buttons at each moment, the boxes, and closing the window while
// the worker waits or downloads.
#include "UiTestSupport.h"

#include "sim/SimulatedTarget.h"
#include "ui/DownloadDialog.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

#include <memory>

namespace sorbel::ui {
namespace {

using namespace test;
using sim::SimulatedTarget;
using sim::TargetOptions;

// Closing may wait for one port time-out of the worker; the bound is generous for a loaded
// machine, yet far below a hang.
constexpr qint64 closeLimitMs = 5000;

class Download : public ::testing::Test {
protected:
    void startTarget(TargetOptions options = {}) {
        target = std::make_unique<SimulatedTarget>(std::move(options));
        std::string error;
        ASSERT_TRUE(target->start(error)) << error;
    }

    // Settings for the target's port at 115200 baud with every step on, and a HEX file.
    void open(int records, std::map<std::string, std::string> keys = {}) {
        image = makeHex(records);
        hexPath = folder.path() + "prog.hex";
        writeFile(hexPath, image.text);
        keys.try_emplace("Port", target ? target->portPath() : "");
        keys.try_emplace("Baud", "115200");
        keys.try_emplace("File", hexPath);
        keys.try_emplace("MassErase", "Yes");
        keys.try_emplace("Program", "Yes");
        keys.try_emplace("Verify", "Yes");
        folder.writeSettings(keys);
        folder.locate(store);

        window = std::make_unique<DownloadDialog>(store);
        window->setSerialPort(&port);
        QObject::connect(
            window->statusList()->model(), &QAbstractItemModel::rowsInserted, window.get(),
            [this](const QModelIndex&, int first, int last) {
                for (int row = first; row <= last; ++row)
                    seen.push_back({window->statusList()->item(row)->text(), buttons(*window)});
            });
        window->show();
        QApplication::processEvents();
    }

    void TearDown() override {
        window.reset();
        target.reset();
    }

    // The buttons as they were when the first line starting with prefix arrived.
    std::optional<Buttons> buttonsAtLine(const QString& prefix) const {
        for (const auto& [text, state] : seen)
            if (text.startsWith(prefix))
                return state;
        return std::nullopt;
    }

    bool hasLine(const QString& text) const { return lines(*window).contains(text); }

    // Closes the window from the test and checks it ended promptly and for good.
    void closeAndCheck() {
        QElapsedTimer clock;
        clock.start();
        window->close();
        EXPECT_LT(clock.elapsed(), closeLimitMs);
        EXPECT_FALSE(window->isVisible());
        EXPECT_FALSE(window->worker()->running());
        const int count = window->statusList()->count();
        waitUntil([] { return false; }, 100ms);
        EXPECT_EQ(window->statusList()->count(), count); // the worker is gone
    }

    struct Seen {
        QString text;
        Buttons buttons;
    };

    SettingsFolder folder;
    SettingsStore store;
    std::unique_ptr<SimulatedTarget> target;
    SerialPort port;
    HexImage image;
    std::string hexPath;
    std::vector<Seen> seen;
    std::unique_ptr<DownloadDialog> window;
};

TEST_F(Download, StartDownloadsThenRunStartsTheProgram) {
    startTarget();
    open(8);
    const Buttons idle{true, false, true, true, true};
    const Buttons busy{false, false, false, true, true};
    EXPECT_EQ(buttons(*window), idle);

    window->button(startButton)->click();
    // The end of the connection enables Start, Run and Configure, one call each.
    const Buttons ended{true, true, true, true, true};
    ASSERT_TRUE(waitUntil([&] {
        return hasLine("    Click Run to run program.") && buttons(*window) == ended;
    })) << lines(*window).join('|').toStdString();

    const QStringList all = lines(*window);
    ASSERT_EQ(all.size(), 10) << all.join('|').toStdString();
    const QString bytes = QString::number(static_cast<long>(image.text.size()) * 16 / 45);
    EXPECT_EQ(all[2], "Ready @ 115200 baud n,8,1.");
    EXPECT_EQ(all[3], "    Press Download and pulse Reset on hardware.");
    EXPECT_TRUE(all[4].startsWith("QZKV5160") && all[4].endsWith(" received."))
        << all[4].toStdString();
    EXPECT_EQ(all[5], "Mass Erasing ");
    EXPECT_EQ(all[6], "Downloading ... " + bytes + " bytes");
    EXPECT_EQ(all[7], "Verifying ... " + bytes + " bytes");
    EXPECT_EQ(all[8], "Download Complete.");

    EXPECT_EQ(buttonsAtLine("QZKV5160"), busy);
    EXPECT_EQ(buttonsAtLine("Download Complete."), busy);
    EXPECT_EQ(window->progressBar()->value(), 0);
    EXPECT_TRUE(window->button(flashButton)->isHidden());
    EXPECT_FALSE(window->button(flashButton)->isEnabled());
    const std::vector<std::uint8_t> flash = target->flash();
    EXPECT_TRUE(std::equal(image.data.begin(), image.data.end(), flash.begin()));

    window->button(runButton)->click();
    EXPECT_EQ(buttons(*window), (Buttons{true, false, true, true, true}));
    ASSERT_TRUE(waitUntil([&] { return hasLine("    Click Start for new download."); }));
    EXPECT_EQ(lines(*window).mid(10),
              QStringList({"Running.", "    Click Start for new download."}));
    EXPECT_TRUE(target->runStarted());
    EXPECT_EQ(buttons(*window), (Buttons{true, false, true, true, true}));
}

TEST_F(Download, APortThatDoesNotOpenShowsItsBoxEachStart) {
    open(1, {{"Port", folder.path() + "no-such-tty"}});
    std::vector<QMessageBox*> boxes;
    QStringList texts, titles;
    Responder responder;
    responder.on<QMessageBox>([&](QMessageBox* box) {
        texts << box->text();
        titles << box->windowTitle();
        box->button(QMessageBox::Ok)->click();
    });

    for (int press = 1; press <= 2; ++press) {
        window->button(startButton)->click();
        ASSERT_TRUE(waitUntil([&] { return texts.size() == press; }));
        // The worker gives up the request once the box is closed; a press before that
        // would only repeat the request that is ending.
        ASSERT_TRUE(waitUntil([&] { return window->controlFlags.linkActive.get() == 0; }));
        EXPECT_TRUE(window->button(startButton)->isEnabled());
    }
    waitUntil([] { return false; }, 100ms);
    EXPECT_EQ(texts.size(), 2);
    for (const QString& text : texts)
        EXPECT_TRUE(text.startsWith("Communication Port Error.")) << text.toStdString();
    EXPECT_EQ(titles.front(), QCoreApplication::applicationName());
    EXPECT_EQ(lines(*window).size(), 2); // no "Ready @" line
    EXPECT_EQ(buttons(*window), (Buttons{true, false, true, true, true}));
}

TEST_F(Download, ClosingDuringTheIdentificationWaitEndsPromptly) {
    TargetOptions silent;
    silent.idText = ""; // the board is never reset into its loader
    startTarget(silent);
    open(4);
    window->button(startButton)->click();
    ASSERT_TRUE(waitUntil([&] { return target->wakeBytesReceived() >= 2; }));
    EXPECT_EQ(buttons(*window), (Buttons{false, false, false, true, true}));
    closeAndCheck();
}

TEST_F(Download, ClosingDuringADownloadEndsPromptly) {
    TargetOptions slow;
    slow.writeByteTime = std::chrono::microseconds(3000); // 48 ms a record
    startTarget(slow);
    open(64);
    window->button(startButton)->click();
    ASSERT_TRUE(waitUntil([&] {
        for (const QString& line : lines(*window))
            if (line.startsWith("Downloading ... "))
                return target->packets().size() >= 4;
        return false;
    }));
    closeAndCheck();
    EXPECT_LT(target->bytesProgrammed(), image.data.size()); // it was under way
}

TEST_F(Download, ClosingWhileTheWorkersBoxIsOpenEndsPromptly) {
    open(1, {{"Port", folder.path() + "no-such-tty"}});
    QElapsedTimer clock;
    qint64 closeMs = -1;
    Responder responder;
    responder.on<QMessageBox>([&](QMessageBox*) {
        if (closeMs >= 0)
            return;
        clock.start();
        window->close(); // from the box's own event loop, the worker waiting on the box
        closeMs = clock.elapsed();
    });
    window->button(startButton)->click();
    ASSERT_TRUE(waitUntil([&] { return closeMs >= 0 && !window->isVisible(); }));
    EXPECT_LT(closeMs, closeLimitMs);
    EXPECT_FALSE(window->worker()->running());
    QApplication::processEvents();
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<QMessageBox*>(widget) && widget->isVisible());
}

} // namespace
} // namespace sorbel::ui
