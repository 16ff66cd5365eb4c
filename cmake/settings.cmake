# Build settings and warnings shared by every target of ours, as INTERFACE
# targets so that generated code can take the settings without the warnings.

add_library(norva_settings INTERFACE)
target_compile_features(norva_settings INTERFACE cxx_std_20)
target_include_directories(norva_settings INTERFACE ${PROJECT_SOURCE_DIR})

if(NORVA_SANITIZE STREQUAL "address")
  set(_norva_sanitize_flags -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(NORVA_SANITIZE STREQUAL "thread")
  set(_norva_sanitize_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT NORVA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "NORVA_SANITIZE must be empty, 'address' or 'thread', not '${NORVA_SANITIZE}'")
endif()
if(_norva_sanitize_flags)
  # Whole build, executables and libraries alike.
  add_compile_options(${_norva_sanitize_flags})
  add_link_options(${_norva_sanitize_flags})
  target_compile_definitions(norva_settings INTERFACE NORVA_SANITIZED=1)
endif()

add_library(norva_warnings INTERFACE)
target_compile_options(norva_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter)

# A library of ours: the settings, the warnings, and its dependencies.
function(norva_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  if(NOT ARG_SOURCES)
    # A folder whose code has not been written yet still offers its dependencies.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE norva_settings ${ARG_DEPENDS})
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC norva_settings ${ARG_DEPENDS} PRIVATE norva_warnings)
endfunction()

# An executable of ours.
function(norva_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE norva_settings norva_warnings ${ARG_DEPENDS})
endfunction()

# The programs users run (the daemon and its tools): installed, and built before
# the tests that start them as processes.
add_custom_target(norva_programs)
function(norva_program name)
  norva_executable(${name} ${ARGN})
  add_dependencies(norva_programs ${name})
  install(TARGETS ${name} RUNTIME DESTINATION bin)
endfunction()
