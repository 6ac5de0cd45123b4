#include "ui/pop_up_wnd.h"

#include <QKeyEvent>

#include "ui/texts.h"

namespace kestrune::ui {

PopUpWnd::PopUpWnd(QWidget* owner, const char* section) : QDialog(owner), section_(section) {
    setWindowModality(Qt::WindowModal);
}

void PopUpWnd::ApplyWindowTexts() { ApplyTexts(this, section_); }

void PopUpWnd::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter: return;
        case Qt::Key_Escape:
            if (escapeIgnored_) return;
            break;
        default: break;
    }
    QDialog::keyPressEvent(event);
}

// QDialog calls reject for Escape and for the frame's close button.
void PopUpWnd::reject() { CloseRequested(); }

}  // namespace kestrune::ui
