// The assistance menu under the caption band's menu button: help, languages, questions,
// about, support, exit.
#pragma once

#include <QDialog>
#include <QMenu>
#include <QPointer>

namespace kestrune::ui {

class AssistMenu : public QMenu {
    Q_OBJECT
public:
    explicit AssistMenu(QWidget* owner);
    // Rebuilds the items with the current language's texts and its mark.
    void Rebuild();
    QMenu* languageMenu() const { return languages_; }
    // Opens the link of the settings' [Links] key: the user guide inside the program, a web
    // address in the browser (or, without one, says the address).
    void OpenLink(const char* key);

signals:
    // The user picked a language (its key in the settings); the table is already switched.
    void languageChanged();
    void exitRequested();

private:
    QMenu* languages_ = nullptr;
    QPointer<QDialog> guide_;
};

}  // namespace kestrune::ui
