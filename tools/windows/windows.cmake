# The Windows build's own part, included by the top-level CMakeLists.txt when
# building for Windows: the programs' version resources and icon, and the
# window as a GUI program (no console).

enable_language(RC)

# torvane_windows_program(<target> <description>): the version resource and
# the icon for one program.
function(torvane_windows_program target description)
  set(TORVANE_PROGRAM ${target})
  set(TORVANE_DESCRIPTION "${description}")
  set(TORVANE_ICON "${PROJECT_SOURCE_DIR}/tools/windows/torvane.ico")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/windows/${target}.rc")
  configure_file("${PROJECT_SOURCE_DIR}/tools/windows/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()

torvane_windows_program(torvane "Torvane: I++ DME diagnostic client and relay")
torvane_windows_program(torvane-demo-server "Torvane demo server: a pretend I++ DME machine")
torvane_windows_program(torvane-check "Torvane check: I++ DME traffic against the protocol's rules")
torvane_windows_program(torvane-tap "Torvane tap: I++ DME relay and recorder without a window")
if(TARGET torvane-replay)
  torvane_windows_program(torvane-replay "Torvane replay: a recording served or played back")
endif()

# The window is a GUI program: no console window opens with it. Qt 6 marks
# itself per-monitor DPI aware, so the window follows the system's scaling.
set_target_properties(torvane PROPERTIES WIN32_EXECUTABLE ON)

