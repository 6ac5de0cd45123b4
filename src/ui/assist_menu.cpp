#include "ui/assist_menu.h"

#include <QActionGroup>
#include <QDesktopServices>
#include <QFileInfo>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QUrl>

#include "app/language_table.h"
#include "ui/message_box.h"
#include "ui/texts.h"

namespace kestrune::ui {

AssistMenu::AssistMenu(QWidget* owner) : QMenu(owner) {
    setObjectName("menu_assist");
    Rebuild();
}

void AssistMenu::Rebuild() {
    clear();
    auto add = [this](const char* name, auto action) {
        QAction* item = addAction(Text("MenuWnd", name));
        item->setObjectName(name);
        connect(item, &QAction::triggered, this, action);
        return item;
    };
    add("item_help", [this] { OpenLink("Help"); });
    languages_ = addMenu(Text("MenuWnd", "item_language"));
    languages_->setObjectName("item_language");
    languages_->menuAction()->setObjectName("item_language");
    auto* group = new QActionGroup(languages_);
    const LanguageTable& table = LanguageTable::Instance();
    for (const auto& [key, name] : table.Languages()) {
        QAction* entry = languages_->addAction(QString::fromStdString(name));
        entry->setObjectName(QString::fromStdString(key));
        entry->setCheckable(true);
        entry->setChecked(key == table.CurrentLanguage());
        group->addAction(entry);
        connect(entry, &QAction::triggered, this, [this, key = key] {
            LanguageTable::Instance().SetLanguage(key);
            emit languageChanged();
        });
    }
    add("item_faq", [this] { OpenLink("FAQ"); });
    addSeparator();
    add("item_about", [this] { OpenLink("About"); });
    add("item_support", [this] { OpenLink("Support"); });
    addSeparator();
    add("item_exit", [this] { emit exitRequested(); });
}

void AssistMenu::OpenLink(const char* key) {
    const QUrl link(QString::fromStdString(LanguageTable::Instance().LinkUrl(key)));
    if (link.isEmpty()) return;
    if (!link.isLocalFile()) {
        // A web address needs a browser; without one the user is given the address.
        if (!QDesktopServices::openUrl(link))
            MessageBox::Show(MessageBox::Information, parentWidget(), FormatText(Text("MenuWnd", "TxtOpenAddress"), {link.toString()}));
        return;
    }
    // The guide ships with the program: it is shown in a window of its own, so that help
    // never depends on a browser being there.
    if (!guide_) {
        guide_ = new QDialog(parentWidget());
        guide_->setObjectName("GuideWnd");
        guide_->setAttribute(Qt::WA_DeleteOnClose);
        auto* text = new QTextBrowser(guide_);
        text->setObjectName("GuideText");
        text->setOpenExternalLinks(true);
        auto* layout = new QVBoxLayout(guide_);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(text);
        guide_->resize(860, 640);
    }
    guide_->setWindowTitle(Text("MenuWnd", "item_help") + " - " + Msg("MSG1209"));
    auto* text = guide_->findChild<QTextBrowser*>("GuideText");
    if (!QFileInfo::exists(link.toLocalFile())) {
        text->setPlainText(FormatText(Text("MenuWnd", "TxtNoGuide"), {link.toLocalFile()}));
    } else {
        text->setSource(QUrl::fromLocalFile(link.toLocalFile()));
        if (link.hasFragment()) text->scrollToAnchor(link.fragment());
    }
    guide_->show();
    guide_->raise();
    guide_->activateWindow();
}

}  // namespace kestrune::ui
