# Debian packages made by `cpack -G DEB` in the build folder: "kestrune" (the command, its
# settings, texts and guide) and "kestrune-gui" (the desktop program), so that the command
# installs without the desktop's libraries. dpkg-shlibdeps works out what each needs.
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VENDOR "Kestrune Halvardine")
set(CPACK_PACKAGE_CONTACT "Kestrune Halvardine developers <dev@kestrune.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://kestrune.org/")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli gui)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME kestrune)
# CPack indents the lines after the first and turns an empty line into " .".
set(CPACK_COMPONENT_CLI_DESCRIPTION "find deleted and lost files on disks and disk images
Kestrune Halvardine reads raw disks, partitions and disk image files, finds
deleted files with their names and folders on NTFS, FAT, exFAT and ext2/3/4
volumes, finds the files of formatted volumes, carves files by their content,
and copies the chosen files into a folder. It never writes to the disk it
reads.

This package holds the command-line program, kestrune.")
# A disk's health is asked of UDisks2; smartctl answers where it is absent.
set(CPACK_DEBIAN_CLI_PACKAGE_RECOMMENDS "smartmontools")
set(CPACK_DEBIAN_GUI_PACKAGE_NAME kestrune-gui)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "kestrune (= ${PROJECT_VERSION}-1)")
# Qt's own dialogs in the user's language.
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_COMPONENT_GUI_DESCRIPTION "find deleted and lost files on disks (desktop program)
Kestrune Halvardine reads raw disks, partitions and disk image files, finds
deleted files with their names and folders on NTFS, FAT, exFAT and ext2/3/4
volumes, finds the files of formatted volumes, carves files by their content,
previews what it found and copies the chosen files into a folder. It never
writes to the disk it reads.

This package holds the desktop program, kestrune-gui.")

# What Debian asks of every package: its copyright and its changelog, compressed.
foreach(component cli gui)
    set(package kestrune)
    if(component STREQUAL gui)
        set(package kestrune-gui)
    endif()
    set(docs ${CMAKE_BINARY_DIR}/packaging/${package})
    file(MAKE_DIRECTORY ${docs})
    execute_process(COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/packaging/changelog
                    OUTPUT_FILE ${docs}/changelog.Debian.gz)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${docs}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
include(CPack)
