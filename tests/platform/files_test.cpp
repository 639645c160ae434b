// Opening, sharing, reading, writing, seeking, sizes, times and attributes of files.
#include "tests/platform/script.h"

namespace platform_script {
namespace {

// files.fail_writes for one path: writes past after_bytes fail as on a full disk.
std::string FailWrites(const std::string &path, int afterBytes)
{
    return R"({"files": {"fail_writes": [{"path": ")" + path + R"(", "after_bytes": )" +
           std::to_string(afterBytes) + "}]}}";
}

const std::string kM = R"(\\NAND\\m.sys)";

const Row kFileRows[] = {
    // The second open must suit the first one's sharing and the first one's access; an open
    // file is never deleted, whatever its sharing says.
    {"ShareReadThenRead", "hold /d/f.txt r ex s1; open /D/F.TXT r ex s1; del /d/f.txt"},
    {"ShareReadRefusesWrite", "hold /d/f.txt r ex s1; open /D/F.TXT w ex s3; del /d/f.txt"},
    {"ShareNoneRefusesRead", "hold /d/f.txt r ex; open /D/F.TXT r ex s3; del /d/f.txt"},
    {"WriterRefusesReadOnlySharer", "hold /d/f.txt w ex s3; open /D/F.TXT r ex s1; del /d/f.txt"},
    {"ShareBothLetsAWriterIn", "hold /d/f.txt r ex s3; open /D/F.TXT w ex s1; del /d/f.txt"},
    {"BothReadWrite", "hold /d/f.txt rw ex s3; open /D/F.TXT rw ex s3; del /d/f.txt"},
    {"NoAccessNeedsNoSharing", "hold /d/f.txt r ex s1; open /D/F.TXT - ex; del /d/f.txt"},
    {"ShareDeleteStillNoDelete",
     "hold /d/f.txt r ex s7; open /D/F.TXT r ex s7; del /d/f.txt; close; del /d/f.txt"},
    {"NoAccessHolderLetsAnyIn", "hold /d/f.txt - ex s7; open /D/F.TXT w ex; del /d/f.txt"},
    {"LockedElsewhere",
     "open /D/G.TXT r ex s3; del /d/g.txt; move /d/g.txt /d/m.txt; copy d/g.txt /c.txt",
     R"({"files": {"locked": ["\\d\\g.txt"]}})"},
    // Each disposition on an existing and a missing file.
    {"Dispositions",
     "open /d/f.txt rw new; open /d/n1 rw new; open /d/g.txt rw always; open /d/n2 rw always; "
     "open /d/f.txt rw oa; open /d/n3 rw oa; open /d/f.txt rw ex; open /d/n4 rw ex; "
     "open /d/app.exe rw tr"},
    {"ReadsAtTheEndAreShort",
     "hold /d/f.txt r ex; read 4; read 100; read 100; write x; open / r ex"},
    // The device has no overlapped I/O: without a byte-count pointer nothing moves.
    {"ByteCountPointerNeeded", "hold /d/f.txt rw ex; readnull 4; writenull abcd; read 4"},
    // A forked sweep's child changes its own copy only: a file written through a handle it
    // inherited, one emptied by a new open (whose other handle then reads the emptied file, and
    // which keeps its creation time) and one deleted; the device folder keeps its bytes.
    {"ForkedCopyOwnsWhatItChanges",
     "open /d/n.txt w new; sleep 5; hold /d/f.txt r ex s3; hold /d/g.txt w ex s3; fork; write G2; "
     "open /d/f.txt w always s3; read 4 @0; open /d/n.txt w always; stat /d/n.txt; "
     "del /d/app.exe"},
    {"Seeks",
     "hold /d/f.txt r ex; seek 4; seek -5 cur; seek 2 cur; seek -10 end; seek -11 end; seek -1; "
     "seek 0 cur; seek 20; read 4"},
    {"BeyondFourGibibytes",
     "lay /big; grow /big 5368709123; touch /big 0; hold /big r ex; size; seek 1073741826 h1; "
     "read 8; seek 0 end h-2; stat /big; close; unlay /big"},
    // Times come from the virtual clock and last between boots; a copy takes the source's
    // last-write time, a rename keeps both, a folder keeps its own.
    {"Times",
     "sleep 1500; hold /n.txt w new; sleep 2000; write abc; sleep 500; close; stat /n.txt; "
     "mkdir /nd; sleep 100; open /nd/g.txt w new; stat /nd; stat /nd/g.txt; reboot; "
     "stat /n.txt; sleep 700; copy /n.txt /c.txt; stat /c.txt; sleep 50; move /c.txt /m.txt; "
     "stat /m.txt; open /n.txt w always; stat /n.txt; stat /nd"},
    {"TimeOnAWholeSecond", "sleep 1000; open /s.txt w new; stat /s.txt"},
    {"TimeOfAFileLaidOnDisk",
     "lay /d/big.bin {70000x}; touch /d/big.bin 1577836800; stat /d/big.bin"},
    // Attributes guard the file, and a search reports them after the next boot.
    {"ReadOnly",
     "attr /d/f.txt r; open /d/f.txt w ex; open /d/f.txt r ex; open /d/f.txt w always fr; "
     "open /d/f.txt w tr; del /D/F.txt; copy /d/g.txt /d/f.txt; reboot; find /d/f.txt"},
    {"HiddenAndSystem",
     "attr /d/f.txt h; attr /d/g.txt s; copy /d/g.txt /d/f.txt; copy /d/f.txt /d/g.txt; "
     "open /d/f.txt w always; open /d/f.txt w always fh; find /d/*.txt"},
    {"AttributesReportedKeptAndCleared",
     "open /d/n.txt w new fh; attr /D/G.TXT rs; reboot; find /d/*; del /d/g.txt; attr /d/g.txt n; "
     "find /d/g.txt; del /d/g.txt; attr /d/g.txt h; attr /gone/g.txt h"},
    // Attributes follow their entry through a move and go with it when it is deleted.
    {"AttributesFollowTheEntry",
     "attr /d/sub/x.txt h; move /D/SUB /e/s; find /e/s/x.txt; del /e/s/x.txt; lay /e/s/x.txt; "
     "lay /d/sub/x.txt; find /e/s/x.txt; find /d/sub/x.txt"},
    // files.fail_writes: a write that would take its file past after_bytes keeps the bytes
    // below it and fails as on a full disk; the position moves by what was written.
    {"WriteEndingAtTheLimit", "hold /NAND/m.sys rw oa; write 012345", FailWrites(kM, 6)},
    {"WritePassingTheLimit", "hold /NAND/m.sys rw oa; write 012345; seek 0 cur", FailWrites(kM, 3)},
    {"WriteAtTheFirstByte", "hold /NAND/m.sys rw oa; write 012345", FailWrites(kM, 0)},
    {"WritesInPieces", "hold /NAND/m.sys rw oa; write 01; write 23; write 45; write 4; seek 0 cur",
     FailWrites(kM, 4)},
    {"SecondWriteCrossesIt", "hold /NAND/m.sys rw oa; write 0123; write 4567; seek 0 cur",
     FailWrites(kM, 5)},
    // Bytes beyond the limit that are there already stay; only the write's end counts.
    {"OverALongerFile",
     "lay /NAND/m.sys ABCDEFGH; hold /NAND/m.sys rw oa; write 0123; seek 2; write 2345; "
     "seek 0 cur; seek 6; write 67",
     FailWrites(kM, 4)},
    {"FaultPathInOtherCaseAndSlashes", "hold /NAND/m.sys rw oa; write 012345",
     FailWrites("nand/M.SYS", 2)},
    {"FaultOnAnotherFile", "hold /NAND/m.sys rw oa; write 012345; write",
     FailWrites(R"(\\NAND\\n.sys)", 2)},
    {"EmptyWriteAtTheLimit", "hold /NAND/m.sys rw oa; write", FailWrites(kM, 0)},
    // A copy writes through the same calls; reading the file and writing elsewhere is free.
    {"CopyIntoAFullFile", "lay /s.bin {100000d}; copy /s.bin /NAND/m.sys; copy /NAND/m.sys /o.bin",
     FailWrites(kM, 70000)},
};

INSTANTIATE_TEST_SUITE_P(Files, ScriptTable, testing::ValuesIn(kFileRows), RowName);

}  // namespace
}  // namespace platform_script
