# Fails when a source file includes a header of a folder (or a header) that
# its own folder may not use. Run by the build before the core is compiled:
#   cmake -DSOURCE_DIR=<repository> [-DSTAMP=<file>] -P scripts/check-layers.cmake
#
# The layers, from the bottom: the platform interface (src/platform); the
# backends, each on the interface alone (the virtual Mac also writes its
# event log with the core's JSON and text helpers); the core's operations;
# and the programs that join the core to a backend. Inside the core the
# subsystems call each other only along the edges listed here.

cmake_minimum_required(VERSION 3.25)

set(allowed_platform "platform")
set(allowed_platform/virtual "platform;platform/virtual;host/json_out.h;host/text.h")
set(allowed_platform/macos "platform;platform/macos")
# The X11 connection layer lies under both the backend and its applications.
set(allowed_platform/x11/apps "platform;platform/x11/apps;platform/x11/xconnection.h")
set(allowed_platform/x11 "platform;platform/x11;platform/x11/apps")
# The dispatcher routes to every operation.
set(allowed_host "platform;host;input;capture;apps")
# Pointer input finds its display.
set(allowed_input "platform;host;input;capture")
# Capture applies the session guard; an application's windows come from the caller.
set(allowed_capture "platform;host;input;capture")
set(allowed_apps "platform;host;input;capture;apps")
set(allowed_check "platform;platform/virtual;host;apps;check")
set(allowed_. "platform;platform/virtual;platform/macos;platform/x11;host")

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "check-layers: SOURCE_DIR is not set")
endif()
file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}/src"
  "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.cpp" "${SOURCE_DIR}/src/*.mm")

set(wrong "")
foreach(source IN LISTS sources)
  get_filename_component(folder "${source}" DIRECTORY)
  if(folder STREQUAL "")
    set(folder ".")
  endif()
  if(NOT DEFINED allowed_${folder})
    string(APPEND wrong "\n  src/${source}: its folder has no place in the layers (scripts/check-layers.cmake)")
    continue()
  endif()
  file(STRINGS "${SOURCE_DIR}/src/${source}" includes REGEX "^[ \t]*#[ \t]*(include|import)[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" header "${line}")
    # Only the project's own headers, all named from src/.
    if(NOT EXISTS "${SOURCE_DIR}/src/${header}")
      continue()
    endif()
    get_filename_component(target "${header}" DIRECTORY)
    if(target STREQUAL "")
      set(target ".")
    endif()
    if(NOT target IN_LIST allowed_${folder} AND NOT header IN_LIST allowed_${folder})
      string(APPEND wrong "\n  src/${source} includes ${header}: ${folder} may not use ${target}")
    endif()
  endforeach()
endforeach()

if(wrong)
  message(FATAL_ERROR "Includes across the layers:${wrong}")
endif()
if(STAMP)
  file(TOUCH "${STAMP}")
endif()
