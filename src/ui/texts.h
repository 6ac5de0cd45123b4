// The program's texts as Qt strings: messages by id, control texts by control name, and
// the printf-style patterns of the language files filled in safely.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace kestrune::ui {

// A message by id ("MSG0701") in the current language.
QString Msg(const char* id);
// The text of key in section ("MainWnd", "BtnScan").
QString Text(const char* section, const char* key);

// Fills the "%s", "%d", "%c" and "%%" of a language text with args in order. A pattern
// with fewer places than args gets the rest appended after a space, so that a translated
// text that lost a place still shows the figure; a place without an arg stays empty.
QString FormatText(const QString& pattern, const QStringList& args);

// Sets the text of every control below root whose object name is a key of section:
// labels, buttons, check boxes, group boxes and actions. Returns how many were set.
int ApplyTexts(QWidget* root, const char* section);

// Size and duration texts, as the rest of the program writes them.
QString SizeText(quint64 bytes);
QString DurationText(quint64 seconds);
// Puts Qt's own texts (its dialogs' buttons and titles) and the number and date formats
// in the program's language; called at start and whenever the language changes.
void UseLanguageForQt();

}  // namespace kestrune::ui

// The style sheet and images, compiled into the library.
void InitSkinResources();
