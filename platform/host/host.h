// The host platform's own surface: what the runner and the tests use around the shell's calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sim {
class Device;
}

namespace ce_host {

// Every call of platform/ce.h acts on the attached device. Attaching starts a fresh boot: the
// handle and heap bookkeeping and the last-error code start empty.
void Attach(sim::Device &device);
void Detach();
sim::Device &AttachedDevice();  // aborts when nothing is attached

// The attached device goes on in a copy of its folder whose files are hard links to the ones it
// had (a forked sweep's child): its open files are opened again there, and from now on a file
// shared so is copied before anything changes it in place, so that the other folder keeps its
// bytes. Throws sim::DeviceError when a file cannot be opened again.
void MoveToLinkedCopy(const std::filesystem::path &folder);

enum class HandleKind { File, Search, Device, Store, PartitionSearch, Process };
const char *HandleKindName(HandleKind kind);

struct Holdings {
    size_t handles = 0;
    size_t heapBlocks = 0;
    uint64_t heapBytes = 0;
    uint64_t peakHeapBytes = 0;  // the most held at once since Attach
};
Holdings Held();

// One line for each handle and heap block still held ("file \NAND\x.txt", "heap 512 bytes").
std::vector<std::string> DescribeHeld();
// Journals a leak event for each of them and returns how many there were.
size_t ReportLeaks();

}  // namespace ce_host
