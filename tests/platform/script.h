// Tables of platform calls. A row is a line of calls as a program on the device makes them, and
// what a user sees afterwards: each call's answer, what changed under root/ and in the folder
// outside it that its links point to, and the journal.
//
// A script is calls separated by "; ", in which "/" stands for "\" and "{Nc}" for N times c
// ("{Np}": N bytes of Pattern, "{Nw}": a WAV file of N ms). Files, devices, stores, partition
// searches, processes and heap blocks that a call gives are kept on a stack; a call that needs one
// takes the top, or "@N" counted from the bottom ("@null", "@inv", "@again": the one released
// last, "@bad": a pointer to the stack). What is still held when the script ends is released.
//   open P ACCESS DISP [sSHARE] [fATTRS]   CreateFileW, closed at once; ACCESS r w rw -,
//                                          DISP new always oa (open always) ex tr (truncate)
//   hold ...                               the same, kept (also for a driver, "hold PWR1: rw ex")
//   close | read N | readnull N | write [TEXT] | writenull TEXT | seek D [cur|end] [hHIGH] | size
//   find P        every name found, with its attributes where they are not plain ("f.txt[ha]"),
//                 "!" after a name whose call changed the last error
//   stat P        name, size, creation and last-write time in ms after the clock's start
//   attr P ATTRS  ATTRS of r h s a d n, "" for none
//   copy A B [fail] [p] [K=cancel|stop|quiet|flag] [limit=BYTES] [show]: p shows the bytes of
//                 each progress report ("s": the stream switch), K answers the K-th, limit is the
//                 host's file-size limit, show adds "=" and B's content afterwards
//   move A B | del P | mkdir P | rmdir P | play P | start P
//   alloc N [FLAGS] | free | ioctl CODE [INHEX|-] [OUTSIZE] | tstwritten (the test driver's data)
//   store [NAME] | part [CBSIZE|-] | partclose | now | local | leaks
//   held          handles, heap blocks, heap bytes, peak heap bytes
// and, answering nothing, the world around the calls: sleep MS, reboot, lay P [TEXT] (P ending
// in "/" a folder, "^P" outside), unlay P, grow P SIZE, touch P EPOCH_SECONDS, fork (the device
// goes on in ^forked, a copy whose files are hard links, as a forked sweep's child does). "xN
// CALL" makes the call N times ("N*ANSWER" when every answer is the same).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/ce.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"
#include "tests/support/test_driver.h"

namespace platform_script {

// A row's answers, the changes it leaves under root/ and outside ("+new=content ~changed=content
// -gone", "name/" a folder, "name@" a link, "^" outside) and its journal but the log entries
// ("event values@t", with "/" for "\") are kept in tests/golden/platform_NAME.log. An answer is
// "ok", "ok/183" for a success that set the last error, "!5" for a failure with 5, then ":output"
// where the call has one.
struct Row {
    std::string name;
    std::string script;
    // device.json; "tst": [faults] adds the test driver TST1: with those faults.
    std::string device = "{}";
};

void PrintTo(const Row &row, std::ostream *out);
std::string RowName(const testing::TestParamInfo<Row> &info);

class ScriptTable : public testing::TestWithParam<Row> {};

// Bytes that differ from chunk to chunk of 64 KiB, so that a partial copy shows what it holds.
std::string Pattern(size_t size);
// Content as the tables write it: short text as it is, else "{Nc}", "{Np}", "{Np^K}" (byte K
// inverted) or "<N bytes>".
std::string Show(const std::string &data);

// A device with the entries the tables work on:
//   d/f.txt "0123456789", d/g.txt "g", d/sub/x.txt "x", d/cue.wav (5 ms), d/app.exe "MZ", e/,
//   dir/{A.TXT,b.txt,c.dat,noext} "x", dir/Sub/, NAND/ok.txt "ok", and three entries that lead
//   out of the device folder: NAND/x links to ^secret.txt, NAND/d to ^dir (inner.txt, prog.exe,
//   cue.wav, sub/), NAND/pipe is a fifo; the volume vol links to ^dir as well. The device folder
//   itself lies beneath a symbolic link.
class World {
public:
    explicit World(const std::string &deviceJson = "{}");
    ~World();
    qs_test::TempDevice &device() { return *device_; }
    qs_test::TestDriver *driver() { return driver_; }
    const std::filesystem::path &outside() const { return outside_; }
    // Every entry under root/ and outside, with its content.
    std::map<std::string, std::string> Snapshot() const;

private:
    std::unique_ptr<qs_test::TempDevice> device_;
    std::filesystem::path outside_;
    qs_test::TestDriver *driver_ = nullptr;
};

std::string Changes(const std::map<std::string, std::string> &before,
                    const std::map<std::string, std::string> &after);
std::string Journal(qs_test::TempDevice &device);
// The answers of the lines Run gives, separated by " ".
std::string Answers(const qs_test::Lines &lines);

class Script {
public:
    explicit Script(World &world) : world_(world) {}
    ~Script() { Release(); }
    // One line a call: "CALL => ANSWER", or the call alone where it answers nothing; `around`
    // is called before (false) and after (true) the call of each index.
    qs_test::Lines Run(const std::string &script,
                       const std::function<void(size_t, bool)> &around = nullptr);
    void Release();

private:
    struct Held {
        void *value;
        char kind;  // h handle, p partition search, m heap block
    };
    struct Answer {
        bool ok;
        std::string out;
    };
    std::optional<Answer> Call(std::vector<std::string> &args);
    void *Take(const std::optional<std::string> &at);  // "N", "null", "inv", "again" or the top

    World &world_;
    std::vector<Held> held_;
    void *closed_ = nullptr;
};

}  // namespace platform_script
