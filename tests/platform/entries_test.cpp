// Entries by path: searches, moves, folders, deletes, the paths the device accepts, entries that
// lead out of the device folder, and a volume that mounts late.
#include "tests/platform/script.h"

namespace platform_script {
namespace {

std::string Repeat(const std::string &text, int times, const std::string &separator)
{
    std::string out = text;
    for (int i = 1; i < times; ++i)
        out += separator + text;
    return out;
}

std::string Refused(const std::string &entry, bool link, int times)
{
    return Repeat("violation files " + entry +
                      (link ? " is a symbolic link" : " is not a file or folder") +
                      "; the device's folder is never left through it",
                  times, "|");
}

const std::string kAll = ".,..,A.TXT,b.txt,c.dat,noext,Sub";
const std::string kOrder =
    "lay /o/m.txt; lay /o/k.txt; open /o/z.txt w new f; "
    "open /o/a.txt w new f; mkdir /o/b; move /o/z.txt /o/c.txt; find /o/*";
const std::string kOrderChanges = "+o/ +o/a.txt= +o/b/ +o/c.txt= +o/k.txt= +o/m.txt=";
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
const std::string kLateBefore = "!2 !3 !2 !3 !3 !3 !3 !3 !2 !3 !2 !3 !3 !3 !3 !3 !3 !3 !2";
const std::string kLateMount = R"({"files": {"mount_after_ms": {"D": 250}}})";

const Row kEntryRows[] = {
    {"FindWildcards",
     "find /dir/*; find dir/*.*; find /DIR/*.txt; find /dir/?.tXt; find /dir/??ext; "
     "find /dir/noext.*; find /dir/sub/*; find /*",
     "ok/18:" + kAll + " ok/18:" + kAll +
         " ok/18:A.TXT,b.txt ok/18:A.TXT,b.txt ok/18:noext ok/18:noext ok/18:.,.. "
         "ok/18:d,dir,e,NAND"},
    {"FindByName", "find /dir/NOEXT; find /dir/sub; find /dir; find /dir/*.zip; find /dir/gone",
     "ok/18:noext ok/18:Sub ok/18:dir !2 !2"},
    // Only the folder calls take a trailing backslash.
    {"FindRefusals", "find /nodir/*; find /d*/*; find /dir/; find /dir/sub/; find /nodir/; find /",
     "!3 !123 !2 !2 !2 !2"},
    {"FindOrderName", kOrder, "ok ok ok ok ok/18:a.txt[a],b,c.txt[a],k.txt,m.txt", kOrderChanges,
     "", Order("name")},
    {"FindOrderReverse", kOrder, "ok ok ok ok ok/18:m.txt,k.txt,c.txt[a],b,a.txt[a]", kOrderChanges,
     "", Order("reverse")},
    // Entries laid on disk come first; a rename keeps its entry's place.
    {"FindOrderCreated", kOrder, "ok ok ok ok ok/18:k.txt,m.txt,c.txt[a],a.txt[a],b", kOrderChanges,
     "", Order("created")},
    {"Moves", "move /D/F.txt /e/New.txt; move /d/g.txt /d/G.TXT; lay /t/u/v.txt v; move /t /e/t2",
     "ok ok ok",
     "+d/G.TXT=g -d/f.txt -d/g.txt +e/New.txt=0123456789 +e/t2/ +e/t2/u/ +e/t2/u/v.txt=v"},
    {"MoveRefusals",
     "move /d/none /d/n; move /d/f.txt /d/G.TXT; move /d/f.txt /no/f; move /d /d/sub/d; "
     "copy /d/f.txt /D/F.TXT",
     "!2 !183 !3 !5 !32"},
    {"Folders",
     "mkdir /d/New/; mkdir /D/SUB; mkdir /no/x; rmdir /E; rmdir /d/sub; rmdir /none; "
     "rmdir /d/f.txt",
     "ok !183 !3 ok !145 !2 !267", "+d/New/ -e/"},
    {"Deletes", "del /d/sub; del /d/none; del /no/f.txt; del /d/g.txt", "!5 !2 !3 ok", "-d/g.txt"},
    // Each component is matched without regard to case; a new entry keeps its own.
    {"LetterCase",
     "mkdir Update; hold /UPDATE/NewName.Bin w new; write abc; close; hold update/newname.bin r "
     "ex; "
     "read 4; open /D/SUB/X.TXT r ex; open /D/Sub/New.Txt w new; find D/sub",
     "ok ok ok:3 ok ok ok:abc ok ok ok/18:sub", "+Update/ +Update/NewName.Bin=abc +d/sub/New.Txt="},
    // A path of 260 characters or more is refused, counted with the leading backslash.
    {"Lengths",
     "open /d/sub/{252n} r ex; open /d/sub/{253n} r ex; open d/sub/{252n} r ex; "
     "open d/sub/{253n} r ex",
     "!2 !206 !2 !206"},
    {"Names",
     "open /d/a:b w new; open /d/a\tb w new; open /d/*.txt r ex; open /d/f.txt/ r ex; "
     "open /d/../.. r ex; find /d/./sub; find /d?/x.txt; find /d/a\"b; find /d/a<b>; "
     "find /d/a|b; open /d/missing/x.txt r ex; open /d/sub/x.txt/x r ex",
     "!123 !123 !123 !123 !123 !123 !123 !123 !123 !123 !3 !3"},
    // Links and special files below root/ are refused and journaled; the outside is untouched.
    {"LinkToAFile",
     "open /NAND/x r ex; open /NAND/X w ex; open /NAND/x w always; open /NAND/x w oa; "
     "open /NAND/x w tr; copy /NAND/ok.txt /NAND/x; copy /NAND/x /NAND/copy.txt; del /NAND/x; "
     "move /NAND/x /NAND/y; move /NAND/ok.txt /NAND/x; attr /NAND/x r; find /NAND/x",
     Repeat("!5", 12, " "), "", Refused("/NAND/x", true, 12)},
    {"LinkToAFolder",
     "open /NAND/d/inner.txt r ex; open /nand/D/new.txt w new; copy /NAND/ok.txt /NAND/d/c; "
     "del /NAND/d/inner.txt; move /NAND/ok.txt /NAND/d/o; attr /NAND/d/inner.txt n; "
     "rmdir /NAND/d/sub; rmdir /NAND/d/; mkdir /NAND/d/n; find /NAND/d/*; start /NAND/d/prog.exe; "
     "play /NAND/d/cue.wav; open /NAND/d r ex",
     Repeat("!5", 13, " "), "",
     Refused("/NAND/d", true, 11) + "|process /NAND/d/prog.exe false|" +
         Refused("/NAND/d", true, 1) + "|sound /NAND/d/cue.wav false|" +
         Refused("/NAND/d", true, 1)},
    {"Fifo", "open /NAND/pipe r ex; del /NAND/pipe; open /NAND/pipe/x r ex", "!5 !5 !5", "",
     Refused("/NAND/pipe", false, 3)},
    // A volume that is a link is refused as a whole, even where a call would only read.
    {"LinkedVolume", "open /vol/inner.txt r ex; del /vol/inner.txt", "!5 !5", "",
     Refused("/vol", true, 2)},
    // A search lists only plain files and folders: every other call refuses the rest.
    {"SearchLeavesOutLinks", "find /NAND/*", "ok/18:.,..,ok.txt"},
    // Keys of the entries beneath NAND/a start "\nand\a\"; neighbours that sort just before,
    // after or among them keep their attributes when the folder is made again.
    {"RecordsOfAFolderMadeAgain",
     "lay /NAND/a/f.txt; lay /NAND/a/b/g.txt; lay /NAND/a!; lay /NAND/a.txt; lay /NAND/a[; "
     "lay /NAND/a]/x.txt; lay /NAND/a]b; lay /NAND/ab; lay /NAND/b/a/y; attr /NAND/a/f.txt h; "
     "attr /NAND/a/b h; attr /NAND/A/B/G.txt h; attr /NAND/a! h; attr /NAND/a.txt h; "
     "attr /NAND/a[ h; attr /NAND/a]/x.txt h; attr /NAND/a]b h; attr /NAND/ab h; "
     "attr /NAND/b/a/y h; attr /NAND/a h; unlay /NAND/a; mkdir /NAND/A; lay /NAND/A/f.txt; "
     "lay /NAND/A/b/g.txt; find /NAND/*; find /NAND/a/*; find /NAND/a/b/*; find /NAND/a]/*; "
     "find /NAND/b/a/*",
     Repeat("ok", 12, " ") +
         " ok/18:.,..,A,a![h],a.txt[h],a[[h],a],a]b[h],ab[h],b,ok.txt "
         "ok/18:.,..,b,f.txt ok/18:.,..,g.txt ok/18:.,..,x.txt[h] ok/18:.,..,y[h]",
     "+NAND/A/ +NAND/A/b/ +NAND/A/b/g.txt= +NAND/A/f.txt= +NAND/a!= +NAND/a.txt= +NAND/a[= "
     "+NAND/a]/ +NAND/a]/x.txt= +NAND/a]b= +NAND/ab= +NAND/b/ +NAND/b/a/ +NAND/b/a/y="},
    // A late volume is missing for every call until the clock reaches its mount time; then each
    // call does what it does on any folder.
    {"LateVolume",
     "lay /d/empty/; lay /e/w.txt w; " + kLate + "; sleep 249; " + kLate + "; sleep 1; " + kLate,
     kLateBefore + " " + kLateBefore +
         " ok/18:d ok/18:f.txt,g.txt !5 ok ok ok ok ok !183 ok !145 ok ok ok ok ok ok ok ok",
     "-d/ -d/app.exe -d/cue.wav -d/f.txt -d/g.txt -d/sub/ -d/sub/x.txt +e/v/ +e/v/app.exe=MZ "
     "+e/v/cue.wav=<84 bytes> +e/v/f.txt=0123456789 +e/v/new/ +e/v/new.txt= +e/v/sub/ "
     "+e/v/w.txt=w +e/v/w2.txt=w +e/x.txt=x +e/y.txt=0123456789",
     "process /d/app.exe false|sound /d/cue.wav false|sleep 249|process /d/app.exe false@249|"
     "sound /d/cue.wav false@249|sleep 1@249|process /d/app.exe true@250|sound /d/cue.wav true@250",
     kLateMount},
    // Searching does not bring the mount nearer, only the clock does, on each boot.
    {"LateVolumeListing", "x30 find /*; sleep 250; find /*; reboot; find /*; sleep 250; find /*",
     "30*ok/18:dir,e,NAND ok/18:d,dir,e,NAND ok/18:dir,e,NAND ok/18:d,dir,e,NAND", "", "sleep 250",
     kLateMount},
};

INSTANTIATE_TEST_SUITE_P(Entries, ScriptTable, testing::ValuesIn(kEntryRows), RowName);

}  // namespace
}  // namespace platform_script
