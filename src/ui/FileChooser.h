// FileChooser: how the main window asks the operator for the HEX file.
//
// The window fills a FileRequest (title, initial folder, initial name, filters in Qt's
// "description (patterns)" form, first one selected) and gets back the chosen path, or
// nothing when the operator cancelled. PlatformFileChooser shows the desktop's file-open
// dialog; tests answer with a chooser of their own. A name that does not exist yet may be
// chosen: the download reports it when it cannot open the file.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace sorbel::ui {

struct FileRequest {
    QString title;
    QString folder; // empty: the dialog's own choice
    QString name;
    QStringList filters;
};

class FileChooser {
public:
    virtual ~FileChooser() = default;
    virtual std::optional<QString> chooseFile(QWidget* parent, const FileRequest& request) = 0;
};

class PlatformFileChooser final : public FileChooser {
public:
    std::optional<QString> chooseFile(QWidget* parent, const FileRequest& request) override;
};

} // namespace sorbel::ui
