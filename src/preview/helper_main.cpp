// kestrune-preview: decodes one found file for the desktop program's preview, in a
// process of its own, so that a decoder that crashes or hangs on damaged data takes
// nothing with it but this process (the program ends it after a time limit).
//   kestrune-preview picture|pdf|archive|office FILE|- [WIDTH HEIGHT]
// "-" reads the file's bytes from standard input. The result goes to standard output
// (helper_protocol.h).
#include <sys/resource.h>
#include <unistd.h>

#include <QFile>
#include <QGuiApplication>
#include <cstdio>
#include <thread>

#include "preview/decoders.h"
#include "preview/helper_protocol.h"
#include "preview/office_text.h"

using namespace kestrune::preview;

namespace {

// Bytes read from standard input, and office files read whole, at most.
constexpr qint64 kMaxInput = 256 << 20;

void LimitMemory() {
#if !defined(__SANITIZE_ADDRESS__)
    // A decoder fed a bomb fails here instead of driving the machine into swap.
    const rlimit limit{4ull << 30, 4ull << 30};
    setrlimit(RLIMIT_AS, &limit);
#endif
}

bool ReadInput(const QString& argument, HelperInput& input) {
    if (argument != "-") {
        input.path = argument;
        return QFile::exists(argument);
    }
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) return false;
    input.bytes = in.read(kMaxInput);
    return true;
}

int Write(const QByteArray& out) {
    qint64 done = 0;
    while (done < out.size()) {
        const ssize_t wrote = ::write(STDOUT_FILENO, out.constData() + done, size_t(out.size() - done));
        if (wrote <= 0) return 1;
        done += wrote;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    LimitMemory();
    // Pictures and pages are drawn off screen: no display is needed or wanted.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fputs("usage: kestrune-preview picture|pdf|archive|office FILE|- [WIDTH HEIGHT]\n", stderr);
        return 2;
    }
    // Lets the tests stand in for a decoder that never returns.
    if (qEnvironmentVariableIsSet("KESTRUNE_PREVIEW_TEST_HANG")) std::this_thread::sleep_for(std::chrono::hours(1));
    const QString mode = args[1];
    QSize fit;
    if (args.size() >= 5) fit = QSize(args[3].toInt(), args[4].toInt());
    if (!fit.isValid() || fit.isEmpty()) fit = QSize(800, 600);
    fit = fit.boundedTo(QSize(kMaxHelperSide, kMaxHelperSide));
    HelperInput input;
    if (!ReadInput(args[2], input)) return Write(EncodeFailed());
    if (mode == "picture") return Write(DecodePicture(input, fit));
    if (mode == "pdf") return Write(RenderFirstPdfPage(input, fit));
    if (mode == "archive") return Write(ListArchive(input));
    if (mode == "office") return Write(OfficeDocumentText(input));
    return 2;
}
