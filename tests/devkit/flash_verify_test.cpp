// Flash states laid out by hand, each with verify's report and the boot loader's view of it,
// against tests/golden/devkit_flash_verify.log.
#include <gtest/gtest.h>

#include "devkit/boot_loader_view.h"
#include "devkit/flash_verify.h"
#include "devkit/nb0_image.h"
#include "sim/config.h"
#include "tests/devkit/flash_layout.h"
#include "tests/support/expect.h"

namespace flash_verify_test {
namespace {

constexpr uint32_t kFirstBlockBytes = 63 * 2048;
// 35 further blocks and a bit: with 6 bad the image reaches past block 40.
constexpr uint32_t kLong = kFirstBlockBytes + 35 * 128 * 1024 + 5;
constexpr uint32_t kShort = kFirstBlockBytes + 1;

struct Row {
    const char *name;
    std::vector<uint32_t> bad;                          // marked before anything is laid
    uint32_t size;                                      // of the image
    std::vector<std::array<uint32_t, 3>> cleared = {};  // block, sector, byte cleared after
    // 1: no record covers bytes 100..199, which the loader fills with 0xFF; 2: and the flash
    // holds that fill there.
    int uncovered = 0;
    bool bootLoader = true;  // laid from the kit's .nb0 and verified against it
    bool nk = true;          // the TOC and the image laid
    uint32_t sectors = 0;    // ID[3]'s; 0: as the image needs
    uint32_t start = qs_test::kImageBase, launch = 0x80021000;  // ID[3]'s
};

const Row kRows[] = {
    {"as the writers lay it", {6, 40}, kLong},
    // With 6 bad: image byte 5 is in block 7 sector 1; the fourth further block is 11; the
    // block after the bad 40 is 41.
    {"first NK sector", {6, 40}, kLong, {{7, 1, 5}}},
    {"further block", {6, 40}, kLong, {{11, 12, 0x1F3}}},
    {"block after a bad one", {6, 40}, kLong, {{41, 0, 0}}},
    {"last image byte", {6, 40}, kLong, {{44, 0, 4}}},
    {"StepLoader checksum word", {6, 40}, kLong, {{0, 0, 8}}},
    {"StepLoader last sector", {6, 40}, kLong, {{0, 7, 0x7FF}}},
    {"EBoot", {6, 40}, kLong, {{3, 63, 0x10}}},
    {"sector 0 of the first NK block and past the image", {6, 40}, kLong, {{7, 0, 0}, {44, 0, 5}}},
    {"uncovered bytes, the flash not the fill", {}, kFirstBlockBytes + 3000, {}, 1},
    {"uncovered bytes, the flash the fill", {}, kFirstBlockBytes + 3000, {}, 2},
    {"EBoot block 2 bad", {2}, 1},
    {"load address", {}, kShort, {}, 0, false, true, 0, 0x80030000},
    {"jump address", {}, kShort, {}, 0, false, true, 0, qs_test::kImageBase, 0x80020000},
    {"sector count", {}, kShort, {}, 0, false, true, 0x6000},
    {"nothing laid", {}, 1, {}, 0, false, false},
    // ID[3] records sectors over an image of one byte.
    {"63 sectors", {}, 1, {}, 0, false, true, 63},
    {"64 sectors", {}, 1, {}, 0, false, true, 64},
    {"127 sectors, 6 bad", {6}, 1, {}, 0, false, true, 127},
    {"128 sectors, 6 and 8 bad", {6, 8}, 1, {}, 0, false, true, 128},
    {"to the flash's end", {}, 1, {}, 0, false, true, 63 + 41 * 64},
    {"one sector past it", {}, 1, {}, 0, false, true, 63 + 41 * 64 + 1},
};

std::string Numbers(const std::vector<uint32_t> &numbers)
{
    std::string text;
    for (uint32_t number : numbers)
        text += " " + std::to_string(number);
    return text;
}

TEST(FlashVerify, StatesAndVerdicts)
{
    const std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    qs_test::Lines lines;
    for (const Row &row : kRows) {
        auto array = sim::FlashArray::InMemory(48);
        array->MarkBad(row.bad);
        qs_test::HandFlash hand(*array);
        sim::FlashDriver driver(sim::FlashConfig{}, std::move(array));
        qs_test::NkOnFlash nk{qs_test::PatternBytes(row.size, 11), row.start, row.launch,
                              row.sectors};
        devkit::LoadedBinImage loaded{qs_test::kImageBase, row.size, 0x80021000, {}, {}, {}};
        loaded.bytes = nk.image;
        loaded.covered.assign(row.size, true);
        for (size_t i = 100; row.uncovered && i < 200; ++i) {
            loaded.covered[i] = false;
            loaded.bytes[i] = 0xFF;
            nk.image[i] = row.uncovered == 2 ? 0xFF : nk.image[i];
        }
        if (row.bootLoader)
            hand.LayBootLoader(nb0);
        if (row.nk)
            hand.LayNk(nk);
        for (auto [block, sector, byte] : row.cleared)
            hand.ClearByte(block, sector, byte);

        using Nb0 = std::optional<std::span<const uint8_t>>;
        devkit::VerifyReport report =
            devkit::VerifyFlash(driver, loaded, row.bootLoader ? Nb0(nb0) : std::nullopt);
        lines.push_back(std::string("== ") + row.name + "\r\n");
        for (const std::string &passed : report.passed)
            lines.push_back("ok    " + passed + "\r\n");
        lines.push_back("FAIL  " + report.failure.value_or("none") + "\r\n");
        if (const auto &d = report.difference)
            lines.push_back(d->part + " at" + Numbers({d->place.block, d->place.sector}) + " 0x" +
                            qs_test::Hex(d->place.byte) + ": flash 0x" + qs_test::Hex(d->flash) +
                            ", image 0x" + qs_test::Hex(d->image) + "\r\n");
        lines.push_back("compared " + std::to_string(report.nkBytesCompared) + ", filled " +
                        std::to_string(report.nkBytesFilled) + "\r\n");

        devkit::BootLoaderView view = devkit::ViewBootLoader(driver);
        std::string seen = "StepLoader sum 0x" + qs_test::Hex(view.stepLoader.checksum) +
                           (view.stepLoader.checksumMatches ? " matches" : " differs") + "; EBoot" +
                           Numbers(view.eboot.blocks) + ", skipping" + Numbers(view.eboot.skipped);
        if (const auto &nk = view.nk)
            seen += "; NK " + std::to_string(nk->sectors) + " sectors in" + Numbers(nk->blocks) +
                    ", skipping" + Numbers(nk->skipped) + ", " +
                    nk->unreadable.value_or("readable");
        lines.push_back(seen + "\r\n");
    }
    qs_test::ExpectGoldenLog(lines, "devkit_flash_verify");
}

}  // namespace
}  // namespace flash_verify_test
