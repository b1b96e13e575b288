#include "app/AboutDialog.h"

#include "sorbel/Version.h"
#include "ui/DialogUnits.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace sorbel::app {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About SORBEL"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(QStringLiteral(":/sorbel/sorbel.png")));

    const ui::DialogUnits units(font());
    setFixedSize(units.size(189, 58));

    iconLabel_ = new QLabel(this);
    const QRect iconArea = units.rect(8, 8, 20, 20);
    iconLabel_->setGeometry(iconArea);
    iconLabel_->setPixmap(
        QPixmap(QStringLiteral(":/sorbel/sorbel.png"))
            .scaled(iconArea.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));

    versionLabel_ = new QLabel(QStringLiteral("SORBEL Version %1\nSerial flash programmer")
                                   .arg(QLatin1String(versionText)),
                               this);
    versionLabel_->setGeometry(units.rect(36, 8, 100, 20));
    versionLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    okButton_->setGeometry(units.rect(142, 8, 39, 13));
    okButton_->setDefault(true);
    okButton_->setFocus(Qt::OtherFocusReason);
    connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace sorbel::app
