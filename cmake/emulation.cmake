# Tests that start one of our programs themselves (fork and exec, or a shell).
# temp_test_runs(TEST_TARGET MACRO PROGRAM_TARGET) defines MACRO as the path the
# test executes: the program itself, or in a cross build run by qemu-user a small
# launcher built for this machine that runs the program under the emulator
# (tests/cross/emulated_exec.c).
set(TEMP_EMULATED_LAUNCHERS OFF)
if(CMAKE_CROSSCOMPILING AND NOT WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 _emulator)
  if(_emulator MATCHES "qemu-[^/]*-static$")
    find_program(TEMP_EMULATOR_PATH ${_emulator} REQUIRED)
    list(FIND CMAKE_CROSSCOMPILING_EMULATOR "-L" _l)
    math(EXPR _l "${_l} + 1")
    list(GET CMAKE_CROSSCOMPILING_EMULATOR ${_l} TEMP_EMULATOR_SYSROOT)
    find_program(TEMP_HOST_CC NAMES cc gcc REQUIRED)
    set(TEMP_EMULATED_LAUNCHERS ON)
  endif()
endif()

# temp_program_path(VAR PROGRAM_TARGET): the path to execute, for add_test.
function(temp_program_path var program)
  if(NOT TEMP_EMULATED_LAUNCHERS)
    set(${var} "$<TARGET_FILE:${program}>" PARENT_SCOPE)
    return()
  endif()
  set(_launcher ${CMAKE_BINARY_DIR}/emulated/${program})
  if(NOT TARGET emulated_${program})
    set(_src ${PROJECT_SOURCE_DIR}/tests/cross/emulated_exec.c)
    add_custom_command(OUTPUT ${_launcher}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/emulated
      COMMAND ${TEMP_HOST_CC} -O2 -Wall -Wextra -Werror
              "-DTEMP_EMULATOR=\"${TEMP_EMULATOR_PATH}\"" "-DTEMP_SYSROOT=\"${TEMP_EMULATOR_SYSROOT}\""
              "-DTEMP_TARGET=\"$<TARGET_FILE:${program}>\"" ${_src} -o ${_launcher}
      DEPENDS ${_src}
      COMMENT "Launcher of ${program} under ${TEMP_EMULATOR_PATH}"
      VERBATIM)
    add_custom_target(emulated_${program} ALL DEPENDS ${_launcher})
    add_dependencies(emulated_${program} ${program})
  endif()
  set(${var} ${_launcher} PARENT_SCOPE)
endfunction()

# MACRO_TARGET is the program's own file (the same path in a native build), for
# a test that copies it; the launcher runs a copy named in TEMP_EMULATED_TARGET.
function(temp_test_runs test macro program)
  temp_program_path(_path ${program})
  target_compile_definitions(${test} PRIVATE ${macro}="${_path}" ${macro}_TARGET="$<TARGET_FILE:${program}>")
  if(TEMP_EMULATED_LAUNCHERS)
    add_dependencies(${test} emulated_${program})
  else()
    add_dependencies(${test} ${program})
  endif()
endfunction()
