# Warning flags shared by every target of the project. The presets, and with them CI, make warnings
# errors; a plain build only reports them, so that another compiler's new warnings do not stop it.
# Third-party headers come in as system headers (imported targets, SYSTEM), whose warnings the
# compilers leave out.
#
# GCC 12 at -O3 (Release) reports overlapping copies, reads and writes out of bounds and null
# pointers in libstdc++'s string and vector code inlined into ours, where there are none: known
# false reports of that version, which the system-header rule does not catch. Other compilers and
# builds keep these checks (and clang-tidy, which reads those builds, never meets the options).
set(gcc_12_release $<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>,$<CONFIG:Release>)
set(gcc_12_false_reports -Wno-restrict -Wno-array-bounds -Wno-stringop-overflow
                         -Wno-stringop-overread -Wno-null-dereference)
add_library(loader_warnings INTERFACE)
target_compile_options(loader_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnull-dereference
  # Designated initializers leave out members on purpose; their defaults apply.
  -Wno-missing-field-initializers
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>
  "$<$<AND:${gcc_12_release}>:${gcc_12_false_reports}>"
  $<$<BOOL:${LOADER_WARNINGS_AS_ERRORS}>:-Werror>)
