// DownloadApp: the desktop program's start-up. It owns the settings for the life of the
// process and runs the main window.
//
// Contract:
//  - Built from main's arguments before anything runs. The application name stays Qt's
//    default, the executable's file name, and titles every message box.
//  - run(): builds DownloadDialog, adds "&About Sorbel..." to its context menu and F1 help,
//    locates the settings file from the command-line words after the program's name (as
//    given, before Qt reads its own options), runs the main window modally and returns 0
//    when it has closed. The main window stops its worker as it closes.
//  - showHelp(): opens the help file named after the executable (beside it, or in the
//    installed share folder) in the desktop's viewer; with no such file nothing happens.
#pragma once

#include "settings/DownloadSettings.h"

#include <QApplication>
#include <QString>

#include <string>
#include <vector>

namespace sorbel::ui {
class DownloadDialog;
}

namespace sorbel::app {

// The words are copied before QApplication removes the options it knows from argv.
struct CommandLineWords {
    CommandLineWords(int argc, char** argv);
    std::vector<std::string> words;
};

class DownloadApp : private CommandLineWords, public QApplication {
public:
    DownloadApp(int& argc, char** argv);

    int run();
    SettingsStore& settings() { return settings_; }

    // Adds the About entry and F1 help to a main window.
    static void addWindowCommands(ui::DownloadDialog& window);
    static QString helpFile();
    static void showHelp();

private:
    SettingsStore settings_;
};

} // namespace sorbel::app
