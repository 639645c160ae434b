#include "devkit/flash_verify.h"

#include <cstdio>
#include <cstring>

#include "devkit/device_view.h"
#include "devkit/nb0_image.h"
#include "sim/error.h"

namespace devkit {

namespace {

std::string ByteHex(uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string DifferenceText(const FlashDifference &difference)
{
    return difference.part + " block " + std::to_string(difference.place.block) + " sector " +
           std::to_string(difference.place.sector) + " byte " + Hex(difference.place.byte) +
           " differs: flash " + ByteHex(difference.flash) + ", image " + ByteHex(difference.image);
}

class Verifier {
public:
    Verifier(sim::FlashDriver &driver, VerifyReport &report)
        : driver_(driver), flash_(driver.Flash()), report_(report)
    {
    }

    // Compares whole sectors of a block, from its first sector on, with the expected bytes.
    bool CompareSectors(const std::string &part, uint32_t block, std::span<const uint8_t> expected)
    {
        for (uint32_t sector = 0; sector * sim::kSectorDataSize < expected.size(); ++sector) {
            auto flash = flash_.Sector(block * sim::kSectorsPerBlock + sector);
            auto image = expected.subspan(sector * sim::kSectorDataSize, sim::kSectorDataSize);
            for (uint32_t byte = 0; byte < image.size(); ++byte)
                if (flash[byte] != image[byte])
                    return Differ({part, {block, sector, byte}, flash[byte], image[byte]});
        }
        return true;
    }

    bool Differ(const FlashDifference &difference)
    {
        report_.difference = difference;
        return Fail(DifferenceText(difference));
    }

    bool Fail(const std::string &line)
    {
        report_.failure = line;
        return false;
    }

    void Pass(const std::string &line) { report_.passed.push_back(line); }

    bool CheckBootLoader(std::span<const uint8_t> nb0)
    {
        if (nb0.size() != kNb0Size)
            throw sim::DeviceError("the .nb0 holds " + std::to_string(nb0.size()) + " bytes, not " +
                                   Hex(kNb0Size));
        std::vector<uint8_t> stepLoader(nb0.begin(), nb0.begin() + kStepLoaderSize);
        // The flash writer stores the checksum whatever the file's word says.
        StoreWord(stepLoader, kStepLoaderChecksumOffset, StepLoaderChecksum(stepLoader));
        if (!CompareSectors("StepLoader", 0, stepLoader))
            return false;
        Pass("StepLoader: block 0 sectors 0-7 match, checksum " +
             Hex(ReadWord(stepLoader, kStepLoaderChecksumOffset)));
        EbootBlocks eboot = FindEbootBlocks(flash_);
        if (eboot.blocks.size() < kEbootBlocks)
            return Fail("EBoot: blocks 1-4 hold " + std::to_string(eboot.blocks.size()) +
                        " good blocks, not " + std::to_string(kEbootBlocks));
        std::string blocks;
        for (uint32_t index = 0; index < kEbootBlocks; ++index) {
            auto expected = nb0.subspan(kStepLoaderSize + index * kEbootBlockSize, kEbootBlockSize);
            if (!CompareSectors("EBoot", eboot.blocks[index], expected))
                return false;
            blocks += (index ? ", " : "") + std::to_string(eboot.blocks[index]);
        }
        Pass("EBoot: blocks " + blocks + " match");
        return true;
    }

    bool CheckToc(const TocRecord &toc, const LoadedBinImage &nk)
    {
        if (std::optional<TocCheck> refusal = TocRefusal(toc))
            return Fail("TOC: refused by TOC_Read (" + std::string(TocCheckName(*refusal)) +
                        "): " + TocRefusalReason(*refusal, toc));
        Pass("TOC: accepted by TOC_Read");
        const TocImage &image = toc.images[kNkImageIndex];
        const uint32_t sectors =
            nk.length / sim::kSectorDataSize + (nk.length % sim::kSectorDataSize ? 1 : 0);
        struct Field {
            const char *name;
            uint32_t flash;
            uint32_t expected;
        };
        for (const Field &field : {Field{"dwSignature", image.signature, kNkSignature},
                                   Field{"dwImageType", image.imageType, kNkImageType},
                                   Field{"dwLoadAddress", image.loadAddress, nk.start},
                                   Field{"dwJumpAddress", image.jumpAddress, nk.launch},
                                   Field{"dwTtlSectors", image.sectors, sectors}})
            if (field.flash != field.expected)
                return Fail(std::string("ID[3] ") + field.name + " is " + Hex(field.flash) +
                            ", the image needs " + Hex(field.expected));
        Pass("ID[3]: CFSH, type 8, load " + Hex(nk.start) + ", jump " + Hex(nk.launch) + ", " +
             std::to_string(sectors) + " sectors");
        return true;
    }

    bool CheckNk(const TocRecord &toc, const LoadedBinImage &nk)
    {
        NkRegion region = LocateNkImage(driver_, toc);
        if (region.unreadable)
            return Fail("NK: " + *region.unreadable);
        // A sector's data bytes at a time: an image's bytes run on within a sector.
        for (uint64_t offset = 0; offset < nk.length;) {
            FlashPlace place = NkPlace(region, offset);
            auto data = flash_.Sector(place.block * sim::kSectorsPerBlock + place.sector);
            uint64_t run =
                std::min<uint64_t>(sim::kSectorDataSize - place.byte, nk.length - offset);
            if (std::memcmp(data.data() + place.byte, nk.bytes.data() + offset, run) != 0) {
                while (data[place.byte] == nk.bytes[offset])
                    place = NkPlace(region, ++offset);
                return Differ({"NK", place, data[place.byte], nk.bytes[offset]});
            }
            offset += run;
        }
        report_.nkBytesCompared = nk.length;
        report_.nkBytesFilled = nk.length - nk.covered;
        Pass("NK: blocks " + std::to_string(region.blocks.front()) + "-" +
             std::to_string(region.blocks.back()) + " match the image's " +
             std::to_string(nk.length) + " bytes");
        return true;
    }

private:
    sim::FlashDriver &driver_;
    const sim::FlashArray &flash_;
    VerifyReport &report_;
};

}  // namespace

VerifyReport VerifyFlash(sim::FlashDriver &driver, const LoadedBinImage &nk,
                         std::optional<std::span<const uint8_t>> nb0)
{
    VerifyReport report;
    Verifier verifier(driver, report);
    if (nb0 && !verifier.CheckBootLoader(*nb0))
        return report;
    std::optional<TocRecord> toc = ViewBootLoader(driver).toc;
    if (!toc) {
        verifier.Fail("TOC: the flash ends before block 5");
        return report;
    }
    if (verifier.CheckToc(*toc, nk))
        verifier.CheckNk(*toc, nk);
    return report;
}

VerifyReport VerifyDevice(const std::filesystem::path &folder, const std::filesystem::path &nkBin,
                          const std::optional<std::filesystem::path> &nb0)
{
    LoadedBinImage nk = ReadBinImageFile(nkBin);
    std::optional<std::vector<uint8_t>> bootLoader;
    if (nb0)
        bootLoader = ReadFileBytes(*nb0, kNb0Size);
    if (bootLoader && bootLoader->size() != kNb0Size)
        throw sim::DeviceError(nb0->string() + " holds " + std::to_string(bootLoader->size()) +
                               " bytes, not " + Hex(kNb0Size));
    std::unique_ptr<sim::FlashDriver> driver = OpenDeviceFlash(folder);
    if (!driver)
        throw sim::DeviceError(folder.string() + ": the flash was never written (no nand.bin)");
    if (bootLoader)
        return VerifyFlash(*driver, nk, std::span<const uint8_t>(*bootLoader));
    return VerifyFlash(*driver, nk, std::nullopt);
}

}  // namespace devkit
