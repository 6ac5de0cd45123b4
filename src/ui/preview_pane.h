// The results page's preview of the chosen found file, in PreviewEdit.
#pragma once

#include <QObject>
#include <cstdint>

#include "ui/found_files.h"

class QTextBrowser;

namespace kestrune::ui {

class PreviewPane : public QObject {
    Q_OBJECT
public:
    // edit is the page's PreviewEdit; window owns the progress and message windows.
    PreviewPane(QTextBrowser* edit, QWidget* window);
    ~PreviewPane() override;

    // Shows the record-th file of found (UI thread; the data is read on a worker).
    void Show(const TargetFindings& found, uint32_t record);
    void Clear();

private:
    QTextBrowser* edit_;
    QWidget* window_;
};

}  // namespace kestrune::ui
