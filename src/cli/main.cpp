// kestrune: the command-line front end.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/exit_codes.h"
#include "cli/probe_command.h"

int main(int argc, char** argv) {
    using namespace kestrune::cli;
    CLI::App app{"kestrune: finds deleted and lost files on disks, partitions and disk images.\n"
                 "It only ever reads the source; recovered files go to the folder you name."};
    app.set_version_flag("--version", std::string("kestrune ") + KESTRUNE_VERSION);
    app.require_subcommand(1);

    std::string probeSource;
    auto* probe = app.add_subcommand(
        "probe", "Tell which file system an area holds (NTFS, FAT, ext or other) and its geometry");
    probe->add_option("SOURCE", probeSource,
                      "An image file, a block device (/dev/sdb, /dev/sdb1) or disk:N[:START:COUNT]")
        ->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    if (*probe) return RunProbe(probeSource, std::cout, std::cerr);
    return kExitUsage;
}
