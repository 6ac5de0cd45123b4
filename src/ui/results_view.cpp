#include "ui/results_view.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLayout>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidgetItemIterator>
#include <QTreeWidget>

#include "ui/file_type_page.h"
#include "ui/filter_bar.h"
#include "ui/folder_tree_model.h"
#include "ui/found_files_model.h"
#include "ui/texts.h"

namespace kestrune::ui {

namespace {

constexpr const char* kNodeNames[] = {"NodePhoto", "NodeAudio", "NodeVideo", "NodeOffice", "NodeZip", "NodeOther"};
constexpr const char* kNodeTitles[] = {"MSG0807", "MSG0808", "MSG0809", "MSG0810", "MSG0811", "MSG0812"};
constexpr const char* kNodeIcons[] = {":/skin/type_photo.svg",    ":/skin/type_audio.svg",   ":/skin/type_video.svg",
                                      ":/skin/type_document.svg", ":/skin/type_archive.svg", ":/skin/type_other.svg"};
// A type tree row holds the extensions it lists: one for a child, its children's for a top node.
constexpr int kExtensionsRole = Qt::UserRole + 1;

std::vector<uint32_t> ExtensionsOfItem(const QTreeWidgetItem* item) {
    std::vector<uint32_t> out;
    for (const QVariant& value : item->data(0, kExtensionsRole).toList()) out.push_back(value.toUInt());
    return out;
}

QToolButton* ViewButton(QWidget* parent, const char* name) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setCheckable(true);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return button;
}

}  // namespace

ResultsView::ResultsView(QTreeWidget* typeTree, QTreeView* fileList, QCheckBox* tickAll, const FileTypePage* fileTypes,
                         const Findings& findings, TickedFiles& ticked, QObject* parent)
    : QObject(parent), typeTree_(typeTree), fileList_(fileList), tickAll_(tickAll), fileTypes_(fileTypes),
      findings_(findings), ticks_(ticked) {
    // The tree pane: the switch between the two views above the one shown.
    auto* splitter = qobject_cast<QSplitter*>(typeTree->parentWidget());
    auto* pane = new QWidget;
    pane->setObjectName("ResultsTreePane");
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* switcher = new QHBoxLayout;
    switcher->setSpacing(0);
    byType_ = ViewButton(pane, "ViewByType");
    byFolder_ = ViewButton(pane, "ViewByFolder");
    auto* views = new QButtonGroup(pane);
    views->setObjectName("ResultsViews");
    for (QToolButton* button : {byType_, byFolder_}) {
        views->addButton(button);
        switcher->addWidget(button);
    }
    byType_->setChecked(true);
    layout->addLayout(switcher);
    trees_ = new QStackedWidget(pane);
    folderTree_ = new QTreeView(pane);
    folderTree_->setObjectName("FolderTree");
    folderTree_->setHeaderHidden(true);
    folderTree_->setUniformRowHeights(true);
    // Deep paths scroll sideways rather than lose their names to an ellipsis.
    folderTree_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    folderTree_->header()->setStretchLastSection(false);
    folders_ = new FolderTreeModel(this);
    folderTree_->setModel(folders_);
    if (splitter) splitter->replaceWidget(splitter->indexOf(typeTree), pane);
    trees_->addWidget(typeTree);
    trees_->addWidget(folderTree_);
    layout->addWidget(trees_);
    connect(byType_, &QToolButton::toggled, this, [this](bool on) { ShowByFolder(!on); });

    // The filter bar above the file list.
    filterBar_ = new FilterBar(fileList->parentWidget());
    if (auto* listLayout = qobject_cast<QBoxLayout*>(fileList->parentWidget()->layout()))
        listLayout->insertWidget(0, filterBar_);
    connect(filterBar_, &FilterBar::changed, this, &ResultsView::FilterChanged);

    files_ = new FoundFilesModel(findings_, ticks_, this);
    fileList_->setModel(files_);
    fileList_->header()->setSectionsClickable(true);
    fileList_->header()->setSortIndicatorShown(true);
    fileList_->header()->setSortIndicator(-1, Qt::AscendingOrder);
    connect(fileList_->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        files_->HeaderClicked(column);
        fileList_->header()->setSortIndicator(files_->sortColumn(), files_->sortOrder());
    });
    connect(files_, &FoundFilesModel::tickedChanged, this, &ResultsView::TicksChanged);
    connect(folders_, &FolderTreeModel::tickedChanged, this, &ResultsView::TicksChanged);
    tickAll_->setTristate(true);
    // A click ticks a node that is not wholly ticked, and clears one that is.
    // "Select all" is every file the filter shows, in every node: what the user sees as
    // matching is what gets ticked.
    connect(tickAll_, &QCheckBox::clicked, this, [this] {
        ticks_.TickAllShown(ticks_.All().State() != Qt::Checked);
        TicksChanged();
    });
    connect(typeTree_, &QTreeWidget::currentItemChanged, this, &ResultsView::ListCurrentNode);
    connect(typeTree_, &QTreeWidget::itemChanged, this, &ResultsView::TypeItemChanged);
    connect(folderTree_->selectionModel(), &QItemSelectionModel::currentChanged, this, &ResultsView::ListCurrentNode);
    Retranslate();
}

