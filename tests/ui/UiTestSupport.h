// Helpers for the desktop tests: a settings folder of their own, bounded waits that keep the
// GUI thread serving, answering modal windows from the test, and small HEX files.
#pragma once

#include "settings/DownloadSettings.h"
#include "ui/DownloadDialog.h"

#include <QApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace sorbel::ui::test {

using namespace std::chrono_literals;

// Serves the GUI thread until done() is true or the limit passed; returns done().
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s);

// The status list's lines, in order.
QStringList lines(const DownloadDialog& window);

// The enabled state of the operator's buttons.
struct Buttons {
    bool start, run, configure, browse, exit;
    bool operator==(const Buttons&) const = default;
};
Buttons buttons(const DownloadDialog& window);
std::ostream& operator<<(std::ostream& out, const Buttons& b);

// A temporary folder that acts as the executable's folder; settingsFile() is <folder>/sorbel.ini.
class SettingsFolder {
public:
    SettingsFolder();
    std::string path() const; // ends in '/'
    std::string settingsFile() const { return path() + "sorbel.ini"; }
    // Writes the settings file with these keys of section "Sorbel".
    void writeSettings(const std::map<std::string, std::string>& keys) const;
    bool settingsFileExists() const;
    // A fresh store located in this folder, as start-up locates it.
    void locate(SettingsStore& store) const;
    // The settings as a new run of the program would load them.
    DownloadSettings reload() const;

private:
    QTemporaryDir dir_;
};

// Calls handler for each visible top-level widget of type T, every 10 ms, until destroyed.
// The handler must close what it is given.
class Responder {
public:
    template <class T> void on(std::function<void(T*)> handler) {
        timer_.callOnTimeout([handler] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* found = qobject_cast<T*>(widget); found && found->isVisible())
                    handler(found);
            }
        });
        timer_.start(10);
    }

private:
    QTimer timer_;
};

// An Intel HEX file of `records` data records of 16 bytes from address 0, and its data.
struct HexImage {
    std::string text;
    std::vector<std::uint8_t> data;
};
HexImage makeHex(int records);
void writeFile(const std::string& path, const std::string& text);

} // namespace sorbel::ui::test
