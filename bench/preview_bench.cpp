// How long a preview takes to reach the screen: from choosing the file to the first paint
// of the pane showing it, for a 20 MB JPEG photo and for the first page of a 2,000-page
// PDF. Both are made here (ImageMagick; the PDF written directly), put on a FAT32 image
// (mkfs.fat, mtools), deleted, found by a quick scan and previewed like any found file,
// so the figures hold the copy out of the image, the helper's decoding and the painting.
// Run with QT_QPA_PLATFORM=offscreen and the helper beside this program; prints one line
// per figure (the median of five runs) and, apart, the helper's own decoding time.
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

#include "base/result_codes.h"
#include "paint_watch.h"
#include "session/search_pattern.h"
#include "ui/preview_decoder.h"
#include "ui/preview_kind.h"
#include "ui/preview_pane.h"
#include "ui/target.h"

using namespace kestrune;

namespace {

using bench::PaintWatch;

bool Run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(600000) && process.exitCode() == 0;
}

// A PDF of pages pages, each with a line of text: objects 1 catalogue, 2 page tree, 3 font,
// then a page and its content stream per page.
void WritePdf(const QString& path, int pages) {
    std::string body = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    auto object = [&](const std::string& text) {
        offsets.push_back(body.size());
        body += std::to_string(offsets.size()) + " 0 obj\n" + text + "\nendobj\n";
    };
    object("<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (int i = 0; i < pages; ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
    object("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>");
    object("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    for (int i = 0; i < pages; ++i) {
        object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 3 0 R >> >> "
               "/Contents " + std::to_string(5 + 2 * i) + " 0 R >>");
        const std::string stream = "BT /F1 24 Tf 72 720 Td (Page " + std::to_string(i + 1) + " of the report) Tj ET";
        object("<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "\nendstream");
    }
    const size_t xref = body.size();
    char line[32];
    body += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        body += line;
    }
    body += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
            std::to_string(xref) + "\n%%EOF\n";
    std::ofstream(path.toStdString(), std::ios::binary) << body;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QTemporaryDir work;
    qputenv("KESTRUNE_DATA_HOME", (work.path() + "/store").toUtf8());
    const QString photo = work.path() + "/big.jpg", pdf = work.path() + "/big.pdf", image = work.path() + "/bench.img";
    // Noise keeps the JPEG large: about 20 MB at this size and quality (29 megapixels).
    if (!Run("convert", {"-size", "6200x4650", "xc:gray", "+noise", "Random", "-quality", "90", photo})) {
        std::fprintf(stderr, "preview_bench: ImageMagick's convert is needed\n");
        return 1;
    }
    WritePdf(pdf, 2000);
    qputenv("MTOOLS_SKIP_CHECK", "1");
    if (!Run("mkfs.fat", {"-C", "-F", "32", image, "98304"}) || !Run("mcopy", {"-i", image, photo, "::/holiday-photo-large.jpg"}) ||
        !Run("mcopy", {"-i", image, pdf, "::/annual-report-2000-pages.pdf"}) || !Run("mdel", {"-i", image, "::/holiday-photo-large.jpg", "::/annual-report-2000-pages.pdf"})) {
        std::fprintf(stderr, "preview_bench: mkfs.fat and mtools are needed\n");
        return 1;
    }
    std::printf("photo %.1f MB, PDF %.1f MB with 2000 pages\n", QFileInfo(photo).size() / 1e6, QFileInfo(pdf).size() / 1e6);

    ui::Target target;
    std::string error;
    if (ResolveScanSource(image.toStdString(), 0, target.source, error) != kOk) return 1;
    target.run = std::make_unique<ScanRun>(target.source, ScanMode::Quick);
    ui::TargetFindings found;
    found.target = &target;
    if (target.run->Start() != kOk || target.run->Search(SearchPatternFor({}, {}, error), found.records) != kOk) {
        std::fprintf(stderr, "preview_bench: the scan of the image failed\n");
        return 1;
    }
    found.folders.resize(found.records.size());

    QWidget window;
    auto* splitter = new QSplitter(&window);
    auto* edit = new QTextBrowser;
    splitter->addWidget(edit);
    splitter->resize(800, 500);
    window.resize(800, 500);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) std::fprintf(stderr, "preview_bench: the window never showed\n");
    ui::PreviewPane pane(edit, &window);
    pane.SetWindowDelay(60000);
    PaintWatch watch;
    edit->viewport()->installEventFilter(&watch);

    for (const char* name : {"holiday-photo-large.jpg", "annual-report-2000-pages.pdf"}) {
        uint32_t index = 0;
        while (index < found.records.size() && RecordName(found.records[index]) != name) ++index;
        if (index == found.records.size()) {
            std::fprintf(stderr, "preview_bench: the scan did not find %s\n", name);
            return 1;
        }
        std::vector<double> times;
        for (int round = 0; round < 5; ++round) {
            pane.Clear();
            QTest::qWait(50);
            QSignalSpy shown(&pane, &ui::PreviewPane::shown);
            QElapsedTimer clock;
            clock.start();
            pane.Show(found, index);
            if (!shown.wait(120000)) {
                std::fprintf(stderr, "preview_bench: %s was never shown\n", name);
                return 1;
            }
            const int before = watch.paints;
            for (QElapsedTimer waited; waited.isValid() ? waited.elapsed() < 5000 : (waited.start(), true);) {
                if (watch.paints != before) break;
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            }
            times.push_back(clock.nsecsElapsed() / 1e6);
            if (pane.content() != ui::PreviewPane::Content::Picture) std::fprintf(stderr, "%s: no picture shown\n", name);
        }
        std::sort(times.begin(), times.end());
        std::printf("%s: choice to first paint %.0f ms (median of 5; fastest %.0f, slowest %.0f)\n", name, times[2],
                    times.front(), times.back());
    }
    // The helper alone on the same files, for the share of the decoding.
    for (const auto& [mode, file] : {std::pair{"picture", photo}, std::pair{"pdf", pdf}}) {
        QElapsedTimer clock;
        clock.start();
        Run(ui::PreviewDecoder::HelperPath(), {mode, file, "790", "490"});
        std::printf("helper %s alone: %.0f ms\n", mode, clock.nsecsElapsed() / 1e6);
    }
    // The raw view of a whole extraction buffer (a file of no known kind, 20 MiB in memory):
    // building the text and laying it out in the pane, on the UI thread.
    {
        QByteArray bytes(20 << 20, 'a');
        for (qsizetype i = 0; i < bytes.size(); i += 97) bytes[i] = char(i % 251);
        QTextBrowser raw;
        raw.resize(790, 490);
        raw.show();
        QElapsedTimer clock;
        clock.start();
        raw.setPlainText(ui::RawText(bytes));
        const double set = clock.nsecsElapsed() / 1e6;
        QCoreApplication::processEvents();
        std::printf("raw view of 20 MiB: text set in %.0f ms, shown after %.0f ms\n", set, clock.nsecsElapsed() / 1e6);
    }
    return 0;
}