void ResultsView::Retranslate() {
    byType_->setText(Text("MainWnd", "ViewByType"));
    byFolder_->setText(Text("MainWnd", "ViewByFolder"));
    filterBar_->Retranslate();
    files_->Retranslate();
    if (index_) FillTypeTree();
}

bool ResultsView::byFolder() const { return trees_->currentWidget() == folderTree_; }

uint32_t ResultsView::CurrentFolder() const { return folders_->FolderAt(folderTree_->currentIndex()); }

void ResultsView::Clear() {
    files_->SetRows({});
    folders_->SetIndex(nullptr, nullptr);
    index_ = nullptr;
    const QSignalBlocker quiet(typeTree_);
    typeTree_->clear();
}

void ResultsView::Show(const ResultIndex& index) {
    files_->SetRows({});
    index_ = &index;
    ticks_.Reset(findings_, index);
    {
        const QSignalBlocker quiet(filterBar_);
        filterBar_->Clear();
    }
    folders_->SetIndex(&index, &ticks_);
    for (uint32_t row = 0; row < index.folderRoots.size(); ++row) folderTree_->expand(folders_->index(int(row), 0));
    FillTypeTree();
    // The folder view opens on the first folder that holds files, as a file manager
    // would list it, rather than on an empty top.
    uint32_t first = kNoNode;
    std::vector<uint32_t> pending(index.folderRoots.rbegin(), index.folderRoots.rend());
    while (!pending.empty() && first == kNoNode) {
        const uint32_t folder = pending.back();
        pending.pop_back();
        if (!index.folders[folder].files.empty()) first = folder;
        pending.insert(pending.end(), index.folders[folder].children.rbegin(), index.folders[folder].children.rend());
    }
    for (uint32_t up = first == kNoNode ? kNoNode : index.folders[first].parent; up != kNoNode;
         up = index.folders[up].parent)
        folderTree_->expand(folders_->IndexOf(up));
    if (first != kNoNode) folderTree_->setCurrentIndex(folders_->IndexOf(first));
    ListCurrentNode();
}

void ResultsView::FillTypeTree() {
    QTreeWidget* tree = typeTree_;
    const QSignalBlocker quiet(tree);
    filling_ = true;
    tree->clear();
    QTreeWidgetItem* groups[FileTypePage::GroupCount] = {};
    QVariantList listed[FileTypePage::GroupCount];
    for (int group = 0; group < FileTypePage::GroupCount; ++group) {
        groups[group] = new QTreeWidgetItem(tree);
        groups[group]->setData(0, Qt::UserRole, QString(kNodeNames[group]));
        groups[group]->setIcon(0, QIcon(kNodeIcons[group]));
        groups[group]->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    }
    const QCheckBox* other = nullptr;
    for (const QCheckBox* option : fileTypes_->options(FileTypePage::Other)) other = option;
    QTreeWidgetItem* unknown = nullptr;
    for (uint32_t e = 0; index_ && e < index_->extensions.size(); ++e) {
        const QString extension = QString::fromStdString(index_->extensions[e]);
        // The ticked option that registered the extension decides the group; without one
        // the extension shows under Other while that option is ticked.
        int group = -1;
        QString text;
        for (int g = 0; g < FileTypePage::Other && group < 0; ++g)
            for (const QCheckBox* option : fileTypes_->options(FileTypePage::Group(g)))
                if (option->isChecked() && option->property("userdata").toString() == extension) {
                    group = g;
                    text = option->text().section(" (", 0, 0);
                }
        if (group < 0 && other && other->isChecked()) {
            group = FileTypePage::Other;
            text = extension == "unknow" ? Text("MainWnd", "TxtNoExtension")
                                         : FormatText(Text("MainWnd", "TxtExtensionFiles"), {extension.toUpper()});
        }
        if (group < 0) continue;
        auto* child = new QTreeWidgetItem(groups[group]);
        child->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        child->setData(0, Qt::UserRole, text);
        child->setData(0, kExtensionsRole, QVariantList{e});
        child->setIcon(0, QIcon(kNodeIcons[group]));
        listed[group].push_back(e);
        if (extension == "unknow" && group == FileTypePage::Other) unknown = child;
    }
    // "unknow" (no extension) always comes last under Other.
    if (unknown) groups[FileTypePage::Other]->addChild(groups[FileTypePage::Other]->takeChild(
        groups[FileTypePage::Other]->indexOfChild(unknown)));
    QTreeWidgetItem* first = nullptr;
    for (int group = 0; group < FileTypePage::GroupCount; ++group) {
        groups[group]->setData(0, kExtensionsRole, listed[group]);
        groups[group]->setData(0, Qt::UserRole + 2, Msg(kNodeTitles[group]));
        groups[group]->setHidden(listed[group].isEmpty());
        groups[group]->setExpanded(true);
        if (!first && groups[group]->childCount()) first = groups[group]->child(0);
    }
    RefreshTypeTree();
    filling_ = false;
    tree->setCurrentItem(first ? first : nullptr);
    if (!byFolder()) ListCurrentNode();
}

