#include "ui/message_box.h"

#include <QKeyEvent>
#include <QPushButton>

#include "ui/texts.h"
#include "ui_message_box.h"

namespace kestrune::ui {

namespace {

struct KindLook {
    const char* titleId;
    const char* icon;
    bool cancel, close;
};

const KindLook& LookOf(int kind) {
    static const KindLook looks[] = {
        {"MSG0401", ":/skin/MessageBox/error.svg", false, false},
        {"MSG0402", ":/skin/MessageBox/confirmation.svg", true, false},
        {"MSG0403", ":/skin/MessageBox/information.svg", false, false},
        {"MSG0405", ":/skin/MessageBox/warning.svg", false, true},
        {"MSG0404", ":/skin/MessageBox/question.svg", true, false},
    };
    return looks[(kind < 0 || kind > 4) ? 0 : kind];
}

}  // namespace

MessageBox::MessageBox(int kind, QWidget* owner, const QString& text)
    : QDialog(owner), ui_(std::make_unique<Ui::MessageBox>()), kind_((kind < 0 || kind > 4) ? Error : kind) {
    ui_->setupUi(this);
    const KindLook& look = LookOf(kind_);
    setProperty("kind", kind_);
    setWindowTitle(Msg(look.titleId));
    ui_->title->setText(Msg(look.titleId));
    ui_->icon->setPixmap(QIcon(look.icon).pixmap(48, 48));
    ui_->message->setText(text);
    ui_->cancelbtn->setVisible(look.cancel);
    ui_->closebtn->setVisible(look.close);
    ApplyTexts(this, "MessageBox");
    connect(ui_->okbtn, &QPushButton::clicked, this, [this] { done(Ok); });
    connect(ui_->cancelbtn, &QPushButton::clicked, this, [this] { done(Cancelled); });
    connect(ui_->closebtn, &QPushButton::clicked, this, [this] { done(Cancelled); });
}

MessageBox::~MessageBox() = default;

int MessageBox::Show(int kind, QWidget* owner, const QString& text) {
    MessageBox box(kind, owner, text);
    return box.exec();
}

int MessageBox::Show(int kind, QWidget* owner, const QString& text, const QString& okText, const QString& cancelText) {
    MessageBox box(kind, owner, text);
    box.ui_->okbtn->setText(okText);
    box.ui_->cancelbtn->setText(cancelText);
    box.ui_->cancelbtn->setVisible(true);
    box.ui_->closebtn->setVisible(false);
    return box.exec();
}

void MessageBox::keyPressEvent(QKeyEvent* event) {
    // Enter does nothing: a box must be answered by its buttons, not by a key held down.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(event);
}

// Escape: a box that offers a way back takes it, so that Escape never carries out the
// action a Confirm or Question box asks about; an OK-only box is just acknowledged.
void MessageBox::reject() { done(LookOf(kind_).cancel || LookOf(kind_).close ? Cancelled : Ok); }

}  // namespace kestrune::ui
