#include "ui/texts.h"

#include <QAbstractButton>
#include <QAction>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QWidget>
#include <map>

#include "app/language_table.h"
#include "base/display_text.h"
#include "scanlog/file_types.h"

namespace kestrune::ui {

QString Msg(const char* id) { return QString::fromStdString(LanguageTable::Instance().Message(id)); }

QString Text(const char* section, const char* key) {
    const LanguageTable& table = LanguageTable::Instance();
    return QString::fromStdString(LanguageTable::GetText(table.GetSection(section), key));
}

QString FormatText(const QString& pattern, const QStringList& args) {
    QString out;
    out.reserve(pattern.size() + 32);
    qsizetype next = 0;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c != u'%' || i + 1 >= pattern.size()) {
            out += c;
            continue;
        }
        const QChar kind = pattern[i + 1];
        if (kind == u'%') {
            out += u'%';
            ++i;
        } else if (kind == u's' || kind == u'd' || kind == u'c' || kind == u'u') {
            if (next < args.size()) out += args[next];
            ++next;
            ++i;
        } else {
            out += c;
        }
    }
    for (; next < args.size(); ++next) out += u' ' + args[next];
    return out;
}

int ApplyTexts(QWidget* root, const char* section) {
    const auto& texts = LanguageTable::Instance().GetSection(section);
    int applied = 0;
    for (const auto& [key, value] : texts) {
        const QString name = QString::fromStdString(key);
        const QString text = QString::fromStdString(value);
        if (root->objectName() == name) {
            root->setWindowTitle(text);
            ++applied;
        }
        for (QObject* object : root->findChildren<QObject*>(name)) {
            if (auto* button = qobject_cast<QAbstractButton*>(object)) button->setText(text);
            else if (auto* label = qobject_cast<QLabel*>(object)) label->setText(text);
            else if (auto* group = qobject_cast<QGroupBox*>(object)) group->setTitle(text);
            else if (auto* action = qobject_cast<QAction*>(object)) action->setText(text);
            else continue;
            ++applied;
        }
    }
    return applied;
}

QString SizeText(quint64 bytes) {
    // The same units as the command line's, with the decimal mark of the user's locale.
    static constexpr std::pair<quint64, const char*> kUnits[] = {
        {1ULL << 40, "TB"}, {1ULL << 30, "GB"}, {1ULL << 20, "MB"}, {1ULL << 10, "KB"}};
    for (const auto& [size, name] : kUnits)
        if (bytes >= size)
            return QLocale().toString(static_cast<double>(bytes) / static_cast<double>(size), 'f', 2) + u' ' + name;
    return QString::fromStdString(FormatSize(bytes));
}
QString DurationText(quint64 seconds) {
    if (seconds >= 3600)
        return FormatText(Text("MainWnd", "TxtHoursMinutes"), {QString::number(seconds / 3600), QString::number(seconds % 3600 / 60)});
    if (seconds >= 60)
        return FormatText(Text("MainWnd", "TxtMinutesSeconds"), {QString::number(seconds / 60), QString::number(seconds % 60)});
    return FormatText(Text("MainWnd", "TxtSeconds"), {QString::number(seconds)});
}

void UseLanguageForQt() {
    // The language files are named in English; Qt knows languages by their codes.
    static const std::map<std::string, QString> kCodes = {
        {"English", "en"}, {"German", "de"}, {"French", "fr"}, {"Spanish", "es"}};
    const auto code = kCodes.find(LanguageTable::Instance().CurrentLanguage());
    const QLocale locale(code == kCodes.end() ? QStringLiteral("en") : code->second);
    QLocale::setDefault(locale);
    static QTranslator* translator = nullptr;
    if (translator) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
        translator = nullptr;
    }
    if (locale.language() == QLocale::English) return;
    auto* loaded = new QTranslator;
    // qtbase_xx holds the texts of the standard dialogs (Qt's translations package).
    if (loaded->load(locale, "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(loaded);
        translator = loaded;
    } else {
        delete loaded;
    }
}

}  // namespace kestrune::ui

void InitSkinResources() { Q_INIT_RESOURCE(skin); }
