// What one boot did, as the device saw it: read back from the boot's journal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devkit/bin_image.h"
#include "sim/flash_driver.h"
#include "sim/journal.h"

namespace qs_tools {

struct BootSummary {
    std::optional<uint8_t> bootKey;  // none when the query was not answered
    std::vector<std::string> cues;   // base names in the order played
    bool restartRequested = false;
    uint64_t restartAtMs = 0;        // virtual time of the request
    std::optional<bool> osUpdate;    // none when no image update ran; else its result
    std::optional<bool> bootLoader;  // none when no boot loader was offered; else written
    // The shell's lines that say what failed, as printed but for the line end.
    std::string osUpdateFailure;
    std::string bootLoaderFailure;
    std::string nkImage;  // the device paths of the images the shell chose
    std::string bootLoaderImage;
    bool signatureRefused = false;
    // The images whose update signature the safe shell logged as verified (device paths).
    std::vector<std::string> signaturesVerified;
    std::optional<devkit::BinTrailer> refusedTrailer;  // not journaled: the runner reads it
    std::vector<uint32_t> blocksWritten;               // flash blocks programmed, ascending
    std::vector<uint32_t> blocksSkipped;               // blocks an image writer passed over as bad
    std::vector<std::string> flashRefused;             // "the erase of block 0", in order
    std::optional<bool> appData;  // none when no installation ran; else its result
    std::string appDataDetail;    // how the installation went, from the shell's lines
    std::string appDataFailure;   // the shell's line that says what failed
    uint32_t brailleWrites = 0;   // lines the braille display took
    std::string lastBrailleLine;  // the last of them as Unicode braille
    std::optional<std::string> programStarted;
    std::vector<std::string> programsFailed;
    std::optional<uint32_t> appExecuteFlag;  // the word the power controller took
    std::string shell = "standard";          // the runner's too: the shell that booted
    uint64_t heapPeakBytes = 0;              // not journaled: the runner fills it in
    sim::FlashUsage flash;                   // the same: the flash driver's counts and time
    std::vector<std::string> held;           // what the bookkeeping found still held
    std::vector<std::string> misused;        // "ReadFile: ..." for each misused call
    std::vector<std::string> flagsLeftOn;    // what the flash said about each flag still on
    std::vector<std::string> violations;     // "DSK1: ..." for each other thing the device forbids
    // Not journaled: why the flash starts nothing before the boot and after it, when the runner
    // was asked to judge and it does.
    std::optional<std::string> deadBefore;
    std::optional<std::string> deadAfter;
    // Not journaled either: whether the flash the boot leaves holds each offered image the shell
    // took up, judged as quordev verify judges it, and the first difference where it does not.
    std::optional<bool> bootLoaderOnFlash;
    std::optional<bool> nkOnFlash;
    std::string bootLoaderDifference;
    std::string nkDifference;
};

// quorshell's exit status for a boot that ran: 0 when it was clean, else the sum of these bits.
// 1 (the tool could not boot the folder) and 2 (a wrong command line) never combine with them.
// The six bits add up to at most 252, within the byte an exit status carries; as bits 1 and 2
// never join them, a sum is never 126 or 127, which a shell keeps for a program it cannot run.
// A shell shows a program that signal N killed as 128 + N as well; the summary tells them apart,
// as a killed quorshell prints none.
constexpr int kExitHeld = 4;         // a handle or heap block still held when the shell returned
constexpr int kExitMisuse = 8;       // a call the device does not allow in that form
constexpr int kExitFlagLeftOn = 16;  // an FMD flag still on when the shell returned
constexpr int kExitViolation = 32;   // a protected write or erase, or another forbidden access
// An offered NK image or boot loader that the shell reported not written, or that the flash the
// boot leaves does not hold whatever the shell reported.
constexpr int kExitUpdateFailed = 64;
constexpr int kExitAppDataFailed = 128;  // the offered application data failed to install
int BootExitStatus(const BootSummary &summary);

// Reads the power controller's control codes, the cues, the program starts and the leaks.
BootSummary SummarizeJournal(const std::vector<sim::Journal::Event> &events);
std::string FormatSummary(const BootSummary &summary);

// The flash blocks a boot erased or programmed, ascending, the one a power cut left changed
// included.
std::vector<uint32_t> ChangedBlocks(const std::vector<sim::Journal::Event> &events);

// The bytes of a journal buffer ("ecac0000").
std::vector<uint8_t> FromHex(const std::string &hex);
// "\flashdisk\K275D-Update\R5nk_1.bin" -> "R5nk_1.bin"
std::string DeviceFileName(const std::string &devicePath);
// "\windows\success.wav" -> "success"
std::string CueName(const std::string &devicePath);
// "3.012 s" from microseconds, to the millisecond.
std::string SecondsText(uint64_t us);
// "0xACEC", or "0".
std::string FlagText(uint32_t word);

}  // namespace qs_tools
