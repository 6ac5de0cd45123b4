#include "ui/assist_menu.h"

#include <QActionGroup>
#include <QDesktopServices>
#include <QUrl>

#include "app/language_table.h"
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
    const QString link = QString::fromStdString(LanguageTable::Instance().LinkUrl(key));
    if (!link.isEmpty()) QDesktopServices::openUrl(QUrl(link));
}

}  // namespace kestrune::ui
