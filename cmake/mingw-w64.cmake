# Cross-compiling for 64-bit Windows with Debian's MinGW-w64, posix thread model: the win32
# thread model lacks std::mutex and std::thread, which Qt and thermocal use.
#
# The same file builds Qt itself (scripts/windows-qt keeps a copy beside that Qt) and
# thermocal against it. Name the cross-built Qt with THERMOCAL_WINDOWS_QT (the environment or
# -D); the host tools (moc, rcc, uic) come from Debian's Qt of the same version.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(THERMOCAL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${THERMOCAL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${THERMOCAL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${THERMOCAL_MINGW_TRIPLET}-windres)

if(NOT THERMOCAL_WINDOWS_QT AND DEFINED ENV{THERMOCAL_WINDOWS_QT})
    set(THERMOCAL_WINDOWS_QT "$ENV{THERMOCAL_WINDOWS_QT}")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${THERMOCAL_MINGW_TRIPLET})
if(THERMOCAL_WINDOWS_QT)
    list(APPEND CMAKE_FIND_ROOT_PATH "${THERMOCAL_WINDOWS_QT}")
    list(APPEND CMAKE_PREFIX_PATH "${THERMOCAL_WINDOWS_QT}")
endif()
# Programs run on this machine; libraries, headers and CMake packages must be Windows ones,
# never the host's of the same name.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "Debian's host Qt, for moc, rcc and uic")
endif()
if(NOT QT_HOST_PATH_CMAKE_DIR)
    # Debian keeps CMake packages under the multiarch folder, not lib/cmake.
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "Debian's host Qt's CMake packages")
endif()
