# Installation and the Debian package. Only the program and its desktop integration are
# installed; the demo, the tests and the benchmarks never are.
set(THERMOCAL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes, relative to the installation prefix")
set(THERMOCAL_MAINTAINER "thermocal developers <thermocal-devel@example.org>" CACHE STRING
    "The package's maintainer, \"Name <address>\"")
set(THERMOCAL_HOMEPAGE "https://example.org/thermocal" CACHE STRING
    "The project's home page, shown in the package's Homepage field")

# The changelog's newest entry names the version being packaged; a version bump without
# an entry would ship a package whose changelog lies about it.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^thermocal \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with '${changelog_top}', "
                        "not an entry for version ${PROJECT_VERSION}")
endif()
# Debian keeps changelogs compressed, without a name or time stamp in the gzip header so
# that the package builds the same every time.
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
execute_process(COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
    OUTPUT_FILE ${changelog_gz} RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress packaging/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)

# The manual pages, compressed as Debian installs them.
set(THERMOCAL_MAN_PAGES thermocal.1 thermocal-cli.1 thermocal-monitor.1 thermocal-calibrate.1 thermocal-server.1)
set(compressed_pages)
foreach(page ${THERMOCAL_MAN_PAGES})
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
    set(compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND gzip -9n -c ${source} > ${compressed}
        DEPENDS ${source} VERBATIM)
    list(APPEND compressed_pages ${compressed})
endforeach()
add_custom_target(manpages ALL DEPENDS ${compressed_pages})
install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/thermocal.desktop ${PROJECT_SOURCE_DIR}/packaging/thermocal-monitor.desktop
    ${PROJECT_SOURCE_DIR}/packaging/thermocal-calibrate.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/thermocal.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-thermocal.rules
    DESTINATION ${THERMOCAL_UDEV_RULES_DIR})
# Installed, never enabled: each instance serves the instrument its options file names.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/thermocal-server@.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/thermocal)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "thermocal")
set(CPACK_PACKAGE_VENDOR "thermocal")
set(CPACK_PACKAGE_CONTACT "${THERMOCAL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${THERMOCAL_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${THERMOCAL_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${THERMOCAL_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "Reads the live voltage and temperature of a USB temperature instrument, reads
and writes its calibration set (ADC and DAC constants, a 100-row table of
voltage against temperature), commits it to the instrument's EEPROM, keeps it
in JSON calibration files and builds the table from a sensor curve.
thermocal-cli does the same from scripts, for instruments on USB or on the
network through ser2net, and logs readings as CSV, JSON or InfluxDB lines.
thermocal-monitor watches instruments live: readouts, a strip chart against
clock time, CSV recording that survives a crash, and alarms.
thermocal-calibrate calibrates the instrument against a reference thermometer
in a window: stability judged live, the fit, the write, the certificate.
thermocal-server shares one instrument with many programs at once: its own
protocol over TCP and pseudo-terminals, SCPI for lab frameworks (pyvisa,
pymeasure, EPICS) and Prometheus metrics.

Includes a udev rule that gives the dialout group access to the instrument and
keeps ModemManager from probing it.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "science")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# dpkg-shlibdeps works out the Qt runtime packages (libqt5core5a, libqt5gui5,
# libqt5widgets5, libqt5serialport5, libqt5network5) and their versions from the binary itself,
# and so the XML security library that thermocal-cli signs certificates with (libxmlsec1,
# libxmlsec1-openssl, libssl3). Building needs libxmlsec1-dev (scripts/bootstrap installs it);
# without it the programs build unable to sign.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
