// The program's message box: five kinds, each with its title, icon and buttons.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class MessageBox;
}

namespace kestrune::ui {

class MessageBox : public QDialog {
    Q_OBJECT
public:
    enum Kind { Error = 0, Confirm = 1, Information = 2, Warning = 3, Question = 4 };
    enum Result { Ok = 1, Cancelled = 2 };

    // Shows text modally over owner (centred on it) and returns 1 for OK, 2 for cancel or
    // close. A kind outside 0-4 is an Error box.
    static int Show(int kind, QWidget* owner, const QString& text);
    // The same with its two buttons named by what each does ("Stop scan", "Keep scanning"),
    // so that no one has to work out what OK and Cancel mean for this question.
    static int Show(int kind, QWidget* owner, const QString& text, const QString& okText, const QString& cancelText);

    MessageBox(int kind, QWidget* owner, const QString& text);
    ~MessageBox() override;
    int kind() const { return kind_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    std::unique_ptr<Ui::MessageBox> ui_;
    int kind_;
};

}  // namespace kestrune::ui
