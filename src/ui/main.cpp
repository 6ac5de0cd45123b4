// kestrune-gui: the desktop program. One per user: a second start hands its image files
// to the running one and exits.
#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "app/language_table.h"
#include "ui/main_wnd.h"
#include "ui/message_box.h"
#include "ui/single_instance.h"
#include "ui/texts.h"

namespace {

constexpr const char* kUsage =
    "Usage: kestrune-gui [IMAGE...]\n"
    "The desktop program of Kestrune Halvardine: finds deleted and lost files on disks,\n"
    "partitions and disk images, shows them, and copies the chosen ones into a folder.\n"
    "It only ever reads the disk it scans.\n"
    "\n"
    "  IMAGE       a disk image to open as a disk (raw, split, E01, VHD, VHDX, VMDK, QCOW2)\n"
    "  --help      print this and exit\n"
    "  --version   print the version, the settings file and the language, and exit\n"
    "\n"
    "The command kestrune does the same from a terminal: see kestrune(1).\n";

// Qt's own options, which it takes with one dash or two.
bool IsQtOption(std::string_view option) {
    static constexpr std::string_view kOptions[] = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                                    "qwindowgeometry", "qwindowicon", "qwindowtitle", "reverse",
                                                    "session", "style", "stylesheet", "widgetcount", "display",
                                                    "geometry", "name", "title", "nograb", "dograb", "sync"};
    option.remove_prefix(2);
    return std::find(std::begin(kOptions), std::end(kOptions), option.substr(0, option.find('='))) != std::end(kOptions);
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before any window system is needed: a terminal without a display asks too.
    // An option this program does not know is not taken for the name of an image.
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument.starts_with("--") && argument != "--version" && !IsQtOption(argument)) {
            std::fprintf(stderr, "kestrune-gui: unknown option %s\n\n%s", argv[i], kUsage);
            return 2;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("kestrune-gui");
    QApplication::setApplicationDisplayName("Kestrune Halvardine");
    // The installed desktop entry, so that the desktop shows the program's own icon.
    QApplication::setDesktopFileName("org.kestrune.Halvardine");
    InitSkinResources();
    kestrune::ui::UseLanguageForQt();
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
