// How the results page copes with a million found files: the time from handing it the
// search's findings to the file list's first painted rows, and the time of one tick-all.
// Run with QT_QPA_PLATFORM=offscreen; prints one line per figure.
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QTreeView>
#include <QTreeWidget>
#include <cstdio>

#include "ui/filter_bar.h"
#include "ui/found_files.h"
#include "ui/result_index.h"
#include "ui/main_wnd.h"
#include "ui/target.h"
#include "ui/texts.h"
#include "paint_watch.h"

using namespace kestrune;

namespace {

using bench::PaintWatch;

ui::Findings MillionFindings(ui::Target* target, size_t count) {
    static const char* names[] = {"IMG_%06zu.jpg", "DSC%06zu.JPG", "song%06zu.mp3", "clip%06zu.mp4",
                                  "report%06zu.pdf", "archive%06zu.zip", "data%06zu.bin", "notes%06zu.txt"};
    ui::TargetFindings found;
    found.target = target;
    found.records.resize(count);
    found.folders.resize(count);
    // A camera card's layout: a folder per thousand files.
    for (size_t i = 0; i < count; ++i) {
        ScanRecord& r = found.records[i];
        r = ScanRecord{};
        r.fileSize = 1000 + i * 37 % 5000000;
        r.writeTime = 131000000000000000ULL + i * 10000000ULL;
        r.createTime = r.writeTime;
        char name[64];
        std::snprintf(name, sizeof name, names[i % 8], i);
        SetRecordName(r, name);
        found.folders[i] = QString("DCIM/%1CANON/").arg(100 + i / 1000);
    }
    ui::Findings findings;
    findings.push_back(std::move(found));
    return findings;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    ui::MainWnd window;
    window.show();
    QApplication::processEvents();
    ui::Target target;
    target.isImage = true;
    target.imagePath = "bench.img";
    ui::Findings findings = MillionFindings(&target, count);

    auto* list = window.findChild<QTreeView*>("FileList");
    PaintWatch watch;
    list->viewport()->installEventFilter(&watch);
    QElapsedTimer clock;
    clock.start();
    // The search's worker files the results by type and folder before it hands them over.
    ui::ResultIndex index = ui::IndexFindings(findings);
    std::printf("results %zu: filed by type and folder on the worker in %.1f ms\n", count, clock.nsecsElapsed() / 1e6);
    clock.restart();
    window.ShowFindings(std::move(findings), std::move(index));
    const int before = watch.paints;
    while (watch.paints == before) QApplication::processEvents(QEventLoop::AllEvents, 5);
    std::printf("results %zu: first painted page %.1f ms after they reach the UI thread\n", count, clock.nsecsElapsed() / 1e6);

    auto* tree = window.findChild<QTreeWidget*>("TypeTree");
    auto* all = window.findChild<QCheckBox*>("ChkAllListSel");
    // List each top node (the biggest: the photo group, a quarter of the files).
    double listMs = 0, slowestList = 0;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        clock.restart();
        tree->setCurrentItem(tree->topLevelItem(i));
        QApplication::processEvents();
        const double ms = clock.nsecsElapsed() / 1e6;
        listMs += ms;
        slowestList = std::max(slowestList, ms);
    }
    std::printf("listing the six groups in turn: %.1f ms in all, slowest %.1f ms\n", listMs, slowestList);

    tree->setCurrentItem(tree->topLevelItem(0));
    QApplication::processEvents();
    auto* header = list->header();
    clock.restart();
    emit header->sectionClicked(1);  // by size, largest first
    QApplication::processEvents();
    std::printf("sorting %d rows by size: %.1f ms\n", list->model()->rowCount(), clock.nsecsElapsed() / 1e6);

    // Tick every file: the whole type tree, node by node, as a user would.
    double tickMs = 0, slowest = 0;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        tree->setCurrentItem(tree->topLevelItem(i));
        QApplication::processEvents();
        clock.restart();
        all->click();
        QApplication::processEvents();
        const double ms = clock.nsecsElapsed() / 1e6;
        tickMs += ms;
        slowest = std::max(slowest, ms);
    }
    std::printf("tick-all of %zu files over six nodes: %.1f ms in all, slowest node %.1f ms; ticked %zu\n", count,
                tickMs, slowest, window.ticked().size());

    // A filter typed in the bar: every count and list follows it.
    auto* name = window.findChild<QLineEdit*>("FilterName");
    auto* bar = window.findChild<ui::FilterBar*>();
    bool reported = false;
    QObject::connect(bar, &ui::FilterBar::changed, [&] { reported = true; });
    name->setText("IMG_00");
    while (!reported) QApplication::processEvents(QEventLoop::AllEvents, 5);
    // The bar reported once; report again, timed, as the pause would.
    clock.restart();
    emit bar->changed();
    QApplication::processEvents();
    std::printf("filter \"IMG_00\" over %zu files: %.1f ms once the typing paused; photo group now %s\n", count,
                clock.nsecsElapsed() / 1e6, qPrintable(tree->topLevelItem(0)->text(0)));
    return 0;
}
