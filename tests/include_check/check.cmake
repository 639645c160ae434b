# Compiles this folder's files as one unity unit with the include check, first.cpp first, and
# compares the errors with expected.txt: each file that forgets box.h, and no other.
# Usage: cmake -DCOMPILER=... -DPLUGIN=... -DDIR=... -DUNIT=... -P check.cmake
set(files first through_wrapper forgets_constant forgets_macro forgets_type forgets_function
          forgets_enumerator uses_forgetful)
set(unit "")
foreach(file IN LISTS files)
  string(APPEND unit "#include \"${DIR}/${file}.cpp\"\n")
endforeach()
file(WRITE ${UNIT} "${unit}")
execute_process(COMMAND ${COMPILER} -std=c++20 -fsyntax-only -fplugin=${PLUGIN} -I${DIR} ${UNIT}
                RESULT_VARIABLE status ERROR_VARIABLE output)
if(status EQUAL 0)
  message(FATAL_ERROR "the unit compiled, though six of its files forget box.h")
endif()
string(REPLACE "${DIR}/" "" output "${output}")
string(REGEX MATCHALL "[^\n]*: error: [^\n]*" errors "${output}")
set(found "")
foreach(error IN LISTS errors)
  string(REGEX REPLACE "^([^ ]*) error: ('[^']*' comes from '[^']*').*" "\\1 \\2" error "${error}")
  list(APPEND found "${error}")
endforeach()
list(SORT found)
file(STRINGS ${DIR}/expected.txt expected)
if(NOT found STREQUAL expected)
  string(REPLACE ";" "\n  " found "${found}")
  message(FATAL_ERROR "the include check reported\n  ${found}\nand not what expected.txt holds:\n${output}")
endif()
