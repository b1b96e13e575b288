// AboutDialog: the About box, "About SORBEL", with the application icon, the version and OK.
// OK, Escape and the close box close it; it has no state of its own.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace sorbel::app {

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

    QLabel* iconLabel() const { return iconLabel_; }
    QLabel* versionLabel() const { return versionLabel_; }
    QPushButton* okButton() const { return okButton_; }

private:
    QLabel* iconLabel_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QPushButton* okButton_ = nullptr;
};

} // namespace sorbel::app
