// ConfigDialog: the operator's choice of port, baud rate and flash options.
//
// Contract:
//  - Built on a DownloadSettings record (usually a snapshot) for one modal run. It shows
//    port and baud from the record: the list entry equal to the text with letter case
//    ignored, or the first entry when none is. Ports: "COM1" to "COM4", then the ports
//    handed in as found on the machine, each by its path (its description as the tip), so
//    that OK stores the path. Baud: the ten fixed rates (57600 is not among them).
//  - A check box is checked when its option text is "yes" in any letter case.
//  - Clicking Program sets Mass Erase to Program's new state; Mass Erase alone changes
//    nothing else.
//  - OK writes port, baud and the four options ("Yes"/"No") into the record and ends with
//    Accepted; Cancel, Escape and the close box end with Rejected and change nothing. The
//    dialog never writes the settings file: its caller does.
//  - Protection... and Autorun are present but never shown; Autorun carries its value.
#pragma once

#include "serial/PortDiscovery.h"
#include "settings/DownloadSettings.h"

#include <QDialog>
#include <QStringList>

#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

namespace sorbel::ui {

class ConfigDialog : public QDialog {
    Q_OBJECT

public:
    static const QStringList& fixedPorts();
    static const QStringList& baudRates();

    explicit ConfigDialog(DownloadSettings& settings, const std::vector<PortInfo>& foundPorts = {},
                          QWidget* parent = nullptr);

    void accept() override;

    QPushButton* okButton() const { return okButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }
    QPushButton* protectionButton() const { return protectionButton_; }
    QComboBox* portCombo() const { return portCombo_; }
    QComboBox* baudCombo() const { return baudCombo_; }
    QCheckBox* massEraseBox() const { return massEraseBox_; }
    QCheckBox* programBox() const { return programBox_; }
    QCheckBox* verifyBox() const { return verifyBox_; }
    QCheckBox* autorunBox() const { return autorunBox_; }

private:
    void buildControls();
    void loadValues(const std::vector<PortInfo>& foundPorts);

    DownloadSettings& settings_;

    QPushButton* okButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QLabel* portLabel_ = nullptr;
    QComboBox* portCombo_ = nullptr;
    QLabel* baudLabel_ = nullptr;
    QComboBox* baudCombo_ = nullptr;
    QPushButton* protectionButton_ = nullptr;
    QGroupBox* flashGroup_ = nullptr;
    QCheckBox* massEraseBox_ = nullptr;
    QCheckBox* programBox_ = nullptr;
    QCheckBox* verifyBox_ = nullptr;
    QCheckBox* autorunBox_ = nullptr;
};

} // namespace sorbel::ui
