# Warning flags shared by every target of the project.
add_library(loader_warnings INTERFACE)
target_compile_options(loader_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wnull-dereference
  $<$<BOOL:${LOADER_WARNINGS_AS_ERRORS}>:-Werror>)
