// The results page's views: the found files by type (the type tree) or by folder (the
// folder tree), the filter bar, and the file list of the chosen node with its ticks.
#pragma once

#include <QObject>
#include <set>
#include <string>
#include <vector>

#include "ui/found_files.h"
#include "ui/result_index.h"
#include "ui/result_ticks.h"

class QCheckBox;
class QStackedWidget;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestrune::ui {

class FileTypePage;
class FilterBar;
class FolderTreeModel;
class FoundFilesModel;

class ResultsView : public QObject {
    Q_OBJECT
public:
    // Takes over the page's TypeTree, FileList and ChkAllListSel; adds the folder tree,
    // the switch between the two views and the filter bar beside them.
    ResultsView(QTreeWidget* typeTree, QTreeView* fileList, QCheckBox* tickAll, const FileTypePage* fileTypes,
                const Findings& findings, TickedFiles& ticked, QObject* parent);

    // Shows a search's findings (index is IndexFindings of them); every tick is forgotten.
    void Show(const ResultIndex& index);
    void Clear();
    void Retranslate();
    // Fills the type tree again (texts, the ticked options of the file-type page).
    void FillTypeTree();
    void ShowByFolder(bool byFolder);

    FoundFilesModel* files() const { return files_; }
    FilterBar* filterBar() const { return filterBar_; }
    QTreeView* folderTree() const { return folderTree_; }
    const ResultTicks& ticks() const { return ticks_; }

signals:
    void tickedChanged();

private:
    void ListCurrentNode();
    void ShowFirstNodeWithMatches();
    void TypeItemChanged(QTreeWidgetItem* item);
    void TicksChanged();
    void FilterChanged();
    void RefreshTypeTree();
    // The files of a type tree node, or of the chosen folder; the node's counts.
    std::vector<FoundRef> FilesOf(const QTreeWidgetItem* item) const;
    NodeCount CountOf(const QTreeWidgetItem* item) const;
    // The counts of the node listed, in whichever view.
    NodeCount CurrentCount() const;
    uint32_t CurrentFolder() const;
    bool byFolder() const;

    QTreeWidget* typeTree_;
    QTreeView* fileList_;
    QCheckBox* tickAll_;
    const FileTypePage* fileTypes_;
    const Findings& findings_;
    const ResultIndex* index_ = nullptr;
    ResultTicks ticks_;
    FoundFilesModel* files_;
    FolderTreeModel* folders_;
    QTreeView* folderTree_;
    QStackedWidget* trees_;
    QToolButton* byType_;
    QToolButton* byFolder_;
    FilterBar* filterBar_;
    bool filling_ = false;
};

}  // namespace kestrune::ui
