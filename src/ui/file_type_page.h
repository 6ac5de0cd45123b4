// The file-type page: one column per group with an option for each extension, and the
// set of extensions the ticked options register for the search.
#pragma once

#include <QObject>
#include <set>
#include <string>
#include <vector>

class QCheckBox;
class QGroupBox;
class QWidget;

namespace kestrune::ui {

class FileTypePage : public QObject {
    Q_OBJECT
public:
    enum Group { Photo, Audio, Video, Office, Zip, Other, GroupCount };

    // Fills the six group boxes found below page (FileTypePhoto ... FileTypeOther).
    explicit FileTypePage(QWidget* page);

    // Ticks or unticks every option of a group.
    void SetGroup(Group group, bool ticked);
    // The extensions of the ticked options ("other" for any other kind).
    std::set<std::string> Registered() const;
    // The search pattern for them (all groups when none is ticked).
    std::string SearchPattern() const;
    void Retranslate();
    const std::vector<QCheckBox*>& options(Group group) const { return options_[group]; }

signals:
    void changed();

private:
    QGroupBox* boxes_[GroupCount] = {};
    std::vector<QCheckBox*> options_[GroupCount];
};

}  // namespace kestrune::ui
