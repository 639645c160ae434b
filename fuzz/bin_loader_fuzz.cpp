// The .BIN loader over any file: the input is the NK image file's bytes in the update folder.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_device.h"
#include "osupdate/OSUPDATE.h"
#include "osupdate/image_loader.h"

namespace {

const WCHAR kImage[] = TEXT("\\flashdisk\\K275D-Update\\R5nk_1.bin");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static qs_fuzz::FuzzDevice device;
    // Exactly the RAM image buffer, so that a byte written past it is caught.
    static BYTE *buffer = new BYTE[RAM_IMAGE_BUFFER_SIZE];

    qs_test::TempDevice &current = device.Begin();
    current.PutFile(qs_test::Narrow(kImage), qs_fuzz::Bytes(data, size));
    PathCopy(g_ImagePath, kImage);
    LoadOSImage(buffer);
    device.End();
    return 0;
}
