# SPDX-License-Identifier: Apache-2.0
# Writes a C++ source that holds the default installation's files as byte arrays, so that
# the filter carries them inside itself:
#   cmake -DOUTPUT=out.cpp -DMODEL_DATA=tq33.model -DMEDIA_FILE=sample-media.dat -P embed_installation.cmake
function(byte_array path name out)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Twenty bytes a line keeps the generated file readable.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){20})" "\\1\n    " bytes "${bytes}")
  # A zero after the bytes keeps the array valid for an empty file.
  set(${out} "const unsigned char ${name}[] = {\n    ${bytes}0};\nconst size_t ${name}Size = ${size};\n\n"
      PARENT_SCOPE)
endfunction()

byte_array("${MODEL_DATA}" kDefaultModelData model)
byte_array("${MEDIA_FILE}" kDefaultMediaFile media)
set(body "// Generated from data/ by cups/embed_installation.cmake at build time; do not edit.\n")
string(APPEND body "#include \"cups/embedded_installation.h\"\n\nnamespace tq33cups {\n\n")
string(APPEND body "${model}${media}}  // namespace tq33cups\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
