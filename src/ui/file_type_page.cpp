#include "ui/file_type_page.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLayout>
#include <QStringList>

#include "scanlog/file_types.h"
#include "ui/texts.h"

namespace kestrune::ui {

namespace {

constexpr const char* kBoxNames[] = {"FileTypePhoto", "FileTypeAudio", "FileTypeVideo",
                                     "FileTypeOffice", "FileTypeZip", "FileTypeOther"};
constexpr const char* kTitleIds[] = {"MSG0807", "MSG0808", "MSG0809", "MSG0810", "MSG0811", "MSG0812"};

// "*.jpg|*.jpeg" into "jpg", "jpeg"; an extension listed in an earlier group (rm is audio
// before it is video) keeps its first place, so that one option registers it.
std::vector<std::string> ExtensionsOf(std::string_view list, std::set<std::string>& seen) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find('|', at);
        if (end == std::string_view::npos) end = list.size();
        std::string_view item = list.substr(at, end - at);
        if (item.starts_with("*.")) item.remove_prefix(2);
        if (!item.empty() && seen.insert(std::string(item)).second) out.emplace_back(item);
        at = end + 1;
    }
    return out;
}

}  // namespace

FileTypePage::FileTypePage(QWidget* page) : QObject(page) {
    const std::string_view lists[] = {PhotoExtensions, AudioExtensions, VideoExtensions, DocumentExtensions,
                                      ArchiveExtensions};
    std::set<std::string> seen;
    for (int group = 0; group < GroupCount; ++group) {
        boxes_[group] = page->findChild<QGroupBox*>(kBoxNames[group]);
        if (!boxes_[group]) continue;
        std::vector<std::string> extensions;
        if (group == Other) extensions = {"other"};
        else extensions = ExtensionsOf(lists[group], seen);
        for (const std::string& extension : extensions) {
            auto* option = new QCheckBox(boxes_[group]);
            option->setProperty("userdata", QString::fromStdString(extension));
            if (group == Other) option->setObjectName("OptOtherFileItem");
            else option->setText(QString::fromStdString(extension).toUpper());
            option->setChecked(true);
            boxes_[group]->layout()->addWidget(option);
            connect(option, &QCheckBox::toggled, this, &FileTypePage::changed);
            options_[group].push_back(option);
        }
        static_cast<QVBoxLayout*>(boxes_[group]->layout())->addStretch(1);
    }
    Retranslate();
}

void FileTypePage::Retranslate() {
    for (int group = 0; group < GroupCount; ++group) {
        if (boxes_[group]) boxes_[group]->setTitle(Msg(kTitleIds[group]));
        if (group == Other)
            for (QCheckBox* option : options_[group]) option->setText(Text("MainWnd", "OptOtherFileItem"));
    }
}

void FileTypePage::SetGroup(Group group, bool ticked) {
    for (QCheckBox* option : options_[group]) {
        const QSignalBlocker quiet(option);
        option->setChecked(ticked);
    }
    emit changed();
}

std::set<std::string> FileTypePage::Registered() const {
    std::set<std::string> registered;
    for (const auto& group : options_)
        for (const QCheckBox* option : group)
            if (option->isChecked()) registered.insert(option->property("userdata").toString().toStdString());
    return registered;
}

std::string FileTypePage::SearchPattern() const { return BuildSearchPattern(Registered()); }

}  // namespace kestrune::ui
