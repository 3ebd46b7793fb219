# Warning flags shared by every target of the project.
add_library(loader_warnings INTERFACE)
target_compile_options(loader_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnull-dereference
  # Designated initializers leave out members on purpose; their defaults apply.
  -Wno-missing-field-initializers
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>
  $<$<BOOL:${LOADER_WARNINGS_AS_ERRORS}>:-Werror>)
