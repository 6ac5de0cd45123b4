// kestrune-gui: the desktop program. One per user: a second start hands its image files
// to the running one and exits.
#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include "app/language_table.h"
#include "ui/main_wnd.h"
#include "ui/message_box.h"
#include "ui/single_instance.h"
#include "ui/texts.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("kestrune-gui");
    QApplication::setApplicationDisplayName("Kestrune Halvardine");
    // The installed desktop entry, so that the desktop shows the program's own icon.
    QApplication::setDesktopFileName("org.kestrune.Halvardine");
    InitSkinResources();
    QFile style(":/skin/skin.qss");
    if (style.open(QIODevice::ReadOnly)) app.setStyleSheet(QString::fromUtf8(style.readAll()));

    // Which program this is and where it takes its texts from: what an installation is
    // checked with.
    if (app.arguments().contains("--version")) {
        const auto& table = kestrune::LanguageTable::Instance();
        std::printf("kestrune-gui %s\nsettings: %s\nlanguage: %s (%s)\n", KESTRUNE_VERSION,
                    table.SettingsPath().c_str(), table.CurrentLanguage().c_str(),
                    kestrune::ui::Text("MainWnd", "BtnRecover").toUtf8().constData());
        return 0;
    }

    QStringList images;
    for (const QString& argument : app.arguments().mid(1)) images << QFileInfo(argument).absoluteFilePath();

    // Tests run their own instances side by side with a name of their own.
    kestrune::ui::SingleInstance instance(qEnvironmentVariable("KESTRUNE_INSTANCE_NAME", "kestrune-gui"));
    switch (instance.Claim(images)) {
        case kestrune::ui::SingleInstance::Outcome::Handed: return 0;
        case kestrune::ui::SingleInstance::Outcome::NoAnswer:
            kestrune::ui::MessageBox::Show(kestrune::ui::MessageBox::Information, nullptr,
                                           kestrune::ui::Text("MainWnd", "TxtAlreadyRunning"));
            return 0;
        case kestrune::ui::SingleInstance::Outcome::First: break;
    }

    kestrune::ui::MainWnd window;
    QObject::connect(&instance, &kestrune::ui::SingleInstance::activationRequested, &window,
                     [&window](const QStringList& more) {
                         window.ShowAgain();
                         if (!more.isEmpty()) window.LoadImages(more);
                     });
    window.show();
    if (!images.isEmpty()) window.LoadImages(images);
    return app.exec();
}
