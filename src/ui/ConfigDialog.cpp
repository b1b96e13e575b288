#include "ui/ConfigDialog.h"

#include "ui/DialogUnits.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace sorbel::ui {

namespace {

// A combo box's template height includes its drop-down list; the closed box keeps its own.
void placeCombo(QComboBox* combo, const QRect& area) {
    combo->setGeometry(area.x(), area.y(), area.width(), combo->sizeHint().height());
}

void selectMatching(QComboBox* combo, const std::string& text) {
    // Whole text, letter case ignored (MatchFixedString without MatchCaseSensitive).
    const int index = combo->findText(QString::fromStdString(text), Qt::MatchFixedString);
    combo->setCurrentIndex(index >= 0 ? index : 0);
}

std::string optionText(const QCheckBox* box) {
    return box->isChecked() ? optionYes : optionNo;
}

} // namespace

const QStringList& ConfigDialog::fixedPorts() {
    static const QStringList ports{"COM1", "COM2", "COM3", "COM4"};
    return ports;
}

const QStringList& ConfigDialog::baudRates() {
    static const QStringList rates{"300",  "600",   "1200",  "2400",   "4800",
                                   "9600", "19200", "38400", "115200", "230400"};
    return rates;
}

ConfigDialog::ConfigDialog(DownloadSettings& settings, const std::vector<PortInfo>& foundPorts,
                           QWidget* parent)
    : QDialog(parent), settings_(settings) {
    setWindowTitle(QStringLiteral("SORBEL Configuration"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    buildControls();
    loadValues(foundPorts);
    okButton_->setFocus(Qt::OtherFocusReason);
}

void ConfigDialog::buildControls() {
    const DialogUnits units(font());
    setFixedSize(units.size(182, 121));

    // Template order, which is also the tab order.
    okButton_ = new QPushButton(QStringLiteral("&OK"), this);
    okButton_->setGeometry(units.rect(145, 95, 30, 20));
    okButton_->setDefault(true);
    connect(okButton_, &QPushButton::clicked, this, &ConfigDialog::accept);

    cancelButton_ = new QPushButton(QStringLiteral("&Cancel"), this);
    cancelButton_->setGeometry(units.rect(105, 100, 30, 15));
    connect(cancelButton_, &QPushButton::clicked, this, &ConfigDialog::reject);

    portLabel_ = new QLabel(QStringLiteral("&Serial Port"), this);
    placeText(portLabel_, units.rect(10, 15, 33, 8));
    portCombo_ = new QComboBox(this);
    placeCombo(portCombo_, units.rect(10, 25, 60, 75));
    portLabel_->setBuddy(portCombo_);

    baudLabel_ = new QLabel(QStringLiteral("Baud&rate"), this);
    placeText(baudLabel_, units.rect(10, 45, 30, 8));
    baudCombo_ = new QComboBox(this);
    placeCombo(baudCombo_, units.rect(10, 55, 60, 65));
    baudLabel_->setBuddy(baudCombo_);

    protectionButton_ = new QPushButton(QStringLiteral("Pro&tection..."), this);
    protectionButton_->setGeometry(units.rect(10, 100, 50, 15));
    protectionButton_->setEnabled(false);
    protectionButton_->hide();

    // The check boxes are the group's children, so its mnemonic reaches the first of them.
    flashGroup_ = new QGroupBox(QStringLiteral("&Flash"), this);
    const QRect group = units.rect(90, 10, 85, 75);
    flashGroup_->setGeometry(group);
    const auto inGroup = [&](int x, int y, int w, int h) {
        return units.rect(x, y, w, h).translated(-group.topLeft());
    };
    massEraseBox_ = new QCheckBox(QStringLiteral("&Mass Erase"), flashGroup_);
    placeText(massEraseBox_, inGroup(105, 25, 53, 10));
    programBox_ = new QCheckBox(QStringLiteral("&Program"), flashGroup_);
    placeText(programBox_, inGroup(105, 40, 42, 10));
    verifyBox_ = new QCheckBox(QStringLiteral("&Verify"), flashGroup_);
    placeText(verifyBox_, inGroup(105, 55, 33, 10));
    autorunBox_ = new QCheckBox(QStringLiteral("&Autorun"), flashGroup_);
    placeText(autorunBox_, inGroup(105, 70, 41, 10));
    autorunBox_->setEnabled(false);
    autorunBox_->hide();

    // Mass Erase follows every click of Program; a click on Mass Erase touches nothing else.
    connect(programBox_, &QCheckBox::clicked, this,
            [this](bool checked) { massEraseBox_->setChecked(checked); });

    setTabOrder(okButton_, cancelButton_);
    setTabOrder(cancelButton_, portCombo_);
    setTabOrder(portCombo_, baudCombo_);
    setTabOrder(baudCombo_, protectionButton_);
    setTabOrder(protectionButton_, massEraseBox_);
    setTabOrder(massEraseBox_, programBox_);
    setTabOrder(programBox_, verifyBox_);
    setTabOrder(verifyBox_, autorunBox_);
}

void ConfigDialog::loadValues(const std::vector<PortInfo>& foundPorts) {
    portCombo_->clear();
    portCombo_->addItems(fixedPorts());
    for (const PortInfo& port : foundPorts) {
        const QString path = QString::fromStdString(port.path);
        if (path.isEmpty() || portCombo_->findText(path, Qt::MatchFixedString) >= 0)
            continue;
        portCombo_->addItem(path);
        portCombo_->setItemData(portCombo_->count() - 1, QString::fromStdString(port.describe()),
                                Qt::ToolTipRole);
    }
    selectMatching(portCombo_, settings_.port);

    baudCombo_->clear();
    baudCombo_->addItems(baudRates());
    selectMatching(baudCombo_, settings_.baud);

    massEraseBox_->setChecked(optionChecked(settings_.massErase));
    programBox_->setChecked(optionChecked(settings_.program));
    verifyBox_->setChecked(optionChecked(settings_.verify));
    autorunBox_->setChecked(optionChecked(settings_.autorun));
}

void ConfigDialog::accept() {
    settings_.port = portCombo_->currentText().toStdString();
    settings_.baud = baudCombo_->currentText().toStdString();
    settings_.program = optionText(programBox_);
    settings_.massErase = optionText(massEraseBox_);
    settings_.verify = optionText(verifyBox_);
    settings_.autorun = optionText(autorunBox_);
    QDialog::accept();
}

} // namespace sorbel::ui
