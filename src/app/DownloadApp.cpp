#include "app/DownloadApp.h"

#include "app/AboutDialog.h"
#include "ui/DownloadDialog.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QShortcut>
#include <QUrl>

namespace sorbel::app {

CommandLineWords::CommandLineWords(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        words.emplace_back(argv[i]);
}

DownloadApp::DownloadApp(int& argc, char** argv)
    : CommandLineWords(argc, argv), QApplication(argc, argv) {
    // Every window and box carries the icon; the desktop entry lets a Wayland desktop match it.
    setWindowIcon(QIcon(QStringLiteral(":/sorbel/sorbel.png")));
    setDesktopFileName(QStringLiteral("org.sorbel.sorbel"));
}

int DownloadApp::run() {
    ui::DownloadDialog window(settings_);
    addWindowCommands(window);
    settings_.locateSettingsFile(words);
    window.exec();
    return 0;
}

void DownloadApp::addWindowCommands(ui::DownloadDialog& window) {
    QAction* about = window.contextMenu()->addAction(QStringLiteral("&About Sorbel..."));
    QObject::connect(about, &QAction::triggered, &window, [&window] {
        AboutDialog dialog(&window);
        dialog.exec();
    });
    auto* help = new QShortcut(QKeySequence::HelpContents, &window);
    QObject::connect(help, &QShortcut::activated, &window, &DownloadApp::showHelp);
}

QString DownloadApp::helpFile() {
    const QString name = QCoreApplication::applicationName() + QStringLiteral(".html");
    const QDir here(QCoreApplication::applicationDirPath());
    for (const QString& candidate :
         {here.filePath(name), here.filePath(QStringLiteral("../share/sorbel/") + name)}) {
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).canonicalFilePath();
    }
    return {};
}

void DownloadApp::showHelp() {
    const QString file = helpFile();
    if (!file.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

} // namespace sorbel::app
