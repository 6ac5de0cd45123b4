#include "ui/preview_pane.h"

#include <QTextBrowser>

#include "scanlog/file_types.h"
#include "ui/texts.h"

namespace kestrune::ui {

PreviewPane::PreviewPane(QTextBrowser* edit, QWidget* window) : QObject(window), edit_(edit), window_(window) {}

PreviewPane::~PreviewPane() = default;

void PreviewPane::Clear() { edit_->clear(); }

// What is known of the chosen file.
void PreviewPane::Show(const TargetFindings& found, uint32_t record) {
    Clear();
    if (record >= found.records.size()) return;
    const ScanRecord& file = found.records[record];
    const std::string_view name = RecordName(file);
    const QString rows[][2] = {
        {Text("MainWnd", "FileName"), QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()))},
        {Text("MainWnd", "Size"), file.isFolder ? QString() : SizeText(file.fileSize)},
        {Text("MainWnd", "ModifiedTime"),
         file.writeTime ? QString::fromStdString(FormatFileTime(file.writeTime)) : QString()},
        {Text("MainWnd", "Path"), record < found.folders.size() ? found.folders[record] : QString()}};
    QString html = "<table cellspacing='4'>";
    for (const auto& row : rows)
        html += "<tr><td><b>" + row[0].toHtmlEscaped() + "</b></td><td>" + row[1].toHtmlEscaped() + "</td></tr>";
    edit_->setHtml(html + "</table>");
}

}  // namespace kestrune::ui
