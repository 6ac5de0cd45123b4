// The assistance menu under the caption band's menu button: help, languages, questions,
// about, support, exit.
#pragma once

#include <QMenu>

namespace kestrune::ui {

class AssistMenu : public QMenu {
    Q_OBJECT
public:
    explicit AssistMenu(QWidget* owner);
    // Rebuilds the items with the current language's texts and its mark.
    void Rebuild();
    QMenu* languageMenu() const { return languages_; }

signals:
    // The user picked a language (its key in the settings); the table is already switched.
    void languageChanged();
    void exitRequested();

private:
    void OpenLink(const char* key);
    QMenu* languages_ = nullptr;
};

}  // namespace kestrune::ui
