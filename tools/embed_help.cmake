# Makes the C++ header that holds each command's long help, the text printed after its options,
# from the files tools/help/<command>.txt: the texts stay prose, edited as prose, and the tool
# carries them compiled in.
#   cmake -DHELP_DIR=<tools/help> -DOUTPUT=<header> -P tools/embed_help.cmake
# The build runs it whenever a text changes (tools/CMakeLists.txt).
#
# A text file is read as a short piece of Markdown is: the lines of a paragraph are joined with one
# blank, an empty line between paragraphs stays an empty line, and a line ending in a backslash
# ends its line there (the next line is kept as written, leading blanks too). "{name}" is a place
# the command fills with a value the library decides (an option's limit, a default). A help text
# whose form would not survive that reading (a line ending in blanks, two empty lines in a row, no
# text, the raw string's end ")help\"") stops the build, naming the file.
cmake_minimum_required(VERSION 3.25)
if(NOT HELP_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "embed_help.cmake: pass -DHELP_DIR=<folder> -DOUTPUT=<header>")
endif()

file(GLOB texts LIST_DIRECTORIES false "${HELP_DIR}/*.txt")
list(SORT texts)
string(ASCII 1 line_break)
string(ASCII 2 paragraph_break)
set(constants "")
foreach(path IN LISTS texts)
  get_filename_component(command "${path}" NAME_WE)
  if(NOT command MATCHES "^[a-z][a-z0-9]*$")
    message(FATAL_ERROR "${path}: a help file is named after its command, in lower case")
  endif()
  file(READ "${path}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REGEX REPLACE "\n+$" "" text "${text}")
  if(text STREQUAL "" OR text MATCHES "[ \t]\n" OR text MATCHES "[ \t]$" OR text MATCHES "\n\n\n"
     OR text MATCHES "\\)help\"")
    message(FATAL_ERROR
      "${path}: empty, a line ending in blanks, two empty lines in a row, or )help\" in the text")
  endif()
  string(REPLACE "\\\n" "${line_break}" text "${text}")
  string(REPLACE "\n\n" "${paragraph_break}" text "${text}")
  string(REPLACE "\n" " " text "${text}")
  string(REPLACE "${paragraph_break}" "\n\n" text "${text}")
  string(REPLACE "${line_break}" "\n" text "${text}")
  # kBacktest for backtest.txt
  string(SUBSTRING "${command}" 0 1 first)
  string(SUBSTRING "${command}" 1 -1 rest)
  string(TOUPPER "${first}" first)
  string(APPEND constants
    "// tools/help/${command}.txt\n"
    "inline constexpr std::string_view k${first}${rest} = R\"help(${text})help\";\n")
endforeach()

file(WRITE "${OUTPUT}"
  "// The commands' long help, made from tools/help/<command>.txt by tools/embed_help.cmake: edit\n"
  "// those files, not this one.\n"
  "#ifndef MPLNET_TOOLS_HELP_TEXTS_H_\n"
  "#define MPLNET_TOOLS_HELP_TEXTS_H_\n\n"
  "#include <string_view>\n\n"
  "namespace mplnet::tool::help {\n\n"
  "${constants}\n"
  "}  // namespace mplnet::tool::help\n\n"
  "#endif  // MPLNET_TOOLS_HELP_TEXTS_H_\n")
