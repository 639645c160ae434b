# Writes OUT: the shell's BINFS check (IN) with one defect planted where the partition search
# fails: DEFECT=leak returns and leaves the store open, DEFECT=crash stops the program there. The
# fault sweep's tests expect the sweep to catch the one and to report the other. Fails when the
# spot is gone, so that a variant never builds without its defect.
file(READ "${IN}" source)
set(spot "FindFirstPartition fail \\r\\n\"));\n        goto done;")
string(FIND "${source}" "${spot}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "plant_defect: the partition search's failure path is not in ${IN}")
endif()
if(DEFECT STREQUAL "leak")
  set(defect "return;")
elseif(DEFECT STREQUAL "crash")
  set(defect "__builtin_trap();")
else()
  message(FATAL_ERROR "plant_defect: DEFECT is leak or crash, not '${DEFECT}'")
endif()
string(REPLACE "${spot}" "FindFirstPartition fail \\r\\n\"));\n        ${defect}\n        goto done;"
       planted "${source}")
file(WRITE "${OUT}" "${planted}")
