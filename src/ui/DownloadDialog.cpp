#include "ui/DownloadDialog.h"

#include "ui/ConfigDialog.h"
#include "ui/DialogUnits.h"

#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace sorbel::ui {

namespace {

// The file dialog keeps at most this many characters of the initial name.
constexpr int fileNameLimit = 260;

QString pathText(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

std::string pathBytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QPushButton* makeButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    // Enter is handled by the window: a focused button is clicked, otherwise the window ends.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

DownloadDialog::DownloadDialog(SettingsStore& settings, QWidget* parent)
    : QDialog(parent), settings_(settings), gate_(this) {
    setWindowTitle(QStringLiteral("SORBEL"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(QStringLiteral(":/sorbel/sorbel.png")));
    contextMenu_ = new QMenu(this);
    buildControls();
}

DownloadDialog::~DownloadDialog() {
    shutdown();
}

void DownloadDialog::buildControls() {
    const DialogUnits units(font());
    templateSize_ = units.size(252, 175);

    // Template order, which is also the tab order; Exit first, so it holds the focus.
    exitButton_ = makeButton(QStringLiteral("&Exit"), this);
    connect(exitButton_, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });

    fileLabel_ = new QLabel(QStringLiteral("File to &download"), this);
    fileBox_ = new QLineEdit(this);
    fileBox_->setReadOnly(true);
    fileLabel_->setBuddy(fileBox_);

    browseButton_ = makeButton(QStringLiteral("&Browse..."), this);
    connect(browseButton_, &QPushButton::clicked, this, &DownloadDialog::browse);

    // The list and the bar are the group's children, so its mnemonic reaches the list.
    statusGroup_ = new QGroupBox(QStringLiteral("&Monitor Status"), this);
    statusList_ = new QListWidget(statusGroup_);
    statusList_->setSelectionMode(QAbstractItemView::NoSelection);
    statusList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    statusList_->setUniformItemSizes(true);
    statusList_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    startButton_ = makeButton(QStringLiteral("&Start"), this);
    connect(startButton_, &QPushButton::clicked, this, &DownloadDialog::start);

    flashButton_ = makeButton(QStringLiteral("&Flash"), this);
    flashButton_->setEnabled(false);
    flashButton_->hide();

    runButton_ = makeButton(QStringLiteral("&Run"), this);
    connect(runButton_, &QPushButton::clicked, this, &DownloadDialog::run);

    progressBar_ = new QProgressBar(statusGroup_);
    progressBar_->setTextVisible(false);
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);

    configureButton_ = makeButton(QStringLiteral("&Configure"), this);
    connect(configureButton_, &QPushButton::clicked, this, &DownloadDialog::configure);

    setTabOrder(exitButton_, fileBox_);
    setTabOrder(fileBox_, browseButton_);
    setTabOrder(browseButton_, statusList_);
    setTabOrder(statusList_, startButton_);
    setTabOrder(startButton_, flashButton_);
    setTabOrder(flashButton_, runButton_);
    setTabOrder(runButton_, configureButton_);

    setMinimumSize(templateSize_);
    resize(templateSize_);
    layoutControls();
}

void DownloadDialog::layoutControls() {
    const DialogUnits units(font());
    // Whatever the window has beyond the template's size goes to the file box and the list.
    const int dx = std::max(0, width() - templateSize_.width());
    const int dy = std::max(0, height() - templateSize_.height());

    exitButton_->setGeometry(units.rect(210, 150, 35, 15).translated(dx, dy));
    placeText(fileLabel_, units.rect(5, 10, 52, 8));
    fileBox_->setGeometry(units.rect(5, 21, 205, 14).adjusted(0, 0, dx, 0));
    browseButton_->setGeometry(units.rect(211, 21, 35, 14).translated(dx, 0));

    const QRect group = units.rect(5, 40, 240, 100).adjusted(0, 0, dx, dy);
    statusGroup_->setGeometry(group);
    statusList_->setGeometry(
        units.rect(15, 55, 220, 70).adjusted(0, 0, dx, dy).translated(-group.topLeft()));
    progressBar_->setGeometry(
        units.rect(15, 130, 220, 5).adjusted(0, dy, dx, dy).translated(-group.topLeft()));

    startButton_->setGeometry(units.rect(60, 150, 35, 15).translated(0, dy));
    flashButton_->setGeometry(units.rect(110, 150, 35, 15).translated(0, dy));
    runButton_->setGeometry(units.rect(160, 150, 35, 15).translated(0, dy));
    configureButton_->setGeometry(units.rect(10, 150, 35, 14).translated(0, dy));
}

void DownloadDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    layoutControls();
}

void DownloadDialog::setVisible(bool visible) {
    if (visible && !initialised_)
        initialise();
    QDialog::setVisible(visible);
}

void DownloadDialog::initialise() {
    initialised_ = true;
    runButton_->setEnabled(false);

    // Created idle: the thread begins at the first Start or Run.
    worker_ = std::make_unique<SerialThread>(*this, port_ ? *port_ : SerialPort::instance(),
                                             [this] { return settings_.snapshot(); });

    settings_.loadSettings();
    const DownloadSettings settings = settings_.snapshot();
    setDownloadPath(settings.hexFile);

    appendLine(QStringLiteral("    Connect test board to PC ") +
                   QString::fromStdString(settings.port) + QStringLiteral(" at ") +
                   QString::fromStdString(settings.baud) + QStringLiteral(" Baud."),
               false);
    appendLine(QStringLiteral("    Click Start."), false);

    fileBox_->setText(pathText(settings.hexFile));
    exitButton_->setFocus(Qt::OtherFocusReason);
}

