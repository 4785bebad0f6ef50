# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# Cases that can fail only because they run under qemu-user, each with the
# reason. In a cross build ctest reads this once per test program (with
# serialhub_program set): a case named here stays registered but is disabled,
# labelled emulator_limit, its reason said when ctest starts, and listed by
# ctest as "Not Run (Disabled)". Native builds never read it.
function(emulator_limit program test reason)
  if(program STREQUAL serialhub_program)
    message("emulator limit: ${test}: ${reason}")
    set_tests_properties(${test} PROPERTIES DISABLED TRUE LABELS "emulator_limit;${program}")
  endif()
endfunction()

# emulator_limit(<program> <Suite.Case> "<why only the emulator makes it fail>")
