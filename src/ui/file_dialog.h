// Runs a file dialog and gives what the user chose when they accepted it.
#pragma once

#include <QFileDialog>
#include <QStringList>

namespace kestrune::ui {

// The paths chosen at the moment of acceptance (empty when cancelled). Asking the dialog
// afterwards is not the same: it goes on reading folders in the background, and a folder
// it finishes reading may move its selection, so that a chosen folder comes back as the
// folder above it.
inline QStringList RunFileDialog(QFileDialog& dialog) {
    QStringList chosen;
    QObject::connect(&dialog, &QFileDialog::filesSelected, &dialog, [&chosen](const QStringList& files) { chosen = files; });
    if (dialog.exec() != QDialog::Accepted) return {};
    return chosen;
}

}  // namespace kestrune::ui
