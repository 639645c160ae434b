// Faults for chosen fallible calls of a boot: the calls that can fail on the device (files,
// folders, driver control codes, the store, the heap, program starts and cues) are numbered from
// 1 in the order the program makes them, and the chosen ones fail as the device would fail them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ce_host {

// One fallible call of the boot attached now (or of the last one).
struct FallibleCallRecord {
    std::string call;  // "ReadFile"
    std::string
        target;  // what it acted on: "\NAND\apps\a.dll", "PWR1: SET_OS_UPDATE_MODE 00000000"
    // The journal events the call made: [firstEvent, endEvent), empty for none (a sector transfer
    // merged into the run before it, a file call, or the injected fault, which journals only the
    // fault).
    size_t firstEvent = 0;
    size_t endEvent = 0;
};

// How the chosen calls fail. Torn: a DSK1: erase or sector write leaves the flash as a torn power
// cut leaves it (other calls fail as ever). Lasting: the call's place fails from then on, in this
// boot and every later one of the process, until the places are cleared.
struct FaultMode {
    bool torn = false;
    bool lasting = false;
};

// Which calls of every boot from now on fail: those numbered (from 1), or none, when the calls
// are only counted. It lasts until it is set again; Attach starts the count afresh.
void SetFailingCalls(std::set<uint64_t> numbers, FaultMode mode = {});
// The n-th call alone, or none.
void SetFailingCall(std::optional<uint64_t> n, FaultMode mode = {});
const std::set<uint64_t> &FailingCalls();

// The places of lasting faults, in the order they first failed: "DSK1: block 7" (an erase,
// sector read or sector write in it), "DeleteFileW \nand\apps\a.dll" (the call on the path,
// letter case folded), "DeviceIoControl PWR1: SET_OS_UPDATE_MODE 00000000" (the call and target).
std::vector<std::string> LastingPlaces();
void ClearLastingFaults();
// The place of a call on a path, or on two joined by " -> ", as the platform matches paths:
// letter case, slashes and the leading and trailing backslashes do not matter.
std::string PathPlace(const std::string &call, const std::string &paths);

// Called as each of the numbered fallible calls begins, before it is known whether it fails,
// with its number: a sweep forks there, and its child chooses the calls that fail. It lasts
// until it is set again; an empty hook calls nothing.
void SetCallHook(std::set<uint64_t> numbers, std::function<void(uint64_t n)> hook);

// The fallible calls made since Attach, in order.
const std::vector<FallibleCallRecord> &FallibleCalls();
// Attach calls it: every boot counts from 1.
void ResetFallibleCalls();

// The failing calls for one scope, restored to what they were after it.
class ScopedFailingCall {
public:
    explicit ScopedFailingCall(std::optional<uint64_t> n, FaultMode mode = {});
    explicit ScopedFailingCall(std::set<uint64_t> numbers, FaultMode mode = {});
    ~ScopedFailingCall();
    ScopedFailingCall(const ScopedFailingCall &) = delete;
    ScopedFailingCall &operator=(const ScopedFailingCall &) = delete;

private:
    std::set<uint64_t> previous_;
    FaultMode previousMode_;
};

// The last-error code the chosen call fails with (device names "XXXn:" for CreateFileW). The
// header stays free of the device's call surface, whose printf would replace the tools' own.
uint32_t InjectedError(const std::string &call, const std::string &target);

// Placed first in each fallible call: counts it, unless it is made by another fallible call of
// the layer (a copy's reads and writes), and tells whether it is the one to fail.
class FallibleCall {
public:
    // place: where a lasting fault of the call stays when the driver names a finer place than
    // the target ("DSK1: block 7"); the call and its target otherwise.
    FallibleCall(const char *call, std::string target, std::string place = {});
    ~FallibleCall();
    FallibleCall(const FallibleCall &) = delete;
    FallibleCall &operator=(const FallibleCall &) = delete;

    // True for a chosen call and for a call at the place of a lasting fault: its last error is
    // set and the fault journaled, and the caller returns its failure value without doing the
    // call's work (a torn one excepted).
    bool Fails();
    // The failing call tears what it changes.
    bool Torn() const { return torn_; }

private:
    std::string Place() const;

    std::optional<size_t> record_;  // none for a call made inside another
    std::string place_;
    bool torn_ = false;
};

// Calls that the program makes from a callback of a fallible call (a copy's progress routine)
// are its own: they count.
class ProgramCallback {
public:
    ProgramCallback();
    ~ProgramCallback();
    ProgramCallback(const ProgramCallback &) = delete;
    ProgramCallback &operator=(const ProgramCallback &) = delete;

private:
    int depth_;
};

}  // namespace ce_host
