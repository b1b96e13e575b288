// DownloadSettings: the operator's choices, ten texts, and SettingsStore, which keeps them
// in memory and in the INI file (section "Sorbel").
//
// Contract:
//  - locateSettingsFile(arguments): once at start-up. moduleDir is the running executable's
//    folder with a trailing '/'; settingsBase is the arguments joined by single blanks (a
//    relative path is resolved against the working directory now), or moduleDir + "sorbel"
//    when there are none; settingsFile is settingsBase + ".ini".
//  - loadSettings(): reads File, Port, Baud, MassErase, Program, Verify, Autorun with their
//    defaults; never creates the file.
//  - saveHexFile(path) / saveConfiguration(settings): replace the values in memory, then
//    write the keys (atomically, under a lock against other copies of the program). A failed
//    write is not reported; the memory keeps the new values.
//  - snapshot(): a consistent copy, callable from any thread (the worker reads settings
//    through it while the GUI thread may save).
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace sorbel {

inline constexpr const char* settingsSection = "Sorbel";
inline constexpr const char* optionYes = "Yes";
inline constexpr const char* optionNo = "No";

struct DownloadSettings {
    std::string hexFile;
    std::string moduleDir;
    std::string settingsBase;
    std::string settingsFile;
    std::string port;
    std::string baud;
    std::string massErase;
    std::string program;
    std::string verify;
    std::string autorun;
};

// True when an option text is exactly "Yes" (the programming job's rule).
bool optionOn(const std::string& text);
// True when an option text is "yes" in any letter case (the configuration dialog's rule).
bool optionChecked(const std::string& text);

class SettingsStore {
public:
    // arguments: the program's command-line words after its name.
    void locateSettingsFile(const std::vector<std::string>& arguments);
    // For tests and callers that know the files already.
    void locateSettingsFile(const std::string& moduleDir, const std::string& commandLineText);
    void loadSettings();
    void saveHexFile(const std::string& path);
    // Takes port, baud, massErase, program, verify and autorun from settings.
    void saveConfiguration(const DownloadSettings& settings);

    DownloadSettings snapshot() const;

private:
    mutable std::mutex mutex_; // guards settings_; never held across disk work
    std::mutex saveMutex_;     // one save at a time, so the file follows the memory's order
    DownloadSettings settings_;
};

// The folder of the running executable, ending in '/'.
std::string executableDirectory();

} // namespace sorbel
