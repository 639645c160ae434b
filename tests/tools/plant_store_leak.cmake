# Writes OUT: the shell's BINFS check (IN) with one defect planted, a return that leaves the
# store open when the partition search fails. The fault sweep's tests expect the sweep to catch
# it. Fails when the spot is gone, so that the variant never builds without its defect.
file(READ "${IN}" source)
set(spot "FindFirstPartition fail \\r\\n\"));\n        goto done;")
string(FIND "${source}" "${spot}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "plant_store_leak: the partition search's failure path is not in ${IN}")
endif()
string(REPLACE "${spot}" "FindFirstPartition fail \\r\\n\"));\n        return;\n        goto done;"
       planted "${source}")
file(WRITE "${OUT}" "${planted}")
