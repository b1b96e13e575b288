// The settings store: where the file is, what a first start reads, what a save writes, and
// that memory keeps a setting the disk refused.
#include "settings/DownloadSettings.h"
#include "settings/IniFile.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include <unistd.h>

namespace sorbel {
namespace {

using test::readText;
using test::TempFolder;
using test::writeText;

// Runs a test body in another working directory and comes back.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(old_); }

private:
    std::filesystem::path old_;
};

TEST(OptionTexts, TheJobAndTheDialogReadOptionsDifferently) {
    struct Case {
        const char* text;
        bool on;
        bool checked;
    };
    for (const auto& c :
         {Case{"Yes", true, true}, Case{"yes", false, true}, Case{"YES", false, true},
          Case{"No", false, false}, Case{"", false, false}, Case{" Yes", false, false},
          Case{"Yess", false, false}, Case{"1", false, false}}) {
        EXPECT_EQ(optionOn(c.text), c.on) << c.text;
        EXPECT_EQ(optionChecked(c.text), c.checked) << c.text;
    }
}

TEST(LocateSettingsFile, DefaultsToTheExecutablesFolder) {
    SettingsStore store;
    store.locateSettingsFile(std::vector<std::string>{});
    const auto s = store.snapshot();
    ASSERT_TRUE(s.moduleDir.ends_with('/'));
    EXPECT_TRUE(std::filesystem::exists(s.moduleDir + "settings_tests"));
    EXPECT_EQ(s.settingsBase, s.moduleDir + "sorbel");
    EXPECT_EQ(s.settingsFile, s.moduleDir + "sorbel.ini");
}

TEST(LocateSettingsFile, CommandLineNamesTheFile) {
    TempFolder folder;
    const std::string cwd = std::filesystem::canonical(folder.path()).string();
    WorkingDirectory inFolder(cwd);
    struct Case {
        std::vector<std::string> arguments;
        std::string base;
    };
    for (const auto& c : {
             Case{{"/etc/board"}, "/etc/board"},
             Case{{"board"}, cwd + "/board"},
             Case{{"my", "board", "x"}, cwd + "/my board x"},
             Case{{"'quoted' "}, cwd + "/'quoted' "},
             Case{{"sub/board"}, cwd + "/sub/board"},
         }) {
        SettingsStore store;
        store.locateSettingsFile(c.arguments);
        const auto s = store.snapshot();
        EXPECT_EQ(s.settingsBase, c.base);
        EXPECT_EQ(s.settingsFile, c.base + ".ini");
        EXPECT_EQ(s.moduleDir, executableDirectory());
    }
}

TEST(LocateSettingsFile, RelativePathIsResolvedOnceAtStartUp) {
    TempFolder first;
    TempFolder second;
    SettingsStore store;
    {
        WorkingDirectory inFirst(first.path());
        store.locateSettingsFile("/nowhere/", "board");
    }
    WorkingDirectory inSecond(second.path());
    store.saveHexFile("/x.hex");
    EXPECT_TRUE(std::filesystem::exists(first.file("board.ini")));
    EXPECT_FALSE(std::filesystem::exists(second.file("board.ini")));
    SettingsStore again;
    again.locateSettingsFile("/nowhere/", first.file("board"));
    again.loadSettings();
    EXPECT_EQ(again.snapshot().hexFile, "/x.hex");
}

// Which copy is installed, and where its settings and sample file are: a tree in a
// temporary folder with bin/ and share/sorbel/, writability and environment injected.
TEST(SettingsPlaces, InstalledCopiesUseTheConfigHomeAndTheSharedSample) {
    TempFolder folder;
    const std::string root = std::filesystem::canonical(folder.path()).string();
    std::filesystem::create_directories(root + "/bin");
    std::filesystem::create_directories(root + "/share/sorbel");
    std::filesystem::create_directories(root + "/p/app");
    writeText(root + "/share/sorbel/sample.hex", ":00000001FF\n");
    writeText(root + "/p/app/sample.hex", ":00000001FF\n");
    const std::string shared = root + "/share/sorbel/sample.hex";
    const std::string compiled = "/opt/sorbel-data/sample.hex";

    struct Case {
        const char* what;
        std::string moduleDir;
        bool writable;
        const char* xdg;
        const char* home;
        bool installed;
        std::string configHome;
        std::string sampleFile;
    };
    const Case cases[] = {
        {"portable copy", root + "/p/app/", true, nullptr, "/home/u", false, "/home/u/.config",
         compiled},
        {"read-only folder", root + "/bin/", false, nullptr, "/home/u", true, "/home/u/.config",
         shared},
        {"root runs the installed copy", root + "/bin/", true, nullptr, "/root", true,
         "/root/.config", shared},
        {"read-only, data elsewhere", root + "/p/app/", false, "/x/cfg/", "/home/u", true, "/x/cfg",
         compiled},
        {"XDG_CONFIG_HOME wins", root + "/bin/", false, "/x/cfg", "/home/u", true, "/x/cfg",
         shared},
        {"relative XDG_CONFIG_HOME ignored", root + "/bin/", false, "cfg", "/home/u", true,
         "/home/u/.config", shared},
        {"empty XDG_CONFIG_HOME ignored", root + "/bin/", false, "", "/home/u", true,
         "/home/u/.config", shared},
    };
    for (const auto& c : cases) {
        PlaceProbe probe;
        probe.writable = [&c](const std::string& dir) {
            EXPECT_EQ(dir, c.moduleDir);
            return c.writable;
        };
        probe.environment = [&c](const char* name) -> const char* {
            const std::string n = name;
            return n == "XDG_CONFIG_HOME" ? c.xdg : n == "HOME" ? c.home : nullptr;
        };
        probe.dataDir = "/opt/sorbel-data";
        const SettingsPlaces places = settingsPlaces(c.moduleDir, probe);
        EXPECT_EQ(places.installed, c.installed) << c.what;
        EXPECT_EQ(places.configHome, c.configHome) << c.what;
        EXPECT_EQ(places.sampleFile, c.sampleFile) << c.what;
    }
}

TEST(SettingsPlaces, InstalledCopyKeepsItsSettingsInTheConfigHome) {
    TempFolder folder;
    SettingsPlaces places;
    places.installed = true;
    places.configHome = folder.file("config");
    places.sampleFile = "/usr/share/sorbel/sample.hex";
    SettingsStore store;
    store.locateSettingsFile("/usr/bin/", "", places);
    store.loadSettings();
    auto s = store.snapshot();
    EXPECT_EQ(s.moduleDir, "/usr/bin/");
    EXPECT_EQ(s.settingsBase, folder.file("config/sorbel/sorbel"));
    EXPECT_EQ(s.settingsFile, folder.file("config/sorbel/sorbel.ini"));
    EXPECT_EQ(s.hexFile, "/usr/share/sorbel/sample.hex");
    EXPECT_TRUE(std::filesystem::is_empty(folder.path())); // reading creates nothing

    store.saveHexFile("/boards/a.hex"); // the first save makes the folder
    EXPECT_EQ(readText(s.settingsFile), "[Sorbel]\nFile=/boards/a.hex\n");

    // A file named on the command line is used as it is, and no folder is made for it;
    // the installed sample stays the default.
    SettingsStore named;
    named.locateSettingsFile("/usr/bin/", folder.file("missing/board"), places);
    named.loadSettings();
    s = named.snapshot();
    EXPECT_EQ(s.settingsFile, folder.file("missing/board.ini"));
    EXPECT_EQ(s.hexFile, "/usr/share/sorbel/sample.hex");
    named.saveHexFile("/boards/b.hex");
    EXPECT_FALSE(std::filesystem::exists(folder.file("missing")));
}

TEST(LoadSettings, FirstStartGetsTheDefaultsAndCreatesNoFile) {
    TempFolder folder;
    SettingsStore store;
    store.locateSettingsFile(folder.path() + "/", "");
    store.loadSettings();
    const auto s = store.snapshot();
    EXPECT_EQ(s.hexFile, folder.path() + "/sample.hex");
    EXPECT_EQ(s.port, "COM1");
    EXPECT_EQ(s.baud, "9600");
    EXPECT_EQ(s.massErase, "No");
    EXPECT_EQ(s.program, "Yes");
    EXPECT_EQ(s.verify, "No");
    EXPECT_EQ(s.autorun, "No");
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(LoadSettings, ReadsEveryKeyAsStored) {
    TempFolder folder;
    writeText(folder.file("sorbel.ini"), "[sorbel]\nFile=\nport=ttyUSB0\nBaud = 115200\n"
                                         "MassErase=Yes\nProgram=no\nVerify=yes\n");
    SettingsStore store;
    store.locateSettingsFile(folder.path() + "/", "");
    store.loadSettings();
    const auto s = store.snapshot();
    EXPECT_EQ(s.hexFile, ""); // present and empty: not the default
    EXPECT_EQ(s.port, "ttyUSB0");
    EXPECT_EQ(s.baud, "115200");
    EXPECT_EQ(s.massErase, "Yes");
    EXPECT_EQ(s.program, "no");
    EXPECT_EQ(s.verify, "yes"); // the dialog shows it checked, the job does not verify
    EXPECT_EQ(s.autorun, "No");
}

TEST(SaveSettings, WritesTheKeysInOrderAndKeepsOtherLines) {
    TempFolder folder;
    const auto file = folder.file("sorbel.ini");
    writeText(file, "; mine\n[Sorbel]\nFile=/old.hex\n");
    SettingsStore store;
    store.locateSettingsFile(folder.path() + "/", "");
    store.loadSettings();

    DownloadSettings chosen;
    chosen.port = "COM4";
    chosen.baud = "57600";
    chosen.massErase = "Yes";
    chosen.program = "Yes";
    chosen.verify = "Yes";
    chosen.autorun = "No";
    chosen.hexFile = "/ignored.hex"; // saveConfiguration takes the six options only
    store.saveConfiguration(chosen);
    store.saveHexFile("/new.hex");

    EXPECT_EQ(readText(file), "; mine\n[Sorbel]\nFile=/new.hex\nPort=COM4\nBaud=57600\n"
                              "MassErase=Yes\nProgram=Yes\nVerify=Yes\nAutorun=No\n");
    const auto s = store.snapshot();
    EXPECT_EQ(s.hexFile, "/new.hex");
    EXPECT_EQ(s.port, "COM4");
    EXPECT_EQ(s.verify, "Yes");
}

TEST(SaveSettings, FailedWriteKeepsTheNewSettingInMemory) {
    TempFolder folder;
    SettingsStore store;
    store.locateSettingsFile(folder.path() + "/", folder.file("missing/board"));
    store.loadSettings();
    store.saveHexFile("/new.hex");
    DownloadSettings chosen = store.snapshot();
    chosen.port = "COM7";
    store.saveConfiguration(chosen);
    const auto s = store.snapshot();
    EXPECT_EQ(s.hexFile, "/new.hex");
    EXPECT_EQ(s.port, "COM7");
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

// The worker reads through snapshot() while the GUI thread confirms configurations: every
// copy it gets is one whole configuration, never half of each.
TEST(Snapshot, NeverHandsOutAHalfReplacedConfiguration) {
    TempFolder folder;
    SettingsStore store;
    store.locateSettingsFile(folder.path() + "/", "");
    store.loadSettings();
    DownloadSettings a = store.snapshot();
    a.port = "COM2";
    a.baud = "19200";
    DownloadSettings b = a;
    b.port = "/dev/ttyUSB0";
    b.baud = "115200";

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const auto s = store.snapshot();
            const bool isA = s.port == a.port && s.baud == a.baud;
            const bool isB = s.port == b.port && s.baud == b.baud;
            const bool isStart = s.port == "COM1" && s.baud == "9600";
            if (!isA && !isB && !isStart)
                ++torn;
        }
    });
    for (int i = 0; i < 20; ++i)
        store.saveConfiguration(i % 2 ? a : b);
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(readProfileString(store.snapshot().settingsFile, "Sorbel", "Port", ""), a.port);
}

} // namespace
} // namespace sorbel
