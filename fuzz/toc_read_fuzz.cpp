// TOC_Read over any sector 320: the input is its 2048 data bytes and 8-byte SectorInfo (erased
// bytes after a shorter input). An accepted record is dumped, and the system-information check
// then works from it as a boot does: its serial names the file it may create in \NAND.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "fuzz/fuzz_device.h"
#include "shell/system_info.h"
#include "toc/toc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static qs_fuzz::FuzzDevice device;

    qs_test::TempDevice &current = device.Begin();
    std::filesystem::remove_all(current.Host("\\NAND"));
    current.PutFolder("\\NAND");
    device.WriteSector(TOC_SECTOR, {data, size});

    HANDLE disk =
        CreateFileW(TEXT("DSK1:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (disk == INVALID_HANDLE_VALUE)
        qs_fuzz::Finding("DSK1: cannot be opened");
    if (TOC_Read(disk))
        TOC_Print();
    CloseHandle(disk);
    ResetShellState();
    CheckSystemInfo();
    device.End();
    return 0;
}
