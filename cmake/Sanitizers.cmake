# Applies LOADER_SANITIZERS to every target defined after this point.
if(LOADER_SANITIZERS)
  list(JOIN LOADER_SANITIZERS "," sanitizer_list)
  add_compile_options(-fsanitize=${sanitizer_list} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${sanitizer_list})
  # Third-party code that clang's checks misread (the file says why).
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_compile_options(-fsanitize-ignorelist=${CMAKE_CURRENT_LIST_DIR}/sanitizer-ignorelist.txt)
  endif()
endif()
