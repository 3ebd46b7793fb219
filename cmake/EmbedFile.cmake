# Writes a C source that holds the bytes of INPUT as `const unsigned char SYMBOL[]`, followed by
# a zero byte (so text files can be used as strings), and `const unsigned long SYMBOL_size`
# (the size without that zero byte).
#   cmake -DINPUT=file -DOUTPUT=file.c -DSYMBOL=name -P EmbedFile.cmake
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "/* Generated from ${INPUT}; do not edit. */\n"
  "const unsigned char ${SYMBOL}[] = {\n${bytes}0x00};\n"
  "const unsigned long ${SYMBOL}_size = ${size}UL;\n")
