#include "ui/FileChooser.h"

#include <QFileDialog>

namespace sorbel::ui {

std::optional<QString> PlatformFileChooser::chooseFile(QWidget* parent,
                                                       const FileRequest& request) {
    QFileDialog dialog(parent, request.title);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile); // a name that does not exist may be given
    dialog.setNameFilters(request.filters);
    if (!request.filters.isEmpty())
        dialog.selectNameFilter(request.filters.front());
    if (!request.folder.isEmpty())
        dialog.setDirectory(request.folder);
    if (!request.name.isEmpty())
        dialog.selectFile(request.name);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return std::nullopt;
    return files.front();
}

} // namespace sorbel::ui
