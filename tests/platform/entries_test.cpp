// Entries by path: searches, moves, folders, deletes, the paths the device accepts, entries that
// lead out of the device folder, and a volume that mounts late.
#include "tests/platform/script.h"

namespace platform_script {
namespace {

const std::string kOrder =
    "lay /o/m.txt; lay /o/k.txt; open /o/z.txt w new f; "
    "open /o/a.txt w new f; mkdir /o/b; move /o/z.txt /o/c.txt; find /o/*";
std::string Order(const std::string &order)
{
    return R"({"files": {"find_order": ")" + order + R"(", "dot_entries": false}})";
}

// Every call on the late volume d once; the volume itself is moved last.
const std::string kLate =
    "find /d; find D/*.txt; open /D r ex; open /d/f.txt r ex; open /d/sub/x.txt r ex; "
    "open /d/new.txt w new; attr /d/f.txt h; mkdir /d/new; mkdir /d; rmdir /d/empty/; rmdir /d; "
    "del /d/g.txt; copy /d/f.txt /e/y.txt; copy /e/w.txt /d/w.txt; move /d/sub/x.txt /e/x.txt; "
    "move /e/w.txt /d/w2.txt; start /d/app.exe; play /d/cue.wav; move /d /e/v";
const std::string kLateMount = R"({"files": {"mount_after_ms": {"D": 250}}})";

const Row kEntryRows[] = {
    {"FindWildcards",
     "find /dir/*; find dir/*.*; find /DIR/*.txt; find /dir/?.tXt; find /dir/??ext; "
     "find /dir/noext.*; find /dir/sub/*; find /*"},
    {"FindByName", "find /dir/NOEXT; find /dir/sub; find /dir; find /dir/*.zip; find /dir/gone"},
    // A folder moved or removed is gone from every path through it, however often the paths
    // were resolved before.
    {"MovedAndRemovedFoldersAreGone",
     "mkdir /m; open /m/a.txt w new; move /m /n; open /m/a.txt r ex; open /n/a.txt r ex; "
     "mkdir /q; open /q/x w new; del /q/x; rmdir /q; open /q/y w new; find /q/*"},
    // Only the folder calls take a trailing backslash.
    {"FindRefusals", "find /nodir/*; find /d*/*; find /dir/; find /dir/sub/; find /nodir/; find /"},
    {"FindOrderName", kOrder, Order("name")},
    {"FindOrderReverse", kOrder, Order("reverse")},
    // Entries laid on disk come first; a rename keeps its entry's place.
    {"FindOrderCreated", kOrder, Order("created")},
    {"Moves", "move /D/F.txt /e/New.txt; move /d/g.txt /d/G.TXT; lay /t/u/v.txt v; move /t /e/t2"},
    {"MoveRefusals",
     "move /d/none /d/n; move /d/f.txt /d/G.TXT; move /d/f.txt /no/f; move /d /d/sub/d; "
     "copy /d/f.txt /D/F.TXT"},
    {"Folders",
     "mkdir /d/New/; mkdir /D/SUB; mkdir /no/x; rmdir /E; rmdir /d/sub; rmdir /none; "
     "rmdir /d/f.txt"},
    {"Deletes", "del /d/sub; del /d/none; del /no/f.txt; del /d/g.txt"},
    // Each component is matched without regard to case; a new entry keeps its own.
    {"LetterCase",
     "mkdir Update; hold /UPDATE/NewName.Bin w new; write abc; close; hold update/newname.bin r "
     "ex; "
     "read 4; open /D/SUB/X.TXT r ex; open /D/Sub/New.Txt w new; find D/sub"},
    // A path of 260 characters or more is refused, counted with the leading backslash.
    {"Lengths",
     "open /d/sub/{252n} r ex; open /d/sub/{253n} r ex; open d/sub/{252n} r ex; "
     "open d/sub/{253n} r ex"},
    {"Names",
     "open /d/a:b w new; open /d/a\tb w new; open /d/*.txt r ex; open /d/f.txt/ r ex; "
     "open /d/../.. r ex; find /d/./sub; find /d?/x.txt; find /d/a\"b; find /d/a<b>; "
     "find /d/a|b; open /d/missing/x.txt r ex; open /d/sub/x.txt/x r ex"},
    // Links and special files below root/ are refused and journaled; the outside is untouched.
    {"LinkToAFile",
     "open /NAND/x r ex; open /NAND/X w ex; open /NAND/x w always; open /NAND/x w oa; "
     "open /NAND/x w tr; copy /NAND/ok.txt /NAND/x; copy /NAND/x /NAND/copy.txt; del /NAND/x; "
     "move /NAND/x /NAND/y; move /NAND/ok.txt /NAND/x; attr /NAND/x r; find /NAND/x"},
    {"LinkToAFolder",
     "open /NAND/d/inner.txt r ex; open /nand/D/new.txt w new; copy /NAND/ok.txt /NAND/d/c; "
     "del /NAND/d/inner.txt; move /NAND/ok.txt /NAND/d/o; attr /NAND/d/inner.txt n; "
     "rmdir /NAND/d/sub; rmdir /NAND/d/; mkdir /NAND/d/n; find /NAND/d/*; start /NAND/d/prog.exe; "
     "play /NAND/d/cue.wav; open /NAND/d r ex"},
    {"Fifo", "open /NAND/pipe r ex; del /NAND/pipe; open /NAND/pipe/x r ex"},
    // A volume that is a link is refused as a whole, even where a call would only read.
    {"LinkedVolume", "open /vol/inner.txt r ex; del /vol/inner.txt"},
    // A search lists only plain files and folders: every other call refuses the rest.
    {"SearchLeavesOutLinks", "find /NAND/*"},
    // Keys of the entries beneath NAND/a start "\nand\a\"; neighbours that sort just before,
    // after or among them keep their attributes when the folder is made again.
    {"RecordsOfAFolderMadeAgain",
     "lay /NAND/a/f.txt; lay /NAND/a/b/g.txt; lay /NAND/a!; lay /NAND/a.txt; lay /NAND/a[; "
     "lay /NAND/a]/x.txt; lay /NAND/a]b; lay /NAND/ab; lay /NAND/b/a/y; attr /NAND/a/f.txt h; "
     "attr /NAND/a/b h; attr /NAND/A/B/G.txt h; attr /NAND/a! h; attr /NAND/a.txt h; "
     "attr /NAND/a[ h; attr /NAND/a]/x.txt h; attr /NAND/a]b h; attr /NAND/ab h; "
     "attr /NAND/b/a/y h; attr /NAND/a h; unlay /NAND/a; mkdir /NAND/A; lay /NAND/A/f.txt; "
     "lay /NAND/A/b/g.txt; find /NAND/*; find /NAND/a/*; find /NAND/a/b/*; find /NAND/a]/*; "
     "find /NAND/b/a/*"},
    // A late volume is missing for every call until the clock reaches its mount time; then each
    // call does what it does on any folder.
    {"LateVolume",
     "lay /d/empty/; lay /e/w.txt w; " + kLate + "; sleep 249; " + kLate + "; sleep 1; " + kLate,
     kLateMount},
    // Searching does not bring the mount nearer, only the clock does, on each boot.
    {"LateVolumeListing", "x30 find /*; sleep 250; find /*; reboot; find /*; sleep 250; find /*",
     kLateMount},
};

INSTANTIATE_TEST_SUITE_P(Entries, ScriptTable, testing::ValuesIn(kEntryRows), RowName);

}  // namespace
}  // namespace platform_script
