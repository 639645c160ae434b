// The signature trailer and CRC checks over any image and side file. The first byte's low four
// bits give the side file's length (15: no side file), the bytes after it are the side file, the
// rest is the image.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_device.h"
#include "osupdate/image_check.h"

namespace {

const WCHAR kImage[] = TEXT("\\flashdisk\\K275D-Update\\R5boot_1.nb0");
constexpr uint8_t kNoSideFile = 15;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static qs_fuzz::FuzzDevice device;
    if (size == 0)
        return 0;

    qs_test::TempDevice &current = device.Begin();
    uint8_t sideLength = data[0] & 0x0F;
    size_t side = sideLength == kNoSideFile ? 0 : std::min<size_t>(sideLength, size - 1);
    const std::string image = qs_test::Narrow(kImage);
    current.PutFile(image, qs_fuzz::Bytes(data + 1 + side, size - 1 - side));
    std::filesystem::remove(current.Host(image + ".crc"));
    if (sideLength != kNoSideFile)
        current.PutFile(image + ".crc", qs_fuzz::Bytes(data + 1, side));

    CheckImageSignature(kImage);
    CheckCRCFile(kImage);
    device.End();
    return 0;
}
