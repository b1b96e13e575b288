// SettingsStore: the settings record in memory and in its INI file.
//
// Memory is the truth for the running program: a save changes memory first and then writes
// the file, and a write that fails (read-only folder, full disk) is not reported. Saves are
// serialised by saveMutex_ so that the file is written in the order the memory changed;
// mutex_ guards the record itself and is never held across disk work, so a reader on the
// worker thread never waits for an fsync.
#include "settings/DownloadSettings.h"

#include "settings/IniFile.h"

#include <cerrno>

#include <unistd.h>

namespace sorbel {

namespace {

struct KeyDefault {
    const char* key;
    std::string DownloadSettings::*member;
    const char* fallback;
};

// The keys written by saveConfiguration, in the order they are read and written.
constexpr KeyDefault configurationKeys[] = {
    {"Port", &DownloadSettings::port, "COM1"},
    {"Baud", &DownloadSettings::baud, "9600"},
    {"MassErase", &DownloadSettings::massErase, optionNo},
    {"Program", &DownloadSettings::program, optionYes},
    {"Verify", &DownloadSettings::verify, optionNo},
    {"Autorun", &DownloadSettings::autorun, optionNo},
};

constexpr const char* hexFileKey = "File";

std::string workingDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr)
            return buffer.c_str();
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

bool optionOn(const std::string& text) {
    return text == optionYes;
}

bool optionChecked(const std::string& text) {
    const std::string yes = "yes";
    if (text.size() != yes.size())
        return false;
    for (std::size_t i = 0; i < yes.size(); ++i) {
        const char c = text[i];
        const char lower = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        if (lower != yes[i])
            return false;
    }
    return true;
}

std::string executableDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    const auto slash = buffer.rfind('/');
    return slash == std::string::npos ? std::string() : buffer.substr(0, slash + 1);
}

void SettingsStore::locateSettingsFile(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& word : arguments) {
        if (&word != &arguments.front())
            text += ' ';
        text += word;
    }
    locateSettingsFile(executableDirectory(), text);
}

void SettingsStore::locateSettingsFile(const std::string& moduleDir,
                                       const std::string& commandLineText) {
    std::string base = commandLineText.empty() ? moduleDir + "sorbel" : commandLineText;
    // Resolved once, now, so that reading and writing use the same file even if the working
    // directory changes later.
    if (!base.starts_with('/')) {
        std::string cwd = workingDirectory();
        if (!cwd.empty())
            base = (cwd.ends_with('/') ? cwd : cwd + "/") + base;
    }
    std::lock_guard lock(mutex_);
    settings_.moduleDir = moduleDir;
    settings_.settingsBase = base;
    settings_.settingsFile = base + ".ini";
}

void SettingsStore::loadSettings() {
    const DownloadSettings where = snapshot();
    DownloadSettings loaded = where;
    loaded.hexFile = readProfileString(where.settingsFile, settingsSection, hexFileKey,
                                       where.moduleDir + "sample.hex");
    for (const auto& entry : configurationKeys)
        loaded.*entry.member =
            readProfileString(where.settingsFile, settingsSection, entry.key, entry.fallback);
    std::lock_guard lock(mutex_);
    settings_.hexFile = loaded.hexFile;
    for (const auto& entry : configurationKeys)
        settings_.*entry.member = loaded.*entry.member;
}

void SettingsStore::saveHexFile(const std::string& path) {
    std::lock_guard saving(saveMutex_);
    std::string file;
    {
        std::lock_guard lock(mutex_);
        settings_.hexFile = path;
        file = settings_.settingsFile;
    }
    (void)writeProfileString(file, settingsSection, hexFileKey, path);
}

void SettingsStore::saveConfiguration(const DownloadSettings& settings) {
    std::lock_guard saving(saveMutex_);
    std::string file;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : configurationKeys)
            settings_.*entry.member = settings.*entry.member;
        file = settings_.settingsFile;
    }
    for (const auto& entry : configurationKeys)
        (void)writeProfileString(file, settingsSection, entry.key, settings.*entry.member);
}

DownloadSettings SettingsStore::snapshot() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

} // namespace sorbel
