// The base of every pop-up window: modal over its owner, texts from its language
// section, Enter ignored, Escape closing with 2 unless the window says otherwise.
#pragma once

#include <QDialog>

namespace kestrune::ui {

class PopUpWnd : public QDialog {
    Q_OBJECT
public:
    enum Result { Finished = 1, Closed = 2, Failed = 3 };

    PopUpWnd(QWidget* owner, const char* section);
    const char* section() const { return section_; }
    // Sets the controls' texts from the window's language section again.
    virtual void ApplyWindowTexts();

protected:
    // Progress windows ignore Escape as well: a long operation stops only through its
    // cancel question.
    void SetEscapeIgnored(bool ignored) { escapeIgnored_ = ignored; }
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;
    // What closing the window (its frame's close button, Escape) does: close with 2.
    virtual void CloseRequested() { done(Closed); }

private:
    const char* section_;
    bool escapeIgnored_ = false;
};

}  // namespace kestrune::ui
