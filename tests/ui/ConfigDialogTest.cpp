// The configuration dialog: what it shows for the stored texts, what OK stores, and that
// Cancel stores nothing.
#include "ui/ConfigDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

#include <gtest/gtest.h>

namespace sorbel::ui {
namespace {

DownloadSettings stored(std::string port, std::string baud, std::string option) {
    DownloadSettings settings;
    settings.port = std::move(port);
    settings.baud = std::move(baud);
    settings.massErase = option;
    settings.program = option;
    settings.verify = option;
    settings.autorun = option;
    return settings;
}

TEST(ConfigDialog, OffersTheFixedListsInOrder) {
    DownloadSettings settings = stored("COM1", "9600", "No");
    PortInfo adapter;
    adapter.path = "/dev/ttyUSB0";
    adapter.product = "FT232R USB UART";
    ConfigDialog dialog(settings, {adapter});
    QStringList ports, rates;
    for (int i = 0; i < dialog.portCombo()->count(); ++i)
        ports << dialog.portCombo()->itemText(i);
    for (int i = 0; i < dialog.baudCombo()->count(); ++i)
        rates << dialog.baudCombo()->itemText(i);
    EXPECT_EQ(ports, QStringList({"COM1", "COM2", "COM3", "COM4", "/dev/ttyUSB0"}));
    EXPECT_EQ(rates, QStringList({"300", "600", "1200", "2400", "4800", "9600", "19200", "38400",
                                  "115200", "230400"}));
    EXPECT_TRUE(dialog.portCombo()->itemData(4, Qt::ToolTipRole).toString().contains("FT232R"));
    EXPECT_EQ(dialog.windowTitle(), "SORBEL Configuration");
    EXPECT_TRUE(dialog.okButton()->isDefault());
    EXPECT_EQ(dialog.focusWidget(), dialog.okButton());
    EXPECT_FALSE(dialog.protectionButton()->isEnabled());
    EXPECT_TRUE(dialog.protectionButton()->isHidden());
    EXPECT_FALSE(dialog.autorunBox()->isEnabled());
    EXPECT_TRUE(dialog.autorunBox()->isHidden());
}

struct StoredTextCase {
    const char* name;
    DownloadSettings settings;
    QString shownPort, shownBaud;
    bool shownChecked;
    std::string storedPort, storedBaud, storedOption;
};

void PrintTo(const StoredTextCase& c, std::ostream* out) {
    *out << c.name;
}

class ConfigDialogStoredText : public ::testing::TestWithParam<StoredTextCase> {};

TEST_P(ConfigDialogStoredText, ShowsAndStores) {
    const StoredTextCase& c = GetParam();
    DownloadSettings settings = c.settings;
    ConfigDialog dialog(settings);
    EXPECT_EQ(dialog.portCombo()->currentText(), c.shownPort);
    EXPECT_EQ(dialog.baudCombo()->currentText(), c.shownBaud);
    for (const QCheckBox* box :
         {dialog.massEraseBox(), dialog.programBox(), dialog.verifyBox(), dialog.autorunBox()})
        EXPECT_EQ(box->isChecked(), c.shownChecked) << box->text().toStdString();

    dialog.okButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(settings.port, c.storedPort);
    EXPECT_EQ(settings.baud, c.storedBaud);
    EXPECT_EQ(settings.massErase, c.storedOption);
    EXPECT_EQ(settings.program, c.storedOption);
    EXPECT_EQ(settings.verify, c.storedOption);
    EXPECT_EQ(settings.autorun, c.storedOption); // hidden, yet carried through
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigDialogStoredText,
    ::testing::Values(StoredTextCase{"Defaults", stored("COM1", "9600", "Yes"), "COM1", "9600",
                                     true, "COM1", "9600", "Yes"},
                      StoredTextCase{"LowerCasePortAndOption", stored("com3", "19200", "yes"),
                                     "COM3", "19200", true, "COM3", "19200", "Yes"},
                      StoredTextCase{"CapitalOption", stored("COM2", "115200", "YES"), "COM2",
                                     "115200", true, "COM2", "115200", "Yes"},
                      StoredTextCase{"PortNotListed", stored("COM5", "9600", "No"), "COM1", "9600",
                                     false, "COM1", "9600", "No"},
                      StoredTextCase{"BaudNotListed", stored("COM4", "57600", "No"), "COM4", "300",
                                     false, "COM4", "300", "No"},
                      StoredTextCase{"EmptyTexts", stored("", "", ""), "COM1", "300", false, "COM1",
                                     "300", "No"},
                      StoredTextCase{"OptionTrue", stored("COM1", "9600", "true"), "COM1", "9600",
                                     false, "COM1", "9600", "No"},
                      StoredTextCase{"OptionOne", stored("COM1", "9600", "1"), "COM1", "9600",
                                     false, "COM1", "9600", "No"},
                      StoredTextCase{"OptionYesWithBlank", stored("COM1", "9600", "Yes "), "COM1",
                                     "9600", false, "COM1", "9600", "No"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigDialog, AFoundPortIsShownAndStoredByItsPath) {
    DownloadSettings settings = stored("/dev/ttyACM1", "115200", "No");
    PortInfo first, second;
    first.path = "/dev/ttyACM0";
    second.path = "/dev/ttyACM1";
    ConfigDialog dialog(settings, {first, second});
    EXPECT_EQ(dialog.portCombo()->currentText(), "/dev/ttyACM1");
    dialog.okButton()->click();
    EXPECT_EQ(settings.port, "/dev/ttyACM1");
}

TEST(ConfigDialog, CancelKeepsEveryText) {
    const DownloadSettings before = stored("COM5", "57600", "yes");
    DownloadSettings settings = before;
    ConfigDialog dialog(settings);
    dialog.portCombo()->setCurrentIndex(2);
    dialog.baudCombo()->setCurrentIndex(0);
    dialog.verifyBox()->setChecked(false);
    dialog.cancelButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(settings.port, before.port);
    EXPECT_EQ(settings.baud, before.baud);
    EXPECT_EQ(settings.verify, before.verify);
    EXPECT_EQ(settings.massErase, before.massErase);
}

TEST(ConfigDialog, MassEraseFollowsEveryClickOfProgram) {
    DownloadSettings settings = stored("COM1", "9600", "No");
    ConfigDialog dialog(settings);
    struct Step {
        QCheckBox* clicked;
        bool program, massErase;
    };
    QCheckBox* program = dialog.programBox();
    QCheckBox* massErase = dialog.massEraseBox();
    const Step steps[] = {
        {program, true, true},    {massErase, true, false}, {program, false, false},
        {massErase, false, true}, {program, true, true},    {program, false, false},
    };
    int index = 0;
    for (const Step& step : steps) {
        step.clicked->click();
        EXPECT_EQ(program->isChecked(), step.program) << "step " << index;
        EXPECT_EQ(massErase->isChecked(), step.massErase) << "step " << index;
        ++index;
    }
    massErase->click();
    dialog.okButton()->click();
    EXPECT_EQ(settings.program, "No");
    EXPECT_EQ(settings.massErase, "Yes");
}

} // namespace
} // namespace sorbel::ui
