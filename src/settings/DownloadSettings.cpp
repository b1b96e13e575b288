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
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

// The installed share folder (<prefix>/share/sorbel), from the build.
#ifndef SORBEL_INSTALL_DATA_DIR
#define SORBEL_INSTALL_DATA_DIR "/usr/local/share/sorbel"
#endif

namespace sorbel {

namespace fs = std::filesystem;

namespace {

constexpr const char* installedDataDir = SORBEL_INSTALL_DATA_DIR;

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

// The home folder from the user database, for a process started without HOME.
std::string passwordHome() {
    std::vector<char> buffer(1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || entry.pw_dir == nullptr)
            return {};
        return entry.pw_dir;
    }
}

// Creates the installed copy's settings folder (and its parents) when it is missing. A
// failure is left for the write to meet, which does not report it either.
void makeFolder(const std::string& folder) {
    if (folder.empty())
        return;
    std::error_code ignored;
    fs::create_directories(folder, ignored);
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

SettingsPlaces settingsPlaces(const std::string& moduleDir, const PlaceProbe& probe) {
    const auto environment = [&probe](const char* name) -> std::string {
        const char* value = probe.environment ? probe.environment(name) : std::getenv(name);
        return value != nullptr ? value : "";
    };
    const bool writable =
        probe.writable ? probe.writable(moduleDir) : ::access(moduleDir.c_str(), W_OK) == 0;
    std::error_code error;
    const fs::path beside = fs::path(moduleDir) / "sample.hex";
    const fs::path shared = (fs::path(moduleDir) / "../share/sorbel/sample.hex").lexically_normal();

    SettingsPlaces places;
    places.installed =
        !writable || (!fs::exists(beside, error) && fs::is_regular_file(shared, error));
    if (fs::is_regular_file(shared, error)) {
        places.sampleFile = shared.string();
    } else {
        places.sampleFile =
            (probe.dataDir.empty() ? std::string(installedDataDir) : probe.dataDir) + "/sample.hex";
    }
    // The XDG rule: a relative XDG_CONFIG_HOME is ignored.
    const std::string xdg = environment("XDG_CONFIG_HOME");
    if (xdg.starts_with('/')) {
        places.configHome = xdg;
    } else if (const std::string home = environment("HOME"); !home.empty()) {
        places.configHome = home + "/.config";
    } else {
        places.configHome = passwordHome();
        if (!places.configHome.empty())
            places.configHome += "/.config";
    }
    while (places.configHome.size() > 1 && places.configHome.ends_with('/'))
        places.configHome.pop_back();
    if (places.configHome.empty())
        places.installed = false; // nowhere else to go: keep the settings beside the program
    return places;
}

void SettingsStore::locateSettingsFile(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& word : arguments) {
        if (&word != &arguments.front())
            text += ' ';
        text += word;
    }
    const std::string moduleDir = executableDirectory();
    locateSettingsFile(moduleDir, text, settingsPlaces(moduleDir));
}

void SettingsStore::locateSettingsFile(const std::string& moduleDir,
                                       const std::string& commandLineText) {
    locateSettingsFile(moduleDir, commandLineText, SettingsPlaces{});
}

void SettingsStore::locateSettingsFile(const std::string& moduleDir,
                                       const std::string& commandLineText,
                                       const SettingsPlaces& places) {
    std::string folder;
    std::string base = commandLineText;
    if (base.empty()) {
        if (places.installed) {
            folder = places.configHome + "/sorbel";
            base = folder + "/sorbel";
        } else {
            base = moduleDir + "sorbel";
        }
    }
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
    defaultHexFile_ = places.installed ? places.sampleFile : moduleDir + "sample.hex";
    folderToCreate_ = folder;
}

void SettingsStore::loadSettings() {
    DownloadSettings where;
    std::string defaultHexFile;
    {
        std::lock_guard lock(mutex_);
        where = settings_;
        defaultHexFile = defaultHexFile_;
    }
    DownloadSettings loaded = where;
    loaded.hexFile =
        readProfileString(where.settingsFile, settingsSection, hexFileKey, defaultHexFile);
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
    std::string folder;
    {
        std::lock_guard lock(mutex_);
        settings_.hexFile = path;
        file = settings_.settingsFile;
        folder = folderToCreate_;
    }
    makeFolder(folder);
    (void)writeProfileString(file, settingsSection, hexFileKey, path);
}

void SettingsStore::saveConfiguration(const DownloadSettings& settings) {
    std::lock_guard saving(saveMutex_);
    std::string file;
    std::string folder;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : configurationKeys)
            settings_.*entry.member = settings.*entry.member;
        file = settings_.settingsFile;
        folder = folderToCreate_;
    }
    makeFolder(folder);
    for (const auto& entry : configurationKeys)
        (void)writeProfileString(file, settingsSection, entry.key, settings.*entry.member);
}

DownloadSettings SettingsStore::snapshot() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

} // namespace sorbel
