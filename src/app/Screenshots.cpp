// sorbel-screenshots: renders the desktop program's windows to PNG files, for the README
// and for review. Usage: sorbel-screenshots OUTPUT_FOLDER
//
// It runs offscreen unless a platform is chosen, keeps its settings in a temporary folder
// (the real settings file is never touched), and downloads the sample file next to the
// executable into a simulated target for the picture after a download.
#include "app/AboutDialog.h"
#include "app/DownloadApp.h"
#include "sim/SimulatedTarget.h"
#include "ui/ConfigDialog.h"
#include "ui/DownloadDialog.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

bool save(QWidget& widget, const QDir& folder, const QString& name) {
    widget.show();
    QApplication::processEvents();
    const QString path = folder.filePath(name);
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "sorbel-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

bool listHas(const QListWidget* list, const QString& text) {
    return !list->findItems(text, Qt::MatchExactly).isEmpty();
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: sorbel-screenshots OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path()))
        return 1;
    QTemporaryDir temp;
    if (!temp.isValid())
        return 1;
    const std::string moduleDir = QApplication::applicationDirPath().toStdString() + "/";
    bool ok = true;

    // A failure box would hold the download: say what it said and close it.
    QTimer boxCloser;
    QObject::connect(&boxCloser, &QTimer::timeout, [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                std::fprintf(stderr, "box: %s\n", qPrintable(box->text()));
                box->done(QMessageBox::Ok);
            }
        }
    });
    boxCloser.start(50);

    {
        sorbel::SettingsStore store;
        store.locateSettingsFile(moduleDir, temp.filePath(QStringLiteral("start")).toStdString());
        sorbel::ui::DownloadDialog window(store);
        sorbel::app::DownloadApp::addWindowCommands(window);
        ok &= save(window, out, QStringLiteral("main-window.png"));

        sorbel::DownloadSettings settings = store.snapshot();
        sorbel::ui::ConfigDialog config(settings, {}, &window);
        ok &= save(config, out, QStringLiteral("config-dialog.png"));
        config.reject();

        sorbel::app::AboutDialog about(&window);
        ok &= save(about, out, QStringLiteral("about-box.png"));
        about.reject();
        window.close();
    }

    sorbel::sim::SimulatedTarget target;
    std::string error;
    if (!target.start(error)) {
        std::fprintf(stderr, "sorbel-screenshots: simulated target: %s\n", error.c_str());
        return 1;
    }
    QFile ini(temp.filePath(QStringLiteral("download.ini")));
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Text))
        return 1;
    QTextStream(&ini) << "[Sorbel]\nPort=" << QString::fromStdString(target.portPath())
                      << "\nBaud=115200\nMassErase=Yes\nProgram=Yes\nVerify=Yes\n";
    ini.close();

    sorbel::SettingsStore store;
    store.locateSettingsFile(moduleDir, temp.filePath(QStringLiteral("download")).toStdString());
    sorbel::ui::DownloadDialog window(store);
    window.resize(window.minimumSize());
    window.show();
    window.button(sorbel::startButton)->click();
    const bool finished = waitUntil(
        [&] {
            return (listHas(window.statusList(), QStringLiteral("Download Complete.")) ||
                    listHas(window.statusList(), QStringLiteral("Flash error."))) &&
                   window.button(sorbel::startButton)->isEnabled();
        },
        60000);
    if (!finished)
        std::fprintf(stderr, "sorbel-screenshots: the download did not finish\n");
    ok &= finished && save(window, out, QStringLiteral("main-window-download.png"));
    window.close();
    return ok ? 0 : 1;
}
