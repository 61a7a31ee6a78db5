# Torvane for Windows, cross-built with Debian's MinGW-w64 (the POSIX thread
# model, as the Windows Qt was built with). Qt and libpcap for Windows come
# from their caches (build-qt.sh, build-pcap.sh); the test programs run under
# Wine (wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT TORVANE_QT_WINDOWS)
  if(DEFINED ENV{TORVANE_QT_WINDOWS})
    set(TORVANE_QT_WINDOWS "$ENV{TORVANE_QT_WINDOWS}")
  else()
    set(TORVANE_QT_WINDOWS "$ENV{HOME}/.cache/torvane/qt-6.4.2-mingw-x64")
  endif()
endif()
if(NOT TORVANE_PCAP_WINDOWS)
  if(DEFINED ENV{TORVANE_PCAP_WINDOWS})
    set(TORVANE_PCAP_WINDOWS "$ENV{TORVANE_PCAP_WINDOWS}")
  else()
    set(TORVANE_PCAP_WINDOWS "$ENV{HOME}/.cache/torvane/pcap-1.10-mingw-x64")
  endif()
endif()

# The caches are roots of their own: Qt is found under its root's lib/cmake
# (as a prefix path, give that folder, not the root itself: CMake would join
# the two into a path that isn't there).
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${TORVANE_QT_WINDOWS}" "${TORVANE_PCAP_WINDOWS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Qt's tools (moc, rcc, uic) are Debian's own, of the same version.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
