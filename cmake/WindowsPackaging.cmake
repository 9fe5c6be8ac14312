# Installation on Windows: the programs, the Qt and MinGW DLLs they import, the Qt plugins
# they load, and the licences; packed by CPack as a 64-bit NSIS installer and as a zip of the
# same files for people without installation rights. No udev rule and no manual pages: they
# mean nothing on Windows.
if(NOT THERMOCAL_WINDOWS_QT)
    # The toolchain file names it; a Qt found otherwise is still the one to deploy.
    get_filename_component(THERMOCAL_WINDOWS_QT "${Qt6_DIR}/../../.." ABSOLUTE)
endif()

install(TARGETS thermocal thermocal-cli thermocal-monitor thermocal-calibrate thermocal-server RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

# The plugins Qt loads by name rather than imports: the windows platform, the offscreen one
# (thermocal-cli plot draws without a display), the native style, SVG images. Qt looks for
# them beside the program.
set(THERMOCAL_WINDOWS_PLUGINS platforms/qwindows.dll platforms/qoffscreen.dll
    imageformats/qsvg.dll styles/qwindowsvistastyle.dll)
foreach(plugin ${THERMOCAL_WINDOWS_PLUGINS})
    set(file ${THERMOCAL_WINDOWS_QT}/plugins/${plugin})
    if(NOT EXISTS ${file})
        message(FATAL_ERROR "The Windows Qt in ${THERMOCAL_WINDOWS_QT} has no ${plugin}")
    endif()
    get_filename_component(folder ${plugin} DIRECTORY)
    install(FILES ${file} DESTINATION bin/${folder})
endforeach()
# Qt's own licences and the MinGW runtime's, which scripts/windows-qt keeps with that Qt.
install(DIRECTORY ${THERMOCAL_WINDOWS_QT}/licenses/ DESTINATION licenses)

# Every DLL that the programs and plugins import, and the DLLs those import in turn, from
# the Windows Qt and the MinGW runtime: read from the files' import tables, so nothing is
# shipped that is never loaded. What neither folder holds is Windows' own.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
    OUTPUT_VARIABLE libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(mingw_gcc_runtime ${libstdcxx} DIRECTORY)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libwinpthread-1.dll
    OUTPUT_VARIABLE libwinpthread OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(mingw_runtime ${libwinpthread} DIRECTORY)
install(CODE "
    set(THERMOCAL_DLL_FOLDERS \"${THERMOCAL_WINDOWS_QT}/bin;${mingw_gcc_runtime};${mingw_runtime}\")
    set(THERMOCAL_OBJDUMP \"${CMAKE_OBJDUMP}\")
    set(THERMOCAL_STRIP \"${CMAKE_STRIP}\")
")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/WindowsDeploy.cmake)

set(CPACK_GENERATOR "NSIS64;ZIP")
set(CPACK_PACKAGE_NAME "thermocal")
set(CPACK_PACKAGE_VENDOR "thermocal")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME "thermocal-${PROJECT_VERSION}-windows-x64")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "thermocal")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
# Start-menu entries for the three windows; thermocal-cli is for a console.
set(CPACK_PACKAGE_EXECUTABLES "thermocal;thermocal" "thermocal-monitor;thermocal monitor"
    "thermocal-calibrate;thermocal calibrate")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY "bin")
set(CPACK_NSIS_DISPLAY_NAME "thermocal ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "thermocal ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\thermocal.exe")
set(CPACK_NSIS_MODIFY_PATH OFF)
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# A 64-bit installer: it runs where only 64-bit Windows programs do (Wine without its 32-bit
# part) and writes to the 64-bit Program Files and registry.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_STRIP_FILES ON)
include(CPack)