QPushButton* DownloadDialog::button(int id) const {
    switch (id) {
    case flashButton:
        return flashButton_;
    case exitButton:
        return exitButton_;
    case startButton:
        return startButton_;
    case runButton:
        return runButton_;
    case browseButton:
        return browseButton_;
    case configureButton:
        return configureButton_;
    default:
        return nullptr;
    }
}

void DownloadDialog::appendLine(const QString& text, bool scroll) {
    statusList_->addItem(text);
    if (!scroll)
        return;
    // The newest line n asks for top line n - 3 (n above 3); the view keeps the top line
    // within its scroll range, so a short list stays put and a long one shows its end.
    const int newest = statusList_->count() - 1;
    const int top = newest > 3 ? newest - 3 : newest;
    statusList_->scrollToItem(statusList_->item(top), QAbstractItemView::PositionAtTop);
}

void DownloadDialog::addStatusLine(const std::string& text) {
    gate_.call([this, line = QString::fromStdString(text)] { appendLine(line, true); });
}

void DownloadDialog::setProgressRange(int upper) {
    gate_.call([this, upper] {
        // A range of 0 would make the bar a busy indicator; an empty bar is what is meant.
        // The position stays where it was, moved to the nearer end if it lies outside.
        const int maximum = std::max(upper & 0xFFFF, 1);
        const int position = std::clamp(progressBar_->value(), 0, maximum);
        progressBar_->setRange(0, maximum);
        progressBar_->setValue(position);
    });
}

void DownloadDialog::setProgressPos(int position) {
    gate_.call([this, position] {
        // A position beyond the range shows as the nearest end instead of being ignored.
        progressBar_->setValue(
            std::clamp(position, progressBar_->minimum(), progressBar_->maximum()));
    });
}

void DownloadDialog::enableButton(int id, bool enabled) {
    gate_.call([this, id, enabled] {
        // Only the three buttons that the worker drives; Flash stays hidden and disabled.
        if (id == startButton || id == runButton || id == configureButton)
            button(id)->setEnabled(enabled);
    });
}

void DownloadDialog::showMessage(const std::string& text) {
    gate_.call([this, message = QString::fromStdString(text)] {
        QPointer<QMessageBox> box =
            new QMessageBox(QMessageBox::Warning, QCoreApplication::applicationName(), message,
                            QMessageBox::Ok, this);
        box->setWindowModality(Qt::WindowModal);
        workerBox_ = box;
        box->exec();
        delete box; // null when the window went first
    });
}

void DownloadDialog::start() {
    if (!worker_)
        return;
    // targetReady first: the worker may already be running and must never see the match of
    // the previous connection once linkActive is set.
    controlFlags.targetReady.set(0);
    controlFlags.connectPending.set(1);
    controlFlags.linkActive.set(1);
    controlFlags.pingEnabled.set(1);
    worker_->resume();
}

void DownloadDialog::run() {
    if (!worker_)
        return;
    controlFlags.runRequested.set(1);
    runButton_->setEnabled(false);
    configureButton_->setEnabled(true);
    worker_->resume();
}

void DownloadDialog::browse() {
    const QString hexFile = pathText(settings_.snapshot().hexFile);
    const int slash = static_cast<int>(hexFile.lastIndexOf(QLatin1Char('/')));

    FileRequest request;
    request.title = QStringLiteral("Select File");
    request.folder = slash >= 0 ? hexFile.left(slash + 1) : QString();
    request.name = hexFile.mid(slash + 1).left(fileNameLimit);
    request.filters = QStringList{QStringLiteral("*.hex (*.hex)"), QStringLiteral("All Files (*)")};

    FileChooser* chooser = chooser_ ? chooser_ : &platformChooser_;
    if (const std::optional<QString> chosen = chooser->chooseFile(this, request)) {
        const std::string path = pathBytes(*chosen);
        setDownloadPath(path);
        settings_.saveHexFile(path);
    }
    fileBox_->setText(pathText(downloadPath()));
}

void DownloadDialog::configure() {
    DownloadSettings settings = settings_.snapshot();
    ConfigDialog dialog(settings, portFinder_ ? portFinder_() : discoverPorts(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    settings_.saveConfiguration(settings);
    addStatusLine("    Connect test board to PC " + settings.port + " at " + settings.baud +
                  " Baud. Click Start.");
    runButton_->setEnabled(false);
}

void DownloadDialog::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (enter && plain) {
        if (auto* focused = qobject_cast<QPushButton*>(focusWidget())) {
            if (focused->isEnabled())
                focused->click();
        } else {
            done(QDialog::Accepted);
        }
        return;
    }
    QDialog::keyPressEvent(event); // Escape ends the window
}

void DownloadDialog::contextMenuEvent(QContextMenuEvent* event) {
    if (!contextMenu_->actions().isEmpty())
        contextMenu_->exec(event->globalPos());
}

void DownloadDialog::done(int result) {
    shutdown();
    QDialog::done(result);
}

void DownloadDialog::shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    // Release a worker that waits for a display call, close its box if one is open, then
    // wait for it to end; from here on it never reaches this window.
    gate_.close();
    if (workerBox_)
        workerBox_->done(QMessageBox::Ok);
    if (worker_)
        worker_->stop();
}

} // namespace sorbel::ui
