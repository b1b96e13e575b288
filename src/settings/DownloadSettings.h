// DownloadSettings: the operator's choices, ten texts, and SettingsStore, which keeps them
// in memory and in the INI file (section "Sorbel").
//
// Contract:
//  - locateSettingsFile(arguments): once at start-up. moduleDir is the running executable's
//    folder with a trailing '/'; settingsBase is the arguments joined by single blanks (a
//    relative path is resolved against the working directory now), or, when there are none,
//    moduleDir + "sorbel" for a portable copy and <config home>/sorbel/sorbel for an
//    installed one (settingsPlaces() tells which); settingsFile is settingsBase + ".ini".
//  - loadSettings(): reads File, Port, Baud, MassErase, Program, Verify, Autorun with their
//    defaults (File: moduleDir + "sample.hex" when portable, the installed sample.hex when
//    installed); never creates the file.
//  - The first save of an installed copy's default settings file creates its folder
//    (<config home>/sorbel); a file named on the command line gets no folder made for it.
//  - saveHexFile(path) / saveConfiguration(settings): replace the values in memory, then
//    write the keys (atomically, under a lock against other copies of the program). A failed
//    write is not reported; the memory keeps the new values.
//  - snapshot(): a consistent copy, callable from any thread (the worker reads settings
//    through it while the GUI thread may save).
#pragma once

#include <functional>
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

// Where a copy of the program keeps its settings and finds its sample file.
struct SettingsPlaces {
    // A copy is installed when its folder is not writable, or when it has no sample.hex
    // beside it but one in ../share/sorbel (an installed copy that root runs). A portable
    // copy keeps both beside the executable.
    bool installed = false;
    std::string configHome; // $XDG_CONFIG_HOME when absolute, else $HOME/.config
    std::string sampleFile; // the installed sample.hex
};

// What settingsPlaces() looks at; each part can be replaced by a test.
struct PlaceProbe {
    std::function<bool(const std::string& folder)> writable;  // default: access(W_OK)
    std::function<const char*(const char* name)> environment; // default: getenv
    std::string dataDir;                                      // default: the install's
};

// The places for the copy whose executable is in moduleDir (ending in '/').
SettingsPlaces settingsPlaces(const std::string& moduleDir, const PlaceProbe& probe = {});

class SettingsStore {
public:
    // arguments: the program's command-line words after its name. Uses settingsPlaces()
    // for the running executable.
    void locateSettingsFile(const std::vector<std::string>& arguments);
    // For tests and callers that know the files already: a portable copy in moduleDir.
    void locateSettingsFile(const std::string& moduleDir, const std::string& commandLineText);
    void locateSettingsFile(const std::string& moduleDir, const std::string& commandLineText,
                            const SettingsPlaces& places);
    void loadSettings();
    void saveHexFile(const std::string& path);
    // Takes port, baud, massErase, program, verify and autorun from settings.
    void saveConfiguration(const DownloadSettings& settings);

    DownloadSettings snapshot() const;

private:
    mutable std::mutex mutex_; // guards settings_; never held across disk work
    std::mutex saveMutex_;     // one save at a time, so the file follows the memory's order
    DownloadSettings settings_;
    std::string defaultHexFile_; // the File key's default
    std::string folderToCreate_; // made on save when missing; empty for a named file
};

// The folder of the running executable, ending in '/'.
std::string executableDirectory();

} // namespace sorbel
