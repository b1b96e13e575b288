#include "UiTestSupport.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>

#include <cstdio>
#include <fstream>

namespace sorbel::ui::test {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

QStringList lines(const DownloadDialog& window) {
    QStringList result;
    for (int i = 0; i < window.statusList()->count(); ++i)
        result << window.statusList()->item(i)->text();
    return result;
}

Buttons buttons(const DownloadDialog& window) {
    return {window.button(startButton)->isEnabled(), window.button(runButton)->isEnabled(),
            window.button(configureButton)->isEnabled(), window.button(browseButton)->isEnabled(),
            window.button(exitButton)->isEnabled()};
}

std::ostream& operator<<(std::ostream& out, const Buttons& b) {
    return out << "{start " << b.start << ", run " << b.run << ", configure " << b.configure
               << ", browse " << b.browse << ", exit " << b.exit << "}";
}

SettingsFolder::SettingsFolder() = default;

std::string SettingsFolder::path() const {
    return dir_.path().toStdString() + "/";
}

void SettingsFolder::writeSettings(const std::map<std::string, std::string>& keys) const {
    std::string text = "[Sorbel]\n";
    for (const auto& [key, value] : keys)
        text += key + "=" + value + "\n";
    writeFile(settingsFile(), text);
}

bool SettingsFolder::settingsFileExists() const {
    return QFileInfo::exists(QString::fromStdString(settingsFile()));
}

void SettingsFolder::locate(SettingsStore& store) const {
    store.locateSettingsFile(path(), "");
}

DownloadSettings SettingsFolder::reload() const {
    SettingsStore store;
    locate(store);
    store.loadSettings();
    return store.snapshot();
}

HexImage makeHex(int records) {
    HexImage image;
    char line[64];
    for (int r = 0; r < records; ++r) {
        const unsigned address = static_cast<unsigned>(r) * 16;
        unsigned sum = 16 + (address >> 8) + (address & 0xFF);
        std::string text;
        std::snprintf(line, sizeof line, ":10%04X00", address);
        text = line;
        for (int i = 0; i < 16; ++i) {
            const auto byte = static_cast<std::uint8_t>((r * 16 + i) * 7 + 3);
            image.data.push_back(byte);
            sum += byte;
            std::snprintf(line, sizeof line, "%02X", byte);
            text += line;
        }
        std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        image.text += text + line;
    }
    image.text += ":00000001FF\n";
    return image;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

} // namespace sorbel::ui::test