// Counts and check boxes of every type node, from the ticks and the filter.
void ResultsView::RefreshTypeTree() {
    const QSignalBlocker quiet(typeTree_);
    for (int top = 0; top < typeTree_->topLevelItemCount(); ++top) {
        QTreeWidgetItem* group = typeTree_->topLevelItem(top);
        const NodeCount count = CountOf(group);
        group->setText(0, QString("%1 (%2)").arg(group->data(0, Qt::UserRole + 2).toString()).arg(count.shown));
        group->setCheckState(0, count.State());
        for (int c = 0; c < group->childCount(); ++c) {
            QTreeWidgetItem* child = group->child(c);
            const NodeCount own = CountOf(child);
            child->setText(0, QString("%1 (%2)").arg(child->data(0, Qt::UserRole).toString()).arg(own.shown));
            child->setCheckState(0, own.State());
        }
    }
}

NodeCount ResultsView::CountOf(const QTreeWidgetItem* item) const {
    NodeCount count;
    for (uint32_t e : ExtensionsOfItem(item)) count += ticks_.OfExtension(e);
    return count;
}

std::vector<FoundRef> ResultsView::FilesOf(const QTreeWidgetItem* item) const {
    std::vector<FoundRef> files;
    for (uint32_t e : ExtensionsOfItem(item)) {
        std::vector<FoundRef> shown = ticks_.ShownOf(index_->byExtension[e]);
        files.insert(files.end(), shown.begin(), shown.end());
    }
    return files;
}

NodeCount ResultsView::CurrentCount() const {
    if (!index_) return {};
    if (byFolder()) return CurrentFolder() == kNoNode ? NodeCount{} : ticks_.OfFolder(CurrentFolder());
    return typeTree_->currentItem() ? CountOf(typeTree_->currentItem()) : NodeCount{};
}

void ResultsView::ListCurrentNode() {
    if (filling_) return;
    std::vector<FoundRef> rows;
    if (index_ && byFolder() && CurrentFolder() != kNoNode)
        rows = ticks_.ShownOf(index_->folders[CurrentFolder()].files);
    else if (index_ && !byFolder() && typeTree_->currentItem())
        rows = FilesOf(typeTree_->currentItem());
    files_->SetRows(std::move(rows));
    tickAll_->setCheckState(ticks_.All().State());
    if (files_->rowCount() > 0) fileList_->setCurrentIndex(files_->index(0, 0));
}

// The user ticked a type node's box: every shown file below it follows.
void ResultsView::TypeItemChanged(QTreeWidgetItem* item) {
    if (filling_ || !index_) return;
    ticks_.TickShown(FilesOf(item), item->checkState(0) == Qt::Checked);
    TicksChanged();
}

void ResultsView::TicksChanged() {
    RefreshTypeTree();
    folders_->Refresh();
    files_->RefreshTicks();
    tickAll_->setCheckState(ticks_.All().State());
    emit tickedChanged();
}

void ResultsView::FilterChanged() {
    ticks_.SetFilter(filterBar_->filter());
    RefreshTypeTree();
    folders_->Refresh();
    ListCurrentNode();
    // A filter searches the whole tree: when the node in view lists no match, the first
    // node that does is shown instead of an empty list.
    if (index_ && files_->rowCount() == 0 && ticks_.All().shown > 0) {
        ShowFirstNodeWithMatches();
        ListCurrentNode();
    }
    emit tickedChanged();
}

void ResultsView::ShowFirstNodeWithMatches() {
    if (byFolder()) {
        std::vector<uint32_t> pending(index_->folderRoots.rbegin(), index_->folderRoots.rend());
        while (!pending.empty()) {
            const uint32_t folder = pending.back();
            pending.pop_back();
            if (!ticks_.ShownOf(index_->folders[folder].files).empty()) {
                for (uint32_t up = index_->folders[folder].parent; up != kNoNode; up = index_->folders[up].parent)
                    folderTree_->expand(folders_->IndexOf(up));
                folderTree_->setCurrentIndex(folders_->IndexOf(folder));
                return;
            }
            const auto& children = index_->folders[folder].children;
            pending.insert(pending.end(), children.rbegin(), children.rend());
        }
        return;
    }
    const QSignalBlocker quiet(typeTree_);
    for (QTreeWidgetItemIterator it(typeTree_); *it; ++it)
        if ((*it)->parent() && CountOf(*it).shown > 0) {
            typeTree_->setCurrentItem(*it);
            return;
        }
}

void ResultsView::ShowByFolder(bool byFolder) {
    {
        const QSignalBlocker quiet(byType_);
        byType_->setChecked(!byFolder);
        byFolder_->setChecked(byFolder);
    }
    trees_->setCurrentWidget(byFolder ? static_cast<QWidget*>(folderTree_) : typeTree_);
    ListCurrentNode();
}

}  // namespace kestrune::ui
