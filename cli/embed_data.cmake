# SPDX-License-Identifier: Apache-2.0
# Writes a C++ source that holds the files of data/ as byte arrays, so that the tool
# carries its default installation inside itself.
#   cmake -DOUTPUT=embedded_data.cpp -DFILES="a|b" -P embed_data.cmake
string(REPLACE "|" ";" FILES "${FILES}")
set(body "// Generated from data/ by cli/embed_data.cmake at build time; do not edit.\n")
string(APPEND body "#include \"cli/embedded_data.h\"\n\nnamespace tq33cli {\nnamespace {\n\n")
set(table "")
set(index 0)
foreach(path IN LISTS FILES)
  get_filename_component(name "${path}" NAME)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Twenty bytes a line keeps the generated file readable in a diff tool.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){20})" "\\1\n    " bytes "${bytes}")
  string(APPEND body "const unsigned char kFile${index}[${size} + 1] = {\n    ${bytes}0};\n\n")
  string(APPEND table "    {\"${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "}  // namespace\n\nconst EmbeddedFile kEmbeddedFiles[] = {\n${table}};\n")
string(APPEND body "const size_t kEmbeddedFileCount = ${index};\n\n}  // namespace tq33cli\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
