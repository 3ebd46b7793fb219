# embed_file(TARGET SYMBOL INPUT): links the bytes of INPUT into TARGET as SYMBOL (see
# EmbedFile.cmake), regenerated whenever INPUT changes.
function(embed_file target symbol input)
  set(output "${CMAKE_CURRENT_BINARY_DIR}/embedded/${symbol}.c")
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output} -DSYMBOL=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
    DEPENDS "${input}" ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
    COMMENT "Embedding ${input}"
    VERBATIM)
  target_sources(${target} PRIVATE "${output}")
endfunction()
