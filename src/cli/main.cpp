// kestrune: the command-line front end.
#include <csignal>
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/exit_codes.h"
#include "cli/disks_command.h"
#include "cli/list_command.h"
#include "cli/probe_command.h"
#include "cli/partitions_command.h"
#include "cli/scan_command.h"

int main(int argc, char** argv) {
    using namespace kestrune::cli;
    // A destination's file-size limit must fail the one write that reaches it (and be
    // reported), not end the program in the middle of a recovery or an image.
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app{"kestrune: finds deleted and lost files on disks, partitions and disk images.\n"
                 "It only ever reads the source; recovered files go to the folder you name."};
    app.set_version_flag("--version", std::string("kestrune ") + KESTRUNE_VERSION);
    app.require_subcommand(1);

    std::string probeSource;
    auto* probe = app.add_subcommand(
        "probe", "Tell which file system an area holds (NTFS, FAT, ext or other) and its geometry");
    std::string probeKeyFile;
    probe->add_option("--key-file", probeKeyFile,
                      "The passphrase of an encrypted (LUKS) volume, in this file: what it holds is told");
    probe->add_option("SOURCE", probeSource,
                      "An image file, a block device (/dev/sdb, /dev/sdb1) or disk:N[:START:COUNT]")
        ->required();

    const std::string sourceHelp =
        "An image file, a block device (/dev/sdb, /dev/sdb1) or disk:N[:START:COUNT]";
    ScanOptions scanOptions;
    auto* scan = app.add_subcommand("scan", "Scan a source and store what it finds; prints a summary");
    scan->add_option("--mode", scanOptions.mode, "quick (deleted files), formatted or deep")
        ->check(CLI::IsMember({"quick", "formatted", "deep"}));
    scan->add_flag("--json", scanOptions.json, "Print one JSON object per found file");
    scan->add_option("--partition", scanOptions.partition, "Only this partition of a partitioned image");
    scan->add_flag("--resume", scanOptions.resume, "Continue a stored formatted or deep pass without asking");
    scan->add_flag("--restart", scanOptions.restart, "Start a formatted or deep pass afresh without asking");
    scan->add_flag("--all", scanOptions.existing,
                   "Quick scan: list the files that exist on the volume too, not only deleted ones");
    scan->add_option("--fs", scanOptions.fileSystem,
                     "Quick scan: read the area as this file system (ntfs, fat, exfat, ext) where it holds two");
    scan->add_option("--key-file", scanOptions.keyFile, "The passphrase of an encrypted (LUKS) volume, in this file");
    scan->add_option("SOURCE", scanOptions.source, sourceHelp)->required();

    ScanOptions recoverOptions;
    auto* recover = app.add_subcommand("recover", "Scan a source and copy the files found into a folder");
    recover->add_option("--mode", recoverOptions.mode, "quick (deleted files), formatted or deep")
        ->check(CLI::IsMember({"quick", "formatted", "deep"}));
    recover->add_option("--types", recoverOptions.types, "photo,audio,video,document,archive,other")
        ->delimiter(',');
    recover->add_option("--ext", recoverOptions.extensions, "Extensions to recover, such as jpg,png")
        ->delimiter(',');
    recover->add_option("--partition", recoverOptions.partition, "Only this partition of a partitioned image");
    recover->add_flag("--resume", recoverOptions.resume, "Continue a stored formatted or deep pass without asking");
    recover->add_flag("--restart", recoverOptions.restart, "Start a formatted or deep pass afresh without asking");
    recover->add_flag("--all", recoverOptions.existing,
                      "Quick scan: recover the files that exist on the volume too, not only deleted ones");
    recover->add_option("--fs", recoverOptions.fileSystem,
                        "Quick scan: read the area as this file system (ntfs, fat, exfat, ext) where it holds two");
    recover->add_option("--to", recoverOptions.destination, "Destination folder (never on the source)")
        ->required();
    AddFilterOptions(*recover, recoverOptions.filter);
    recover->add_flag("--dry-run", recoverOptions.dryRun,
                      "Say what would be written, how many bytes, and whether the destination has room; write nothing");
    recover->add_flag("--keep-folders", recoverOptions.keepFolders,
                      "Write each file into the folders it was found in, not into its type's folder");
    recover->add_flag("--json", recoverOptions.json,
                      "Print one JSON object per file written (or not), with the bytes that could not be read");
    recover->add_option("--report", recoverOptions.report,
                        "Also write a DFXML report of what was found and written (with each file's SHA-256) to this file");
    recover->add_option("--key-file", recoverOptions.keyFile, "The passphrase of an encrypted (LUKS) volume, in this file");
    recover->add_option("SOURCE", recoverOptions.source, sourceHelp)->required();

    ListOptions listOptions;
    auto* list = app.add_subcommand("list", "List the findings of a stored scan (the last one by default)");
    list->add_flag("--json", listOptions.json, "Print one JSON object per found file");
    list->add_option("--types", listOptions.types, "photo,audio,video,document,archive,other")->delimiter(',');
    list->add_option("--ext", listOptions.extensions, "Extensions to list, such as jpg,png")->delimiter(',');
    list->add_flag("--all", listOptions.existing,
                   "Also the files that exist on the volume, where the scan listed them (scan --all)");
    AddFilterOptions(*list, listOptions.filter);
    list->add_option("--key-file", listOptions.keyFile, "The passphrase of an encrypted (LUKS) source, in this file");
    list->add_option("SCANFOLDER", listOptions.runFolder, "A scan folder as `kestrune scan` printed it");

    ListOptions reportOptions;
    auto* report = app.add_subcommand(
        "report", "Print the findings of a stored scan as a DFXML report (the format of fiwalk and PhotoRec)");
    report->add_option("--types", reportOptions.types, "photo,audio,video,document,archive,other")->delimiter(',');
    report->add_option("--ext", reportOptions.extensions, "Extensions to report, such as jpg,png")->delimiter(',');
    report->add_flag("--all", reportOptions.existing,
                     "Also the files that exist on the volume, where the scan listed them (scan --all)");
    AddFilterOptions(*report, reportOptions.filter);
    report->add_option("--key-file", reportOptions.keyFile, "The passphrase of an encrypted (LUKS) source, in this file");
    report->add_option("SCANFOLDER", reportOptions.runFolder, "A scan folder as `kestrune scan` printed it");

    auto* scans = app.add_subcommand("scans", "List the stored scans: quick scans, and formatted and deep passes");

    bool disksJson = false;
    auto* disks = app.add_subcommand("disks", "List the disks with their volumes and the gaps between them");
    disks->add_flag("--json", disksJson, "Print the list as JSON");
    std::vector<std::string> diskImages;
    disks->add_option("IMAGE", diskImages, "Image files to list as disks too (partitioned images show their partitions)");

    PartitionsOptions partitionsOptions;
    auto* partitions = app.add_subcommand(
        "partitions", "Search a whole disk for its volumes, in its partition table or lost from it");
    partitions->add_option("SOURCE", partitionsOptions.source, sourceHelp)->required();
    partitions->add_flag("--json", partitionsOptions.json, "Print what was found as JSON");
    partitions->add_option("--sfdisk", partitionsOptions.sfdiskFile,
                           "Write an sfdisk script that restores a table holding the volumes found");
    partitions->add_option("--label", partitionsOptions.label, "The script's table: gpt or dos (default: as the disk had)");

    ImageOptions imageOptions;
    auto* image = app.add_subcommand("image", "Copy a disk, a partition or an image into an image file");
    image->add_option("SOURCE", imageOptions.source, sourceHelp)->required();
    image->add_option("DEST", imageOptions.destination, "The image file to write (never on the source)")->required();
    image->add_option("--partition", imageOptions.partition, "Only this partition of a partitioned image");
    image->add_flag("--skip-bad", imageOptions.skipBad,
                    "Copy a failing disk as GNU ddrescue does: good data first, then the failed areas; "
                    "what stays unreadable is zeros, and DEST.map (ddrescue's mapfile) says where");
    image->add_flag("--resume", imageOptions.resume, "Go on with a copy from its DEST.map (ours or ddrescue's)");
    image->add_option("--retries", imageOptions.retries, "Read the bad sectors again this many times at the end");
    image->add_option("--min-read-rate", imageOptions.minReadRate,
                      "Leave areas read slower than this (bytes a second; k, M, G) for later");

    // The command as typed, for the reports.
    std::string commandLine;
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        const bool plain = !word.empty() && word.find_first_of(" \t'\"\\$`") == std::string::npos;
        commandLine += (i ? " " : "") + (plain ? word : "'" + word + "'");
    }
    recoverOptions.commandLine = reportOptions.commandLine = imageOptions.commandLine = commandLine;

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    if (*probe) return RunProbe(probeSource, probeKeyFile, std::cout, std::cerr);
    if (*scan) return RunScan(scanOptions, std::cout, std::cerr);
    if (*recover) return RunRecover(recoverOptions, std::cout, std::cerr);
    if (*list) return RunList(listOptions, std::cout, std::cerr);
    if (*report) return RunReport(reportOptions, std::cout, std::cerr);
    if (*scans) return RunScans(std::cout);
    if (*partitions) return RunPartitions(partitionsOptions, std::cout, std::cerr);
    if (*disks) return RunDisks(disksJson, diskImages, std::cout);
    if (*image) return RunImage(imageOptions, std::cout, std::cerr);
    return kExitUsage;
}
