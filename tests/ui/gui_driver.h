// Driving the desktop program as a person would: wait for a window to show, press its
// buttons, answer its boxes and dialogs.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>

#include "ui/texts.h"

namespace kestrune::test {

// The modal window on top, when it has the object name (or any when name is empty).
inline QWidget* ModalNamed(const QString& name) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && (name.isEmpty() || modal->objectName() == name)) return modal;
    return nullptr;
}

// The owner of every action still waiting for its window: a test's cleanup drops them, so
// that an answer meant for one test never reaches a box of the next.
inline QObject& PendingActions() {
    static QObject* owner = new QObject;
    return *owner;
}
inline void DropPendingActions() {
    for (QObject* child : PendingActions().children()) delete child;
}

// Calls action with the modal window named name once it shows (polling the event loop),
// for windows that open inside an exec() the test itself started.
inline void WhenShown(const QString& name, std::function<void(QWidget*)> action, int timeoutMs = 60000) {
    auto* timer = new QTimer(&PendingActions());
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        QWidget* modal = ModalNamed(name);
        if (!modal && clock->elapsed() < timeoutMs) return;
        timer->stop();
        timer->setParent(nullptr);
        timer->deleteLater();
        if (modal) action(modal);
    });
    timer->start(20);
}

inline void Click(QWidget* window, const char* button) {
    auto* target = window->findChild<QAbstractButton*>(button);
    QVERIFY2(target, button);
    QVERIFY2(target->isVisible() && target->isEnabled(), button);
    QTest::mouseClick(target, Qt::LeftButton);
}

// Answers the next message box by pressing one of its buttons ("okbtn", "cancelbtn").
inline void AnswerBox(const char* button, QString* text = nullptr) {
    WhenShown("MessageBox", [button, text](QWidget* box) {
        if (text) *text = box->findChild<QWidget*>("message")->property("text").toString();
        Click(box, button);
    });
}

// Answers the next message box as a user reads it: by the button labelled label, then
// runs then (to act on what comes after the box). A box without that button is closed,
// and text (when given) says so instead of the message.
inline void AnswerBoxWith(const QString& label, QString* text = nullptr, std::function<void()> then = {}) {
    WhenShown("MessageBox", [label, text, then](QWidget* box) {
        if (text) *text = box->findChild<QWidget*>("message")->property("text").toString();
        for (auto* button : box->findChildren<QPushButton*>())
            if (button->isVisible() && button->text() == label) {
                button->click();
                if (then) then();
                return;
            }
        if (text) *text = "no button \"" + label + "\"";
        qobject_cast<QDialog*>(box)->reject();
    });
}

// Runs the event loop until condition holds (false after the time is up).
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 60000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs) return false;
        QTest::qWait(20);
    }
    return true;
}

// Chooses path in an open file dialog and accepts it, typing it whole into the name field
// as a person would. Choosing it through the dialog's selection is not reliable: the
// dialog reads folders in the background and may put its default name back when it is
// done.
inline void SelectAndAccept(QFileDialog* dialog, const QString& path) {
    const QString wanted = QFileInfo(path).absoluteFilePath();
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(WaitFor([&] {
        if (name) name->setText(path);
        else dialog->selectFile(path);
        return dialog->selectedFiles() == QStringList{wanted};
    }, 10000));
    static_cast<QDialog*>(dialog)->accept();
}

// Chooses path in the next file dialog named name.
inline void ChooseFile(const QString& name, const QString& path) {
    WhenShown(name, [path](QWidget* window) {
        if (auto* dialog = qobject_cast<QFileDialog*>(window)) SelectAndAccept(dialog, path);
    });
}

// Scans, settings and the single-instance socket of a test go to folder, never to those of
// the user running it; the windows' images are loaded.
inline void KeepAwayFromTheUser(const std::filesystem::path& folder) {
    qputenv("KESTRUNE_DATA_HOME", QByteArray::fromStdString(folder.string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((folder / "config").string()));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(folder.string()));
    InitSkinResources();
}

}  // namespace kestrune::test
