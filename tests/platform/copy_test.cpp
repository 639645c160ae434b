// Copying: progress reports, overwriting, cancelling and stopping, a full disk, and the copy
// faults a device folder asks for.
#include "tests/platform/script.h"

namespace platform_script {
namespace {

// files.corrupt_copies: the first copies of a source come out with one byte inverted.
const std::string kCorrupt = R"({"files": {"corrupt_copies": [
    {"path": "\\NAND\\apps\\a.dll", "copies": 2, "offset": 10},
    {"path": "nand/Apps/B.dll/", "copies": 1, "offset": 0},
    {"path": "\\NAND\\apps\\c.dll", "copies": 3, "offset": 70000},
    {"path": "\\NAND\\apps\\d.dll", "copies": 1, "offset": 99},
    {"path": "\\NAND\\apps\\e.dll", "copies": 2, "offset": 100}]}})";

// files.fail_copies: every copy of a source fails with ERROR_WRITE_FAULT after after_bytes.
const std::string kFailCopies = R"({"files": {"fail_copies": [
    {"path": "\\s1", "after_bytes": 70000}, {"path": "\\s2", "after_bytes": 0},
    {"path": "\\s3", "after_bytes": 65536}, {"path": "\\s4", "after_bytes": 199999},
    {"path": "\\s5", "after_bytes": 200000}]}})";

const Row kCopyRows[] = {
    // One report at 0 bytes, then one after each 64 KiB chunk; the attributes come along.
    {"Progress",
     "lay /s0; lay /s1 {1p}; lay /s2 {65536p}; lay /s3 {65537p}; lay /s4 {200000p}; attr /s4 ha; "
     "copy /s0 /t0 p; copy /s1 /t1 p; copy /s2 /t2 p; copy /s3 /t3 p; copy /s4 /t4 p; find /t4"},
    {"OverwriteUnlessToldNotToAndQuiet",
     "lay /s {100000n}; lay /t old; copy /s /t fail show; copy /s /t 1=quiet show"},
    // The destination is emptied before the first byte moves: a cancel deletes it, whether
    // answered or flagged, and an old destination is gone too.
    {"Cancelled",
     "lay /s {200000p}; attr /s rh; lay /t2 old; lay /t3 old; lay /t5 old; copy /s /t1 1=cancel; "
     "copy /s /t2 1=cancel; copy /s /t3 3=cancel; copy /s /t4 2=flag; copy /s /t5 2=flag; "
     "find /t*"},
    // A stop leaves what was copied as a plain file, which the next copy replaces though the
    // source is read-only and hidden.
    {"Stopped",
     "lay /s {200000p}; attr /s rh; lay /t1 old; lay /t3 old; copy /s /t1 1=stop show; "
     "copy /s /t2 2=stop show; copy /s /t3 3=stop show; find /t*; copy /s /t3; find /t3"},
    // A write that fails part way (the host's file-size limit stands in for a full volume)
    // ends the copy with that error and leaves the bytes written so far.
    {"DiskFull", "lay /s {200000p}; lay /t {300000o}; copy /s /t limit=100000; find /t"},
    // Later copies are clean; a fault past the end of its file never fires.
    {"CorruptCopies",
     "lay /NAND/apps/a.dll {100p}; lay /NAND/apps/b.dll {100p}; lay /NAND/apps/c.dll {200000p}; "
     "lay /NAND/apps/d.dll {100p}; lay /NAND/apps/e.dll {100p}; lay /NAND/apps/f.dll {100p}; "
     "x3 copy /nand/APPS/A.DLL /t show; x2 copy /NAND/apps/b.dll /t show; "
     "x4 copy /NAND/apps/c.dll /t show; x2 copy /NAND/apps/d.dll /t show; "
     "x2 copy /NAND/apps/e.dll /t show; copy /NAND/apps/f.dll /t show",
     kCorrupt},
    // A failed copy keeps exactly the bytes written before the fault, as a plain file, and the
    // progress routine has seen only the chunks finished before it; every copy fails alike.
    {"FailedCopies",
     "lay /s1 {200000p}; lay /s2 {200000p}; lay /s3 {200000p}; lay /s4 {200000p}; "
     "lay /s5 {200000p}; attr /s1 h; lay /t1 {300000o}; x2 copy /s1 /t1 p show; "
     "copy /s2 /t2 p show; copy /s3 /t3 p show; copy /s4 /t4 p show; copy /s5 /t5 p show; "
     "find /t*",
     kFailCopies},
};

INSTANTIATE_TEST_SUITE_P(Copy, ScriptTable, testing::ValuesIn(kCopyRows), RowName);

}  // namespace
}  // namespace platform_script
