#include "tools/reports/flash_map_svg.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "devkit/staged_file.h"
#include "sim/error.h"

namespace qs_tools {

namespace {

using devkit::FlashRegion;

struct Colours {
    const char *written;
    const char *erased;
};

// Colour-blind safe hues; an erased block is a pale tint of its region's.
Colours RegionColours(FlashRegion region)
{
    switch (region) {
        case FlashRegion::StepLoader:
            return {"#6a3d9a", "#e6dcf0"};
        case FlashRegion::EBoot:
            return {"#1b9e77", "#d4efe6"};
        case FlashRegion::Toc:
            return {"#e6ab02", "#faefcc"};
        case FlashRegion::Nk:
            break;
    }
    return {"#2c6fb0", "#dbe7f3"};
}
constexpr const char *kBadColour = "#d62728";

std::string EscapeXml(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string Format(const char *format, auto... values)
{
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// What the boot loader would read: block 0 with a matching checksum, the EBoot blocks, the TOC
// block when it holds a TOC, and the NK blocks when the image is readable.
std::set<uint32_t> LoadedBlocks(const devkit::FlashView &flash)
{
    const devkit::BootLoaderView &loader = flash.bootLoader;
    std::set<uint32_t> loaded;
    if (loader.stepLoader.checksumMatches)
        loaded.insert(0);
    loaded.insert(loader.eboot.blocks.begin(), loader.eboot.blocks.end());
    if (loader.toc)
        loaded.insert(5);
    if (loader.nk && !loader.nk->unreadable)
        loaded.insert(loader.nk->blocks.begin(), loader.nk->blocks.end());
    return loaded;
}

struct Grid {
    uint32_t columns, cell, left = 48, top = 56;
    uint32_t X(uint32_t block) const { return left + (block % columns) * cell; }
    uint32_t Y(uint32_t block) const { return top + (block / columns) * cell; }
};

void DrawBlock(std::string &svg, const Grid &grid, const devkit::BlockRun &run, uint32_t block,
               bool loaded)
{
    const bool bad = run.status & 0x02, reserved = run.status & 0x08;
    Colours colours = RegionColours(run.region);
    std::string words;
    for (const std::string &word : devkit::StateWords(run))
        words += ", " + word;
    const std::string tip = Format("block %u: %s%s%s", block, devkit::RegionName(run.region),
                                   words.c_str(), loaded ? ", loaded by the boot loader" : "");
    const uint32_t x = grid.X(block), y = grid.Y(block), size = grid.cell - 2;
    const char *fill = bad ? kBadColour : run.erased ? colours.erased : colours.written;
    const std::string stroke = reserved
                                   ? "stroke=\"#111\" stroke-width=\"1\" stroke-dasharray=\"2,2\""
                                   : "stroke=\"#999\" stroke-width=\"0.5\"";
    svg += Format("<g class=\"block %s%s%s%s\"><title>%s</title>", devkit::RegionName(run.region),
                  bad          ? " bad"
                  : run.erased ? " erased"
                               : " written",
                  reserved ? " reserved" : "", loaded ? " loaded" : "", EscapeXml(tip).c_str());
    svg += Format("<rect x=\"%u\" y=\"%u\" width=\"%u\" height=\"%u\" fill=\"%s\" %s/>", x + 1,
                  y + 1, size, size, fill, stroke.c_str());
    if (bad)
        svg += Format("<path d=\"M%u %uL%u %uM%u %uL%u %u\" stroke=\"#fff\" stroke-width=\"1.5\"/>",
                      x + 3, y + 3, x + size - 1, y + size - 1, x + size - 1, y + 3, x + 3,
                      y + size - 1);
    // A dot, not an outline, so that a long run of loaded blocks stays readable at small cells.
    if (loaded)
        svg += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%.1f\" fill=\"#111\"/>",
                      x + 1 + size / 2.0, y + 1 + size / 2.0, std::max(1.5, size / 5.0));
    svg += "</g>\n";
}

void DrawLegend(std::string &svg, uint32_t x, uint32_t y)
{
    struct Item {
        const char *label, *fill, *dashes;
    };
    const Item items[] = {
        {"StepLoader", RegionColours(FlashRegion::StepLoader).written, ""},
        {"EBoot", RegionColours(FlashRegion::EBoot).written, ""},
        {"TOC", RegionColours(FlashRegion::Toc).written, ""},
        {"NK", RegionColours(FlashRegion::Nk).written, ""},
        {"erased (pale)", RegionColours(FlashRegion::Nk).erased, ""},
        {"bad", kBadColour, ""},
        {"reserved (dashed)", "#fff", " stroke-dasharray=\"2,2\""},
    };
    for (const Item &item : items) {
        svg += Format(
            "<rect x=\"%u\" y=\"%u\" width=\"14\" height=\"14\" fill=\"%s\" "
            "stroke=\"#111\" stroke-width=\"1\"%s/><text x=\"%u\" y=\"%u\">%s</text>\n",
            x, y, item.fill, item.dashes, x + 20, y + 12, item.label);
        y += 20;
    }
    svg += Format(
        "<circle cx=\"%u\" cy=\"%u\" r=\"3\" fill=\"#111\"/>"
        "<text x=\"%u\" y=\"%u\">loaded by the boot loader</text>\n",
        x + 7, y + 7, x + 20, y + 12);
}

}  // namespace

std::string FlashMapSvg(const std::string &title, const devkit::FlashView &flash)
{
    const Grid grid{flash.blocks <= 1024 ? 32u : 64u, flash.blocks <= 1024 ? 20u : 10u};
    const uint32_t rows = (flash.blocks + grid.columns - 1) / grid.columns;
    const uint32_t gridBottom = grid.top + rows * grid.cell;
    const uint32_t width = grid.left + grid.columns * grid.cell + 220;
    const uint32_t height = std::max(gridBottom + 24, grid.top + 160);
    std::set<uint32_t> loaded = LoadedBlocks(flash);

    std::string svg = Format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%u\" height=\"%u\" "
        "viewBox=\"0 0 %u %u\" font-family=\"sans-serif\" font-size=\"12\">\n",
        width, height, width, height);
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    svg += "<text x=\"8\" y=\"20\" font-size=\"15\" font-weight=\"bold\">" + EscapeXml(title) +
           "</text>\n";
    svg += Format(
        "<text x=\"8\" y=\"40\">%u blocks of 128 KiB, %zu bad, %zu loaded by the boot "
        "loader%s</text>\n",
        flash.blocks, flash.bad.size(), loaded.size(),
        flash.bootLoader.nk && flash.bootLoader.nk->unreadable ? "; the NK image is unreadable"
                                                               : "");
    const uint32_t labelEvery = grid.cell >= 20 ? 1 : 4;
    for (uint32_t row = 0; row < rows; row += labelEvery)
        svg += Format("<text x=\"%u\" y=\"%u\" text-anchor=\"end\" font-size=\"%u\">%u</text>\n",
                      grid.left - 4, grid.top + row * grid.cell + grid.cell - 4,
                      grid.cell >= 20 ? 11u : 9u, row * grid.columns);
    for (const devkit::BlockRun &run : flash.map)
        for (uint32_t block = run.first; block <= run.last; ++block)
            DrawBlock(svg, grid, run, block, loaded.count(block) > 0);
    DrawLegend(svg, grid.left + grid.columns * grid.cell + 16, grid.top);
    svg += "</svg>\n";
    return svg;
}

void WriteFlashMap(const std::filesystem::path &file, const std::string &title,
                   const devkit::DeviceView &view)
{
    if (!view.flash)
        throw sim::DeviceError("no flash to draw: nand.bin was never written");
    const std::string svg = FlashMapSvg(title, *view.flash);
    devkit::WriteFileStaged(file,
                            std::span(reinterpret_cast<const uint8_t *>(svg.data()), svg.size()));
}

}  // namespace qs_tools
