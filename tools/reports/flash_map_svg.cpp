#include "tools/reports/flash_map_svg.h"

#include <algorithm>
#include <cstdio>

#include "devkit/nb0_image.h"
#include "devkit/staged_file.h"
#include "sim/error.h"
#include "tools/reports/svg_text.h"

namespace qs_tools {

namespace {

namespace fs = std::filesystem;
using devkit::FlashRegion;

struct Colours {
    const char *written;
    const char *erased;
};

// Written colours lightness steps apart (CIELAB L* 18, 45, 80, 57), so that a grey print still
// tells the regions apart; an erased block is a pale tint (L* above 90).
Colours RegionColours(FlashRegion region)
{
    switch (region) {
        case FlashRegion::StepLoader:
            return {"#3f007d", "#efe8f5"};
        case FlashRegion::EBoot:
            return {"#137a5f", "#eaf5f1"};
        case FlashRegion::Toc:
            return {"#f2c12e", "#fbf2d5"};
        case FlashRegion::Nk:
            break;
    }
    return {"#3d8fcc", "#e9f0f8"};
}
// A bad block is crossed: white on dark when bad from the factory, red on pale when marked bad
// since, the two far apart in grey too.
struct BadLook {
    const char *fill, *cross;
    bool framed;  // in the cross's colour, so that a small pale cell still stands out
};
constexpr BadLook kFactoryBad{"#333333", "#ffffff", false}, kGrownBad{"#fde0dd", "#d62728", true};

std::string Format(const char *format, auto... values)
{
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// What a block holds, as the boot loader and the writers see it.
struct BlockFacts {
    FlashRegion region;
    uint32_t status;
    bool erased, factoryBad, loaded;
    std::string holds;  // "StepLoader", "EBoot boot loader, part 2 of 4", "free", ...
};

bool Bad(const BlockFacts &block)
{
    return block.factoryBad || (block.status & sim::FlashDriver::kStatusBad);
}

// The part each block plays: the boot loader's, the TOC's, the NK image's that ID[3] places, or
// none.
std::vector<std::string> Parts(const devkit::FlashView &flash)
{
    std::vector<std::string> parts(flash.blocks);
    if (flash.blocks > 0)
        parts[0] = "StepLoader (the first 16 KiB of the boot loader)";
    const auto &eboot = flash.bootLoader.eboot.blocks;
    for (size_t i = 0; i < eboot.size(); ++i)
        parts[eboot[i]] = Format("EBoot boot loader, part %zu of %u", i + 1, devkit::kEbootBlocks);
    if (flash.blocks > devkit::kFirstNkBlock - 1)
        parts[devkit::kFirstNkBlock - 1] = "TOC";
    // A region the boot loader cannot read, or that nothing was ever written to (the factory
    // TOC's ID[3]), holds no image.
    const auto &nk = flash.bootLoader.nk;
    const auto written = [&](uint32_t block) { return ErasedBlocks(flash, block, block).empty(); };
    if (nk && !nk->unreadable && std::any_of(nk->blocks.begin(), nk->blocks.end(), written))
        for (size_t i = 0; i < nk->blocks.size(); ++i)
            parts[nk->blocks[i]] =
                Format("NK image of ID[3], part %zu of %zu", i + 1, nk->blocks.size());
    for (std::string &part : parts)
        if (part.empty())
            part = "free";
    return parts;
}

// The boot loader's way to the image: the StepLoader when its checksum holds, then the EBoot
// blocks, the TOC and the NK blocks, each as far as the step before it succeeded. An erased
// block holds nothing to load.
bool Loaded(const FlashJudgement &judgement, const std::string &part, FlashRegion region)
{
    if (!judgement.stepLoaderChecksumOk || part == "free")
        return false;
    if (region == FlashRegion::StepLoader)
        return true;
    if (judgement.bootLoader == ImageMatch::Neither)
        return false;
    if (region == FlashRegion::EBoot)
        return true;
    return judgement.tocAccepted &&
           (region == FlashRegion::Toc || judgement.nk != ImageMatch::Neither);
}

std::vector<BlockFacts> Blocks(const devkit::FlashView &flash, const BootReading &reading)
{
    std::vector<std::string> parts = Parts(flash);
    std::vector<BlockFacts> blocks;
    for (const devkit::BlockRun &run : flash.map)
        for (uint32_t block = run.first; block <= run.last; ++block) {
            bool factoryBad =
                std::count(reading.factoryBad.begin(), reading.factoryBad.end(), block) > 0;
            blocks.push_back({run.region, run.status, run.erased, factoryBad,
                              !run.erased && Loaded(reading.judgement, parts[block], run.region),
                              parts[block]});
        }
    return blocks;
}

// "block 7: factory-bad, skipped by the writers", "block 1: EBoot boot loader, part 1 of 4,
// erased, not loaded: it reads as 0xFF".
std::string Tooltip(uint32_t number, const BlockFacts &block)
{
    std::string text = "block " + std::to_string(number) + ": ";
    if (block.factoryBad)
        return text + "factory-bad, skipped by the writers";
    if (block.status & sim::FlashDriver::kStatusBad)
        return text + "grown-bad: marked bad on the flash since, skipped by the writers";
    text += block.holds;
    if (block.status & sim::FlashDriver::kStatusReadOnly)
        text += ", read-only";
    if (block.status & sim::FlashDriver::kStatusReserved)
        text += ", reserved";
    if (block.erased)
        return text +
               (block.holds == "free" ? ", erased" : ", erased, not loaded: it reads as 0xFF");
    return text + (block.loaded ? ", written, loaded by the boot loader" : ", written");
}

// The marks of a cell of the size given at x, y; the legend draws them too.
std::string BadMark(double x, double y, double size, const BadLook &look)
{
    std::string mark = Format(
        "<path d=\"M%.1f %.1fL%.1f %.1fM%.1f %.1fL%.1f %.1f\" stroke=\"%s\" "
        "stroke-width=\"1.6\"/>",
        x + 2, y + 2, x + size - 2, y + size - 2, x + size - 2, y + 2, x + 2, y + size - 2,
        look.cross);
    if (look.framed)
        mark += Format(
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
            "stroke=\"%s\" stroke-width=\"1.5\"/>",
            x + 0.75, y + 0.75, size - 1.5, size - 1.5, look.cross);
    return mark;
}

// White with a dark rim, so that it shows on every written fill.
std::string LoadedDot(double x, double y, double size)
{
    return Format(
        "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%.1f\" fill=\"#fff\" stroke=\"#111\" "
        "stroke-width=\"%.1f\"/>",
        x + size / 2, y + size / 2, std::max(1.8, size / 4.5), size >= 12 ? 1.2 : 0.8);
}

std::string Cell(double x, double y, double size, const char *fill, bool reserved)
{
    return Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\" %s/>", x,
                  y, size, size, fill,
                  reserved ? "stroke=\"#111\" stroke-width=\"1\" stroke-dasharray=\"2,2\""
                           : "stroke=\"#999\" stroke-width=\"0.5\"");
}

struct Grid {
    uint32_t columns, cell, top, left = 48;
    uint32_t X(uint32_t block) const { return left + (block % columns) * cell; }
    uint32_t Y(uint32_t block) const { return top + (block / columns) * cell; }
};

void DrawBlock(std::string &svg, const Grid &grid, uint32_t number, const BlockFacts &block)
{
    const bool bad = Bad(block);
    const bool reserved = block.status & sim::FlashDriver::kStatusReserved;
    const Colours colours = RegionColours(block.region);
    const BadLook &badLook = block.factoryBad ? kFactoryBad : kGrownBad;
    const char *fill = bad ? badLook.fill : block.erased ? colours.erased : colours.written;
    const char *state = block.factoryBad ? " factory-bad"
                        : bad            ? " grown-bad"
                        : block.erased   ? " erased"
                                         : " written";
    svg += Format("<g class=\"block %s%s%s%s\"><title>%s</title>", devkit::RegionName(block.region),
                  state, reserved ? " reserved" : "", block.loaded ? " loaded" : "",
                  EscapeXml(Tooltip(number, block)).c_str());
    const double x = grid.X(number) + 1, y = grid.Y(number) + 1, size = grid.cell - 2;
    svg += Cell(x, y, size, fill, reserved);
    if (bad)
        svg += BadMark(x, y, size, badLook);
    if (block.loaded)
        svg += LoadedDot(x, y, size);
    svg += "</g>\n";
}

void DrawLegend(std::string &svg, double x, double y)
{
    auto key = [&](const std::string &mark, const std::string &text) {
        LegendKey(svg, x, y, mark, text);
        y += 20;
    };
    const std::pair<FlashRegion, const char *> regions[] = {
        {FlashRegion::StepLoader, "StepLoader, block 0"},
        {FlashRegion::EBoot, "EBoot boot loader, blocks 1-4"},
        {FlashRegion::Toc, "TOC, block 5"},
        {FlashRegion::Nk, "NK image or free, blocks 6 on"}};
    for (const auto &[region, text] : regions)
        key(Cell(0, 0, 14, RegionColours(region).written, false), text);
    key(Cell(0, 0, 14, RegionColours(FlashRegion::Nk).erased, false),
        "erased (pale tint of its region)");
    key(Cell(0, 0, 14, kFactoryBad.fill, false) + BadMark(0, 0, 14, kFactoryBad), "factory-bad");
    key(Cell(0, 0, 14, kGrownBad.fill, false) + BadMark(0, 0, 14, kGrownBad),
        "grown-bad (marked bad since)");
    key(Cell(0, 0, 14, "#fff", true), "reserved (dashed outline)");
    key(Cell(0, 0, 14, RegionColours(FlashRegion::Nk).written, false) + LoadedDot(0, 0, 14),
        "loaded by the boot loader");
    svg += Format(
        "<text x=\"%.1f\" y=\"%.1f\" fill=\"#555\">A block's tooltip says what it "
        "holds.</text>\n",
        x, y + 4);
}

}  // namespace

std::string FlashMapSvg(const std::string &device, const devkit::FlashView &flash,
                        const BootReading &reading)
{
    const Grid grid{flash.blocks <= 1024 ? 32u : 64u, flash.blocks <= 1024 ? 20u : 10u,
                    uint32_t(62 + 18 * reading.notes.size())};
    const uint32_t rows = (flash.blocks + grid.columns - 1) / grid.columns;
    const uint32_t gridBottom = grid.top + rows * grid.cell;
    const uint32_t legendLeft = grid.left + grid.columns * grid.cell + 16;
    const uint32_t width = legendLeft + 250;
    const uint32_t height = std::max(gridBottom + 24, grid.top + 220);
    const std::vector<BlockFacts> blocks = Blocks(flash, reading);
    const auto count = [&](auto predicate) {
        return std::count_if(blocks.begin(), blocks.end(), predicate);
    };

    std::string svg = Format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%u\" height=\"%u\" "
        "viewBox=\"0 0 %u %u\" font-family=\"sans-serif\" font-size=\"12\">\n",
        width, height, width, height);
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    svg += "<text x=\"8\" y=\"22\" font-size=\"16\" font-weight=\"bold\">" +
           EscapeXml(device + " " + reading.verdict) + "</text>\n";
    for (size_t line = 0; line < reading.notes.size(); ++line)
        svg += Format("<text x=\"8\" y=\"%zu\">", 64 + 18 * line) + EscapeXml(reading.notes[line]) +
               "</text>\n";
    svg += Format(
        "<text x=\"8\" y=\"44\">Flash of %u blocks of 128 KiB: %td loaded by the boot loader, "
        "%td factory-bad, %td grown-bad, %td erased</text>\n",
        flash.blocks, count([](const BlockFacts &b) { return b.loaded; }),
        count([](const BlockFacts &b) { return b.factoryBad; }),
        count([](const BlockFacts &b) { return Bad(b) && !b.factoryBad; }),
        count([](const BlockFacts &b) { return b.erased && !Bad(b); }));
    const uint32_t labelEvery = grid.cell >= 20 ? 1 : 4;
    for (uint32_t row = 0; row < rows; row += labelEvery)
        svg += Format("<text x=\"%u\" y=\"%u\" text-anchor=\"end\" font-size=\"%u\">%u</text>\n",
                      grid.left - 4, grid.top + row * grid.cell + grid.cell - 4,
                      grid.cell >= 20 ? 11u : 9u, row * grid.columns);
    for (uint32_t block = 0; block < blocks.size(); ++block)
        DrawBlock(svg, grid, block, blocks[block]);
    DrawLegend(svg, legendLeft, grid.top + 11);
    svg += "</svg>\n";
    return svg;
}

void WriteFlashMap(const fs::path &file, const fs::path &device, const devkit::DeviceView &view)
{
    if (!view.flash)
        throw sim::DeviceError("no flash to draw: nand.bin was never written");
    const std::string svg =
        FlashMapSvg(device.string(), *view.flash, ReadBoot(device, *view.flash));
    devkit::WriteFileStaged(file,
                            std::span(reinterpret_cast<const uint8_t *>(svg.data()), svg.size()));
}

}  // namespace qs_tools
