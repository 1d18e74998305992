# Tests of a Windows cross build, run through CMAKE_CROSSCOMPILING_EMULATOR
# (scripts/windows-wine-run.sh). Each test program is one CTest test: one wine
# start per program instead of one per case. A run only passes when the program
# printed GoogleTest's own summary, so an .exe that wine never really started
# (exit 0, no output) fails.
function(gtest_discover_tests target)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES
    TIMEOUT 300
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ test"
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\];wine-run: exit status [1-9]")
  # Of the cases' properties only an environment applies to the whole program.
  list(FIND ARGN ENVIRONMENT at)
  if(at GREATER -1)
    math(EXPR at "${at} + 1")
    list(GET ARGN ${at} environment)
    set_tests_properties(${target} PROPERTIES ENVIRONMENT "${environment}")
  endif()
endfunction()
