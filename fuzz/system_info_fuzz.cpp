// The system-information file's name back into the TOC: the TOC on the flash has no serial, and
// \NAND holds "M7LITE_<input>.sys" (a host name: '/' and NUL become '_', at most 255 bytes).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_device.h"
#include "shell/system_info.h"
#include "toc/toc.h"

namespace {

constexpr size_t kLongestHostName = 255;
const std::string kPrefix = "M7LITE_", kSuffix = ".sys";

// The record TOC_Init builds, as the TOC writer leaves it in sector 320: no serial.
std::vector<uint8_t> DefaultTocSector()
{
    ResetShellState();
    TOC_Init();
    std::vector<uint8_t> record(reinterpret_cast<const uint8_t *>(&g_TOC),
                                reinterpret_cast<const uint8_t *>(&g_TOC) + sizeof(g_TOC));
    for (uint8_t byte : {0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF})
        record.push_back(byte);
    return record;
}

std::string HostName(const uint8_t *data, size_t size)
{
    std::string middle = qs_fuzz::Bytes(data, size);
    std::replace(middle.begin(), middle.end(), '/', '_');
    std::replace(middle.begin(), middle.end(), '\0', '_');
    middle.resize(std::min(middle.size(), kLongestHostName - kPrefix.size() - kSuffix.size()));
    return kPrefix + middle + kSuffix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static qs_fuzz::FuzzDevice device;
    static const std::vector<uint8_t> tocSector = DefaultTocSector();

    qs_test::TempDevice &current = device.Begin();
    std::filesystem::remove_all(current.Host("\\NAND"));
    current.PutFolder("\\NAND");
    // Only the name counts: the shell never reads the file.
    std::ofstream(current.Host("\\NAND") / HostName(data, size));
    device.WriteSector(TOC_SECTOR, tocSector);

    CheckSystemInfo();

    // Whatever the name held, the TOC left on the flash is one the shell accepts at the next start.
    HANDLE disk =
        CreateFileW(TEXT("DSK1:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ResetShellState();
    if (!TOC_Read(disk))
        qs_fuzz::Finding("the TOC left on the flash is refused: " + HostName(data, size));
    CloseHandle(disk);
    device.End();
    return 0;
}
