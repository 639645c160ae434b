#include "tools/reports/power_sweep_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "devkit/staged_file.h"
#include "tools/reports/power_sweep_report.h"
#include "tools/runner/boot_summary.h"

namespace qs_tools {

namespace {

constexpr double kWidth = 1200, kLeft = 190, kRight = 1170, kTop = 70, kRowHeight = 26, kRowGap = 6;

struct Lane {
    const char *label;
    const char *colour;
};
constexpr Lane kLanes[] = {
    {"boot loader, blocks 0-4", "#6a3d9a"},
    {"TOC, block 5", "#e6ab02"},
    {"NK, blocks 6 on", "#2c6fb0"},
};

size_t LaneOf(uint32_t block)
{
    return block < 5 ? 0 : block == 5 ? 1 : 2;
}

const char *VerdictColour(Verdict verdict)
{
    switch (verdict) {
        case Verdict::Old:
            return "#74add1";
        case Verdict::New:
            return "#1b7837";
        case Verdict::Unbootable:
            break;
    }
    return "#d62728";
}
constexpr const char *kStoppedColour = "#000000";

std::string EscapeXml(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else if (c == '"')
            escaped += "&quot;";
        else
            escaped += c;
    }
    return escaped;
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// Maps an operation's start and end onto the x axis: flash time, or its index when untimed.
class Axis {
public:
    explicit Axis(const PowerSweep &sweep) : operations_(sweep.operations)
    {
        timed_ = sweep.usage.timed && sweep.usage.timeUs > 0;
        span_ = timed_ ? double(sweep.usage.timeUs) : double(operations_.size());
        span_ = std::max(span_, 1.0);
    }
    bool Timed() const { return timed_; }
    double Span() const { return span_; }
    double At(double value) const { return kLeft + (kRight - kLeft) * value / span_; }
    // Operation index (from 1) to where it begins and ends.
    double Start(uint64_t index) const
    {
        return At(timed_ ? double(operations_[index - 1].startUs) : double(index - 1));
    }
    double End(uint64_t index) const
    {
        const sim::FlashOperation &operation = operations_[index - 1];
        return At(timed_ ? double(operation.startUs + operation.durationUs) : double(index));
    }

private:
    const std::vector<sim::FlashOperation> &operations_;
    bool timed_ = false;
    double span_ = 1;
};

std::string Rect(double x0, double x1, double y, double height, const char *fill,
                 const std::string &title, const char *extra = "")
{
    // A single operation stays visible on a long update.
    double width = std::max(x1 - x0, 2.0);
    return "<rect x=\"" + Number(x0) + "\" y=\"" + Number(y) + "\" width=\"" + Number(width) +
           "\" height=\"" + Number(height) + "\" fill=\"" + fill + "\"" + extra + "><title>" +
           EscapeXml(title) + "</title></rect>\n";
}

std::string Text(double x, double y, const std::string &text, const char *extra = "")
{
    return "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\"" + extra + ">" + EscapeXml(text) +
           "</text>\n";
}

double RowY(size_t row)
{
    return kTop + double(row) * (kRowHeight + kRowGap);
}

std::string Range(uint64_t first, uint64_t last)
{
    return first == last ? std::to_string(first)
                         : std::to_string(first) + "-" + std::to_string(last);
}

// Programs of one lane merge into runs; an erase is a mark of its own.
std::string OperationRows(const PowerSweep &sweep, const Axis &axis)
{
    std::string svg;
    const auto &operations = sweep.operations;
    for (uint64_t index = 1; index <= operations.size();) {
        const sim::FlashOperation &first = operations[index - 1];
        size_t lane = LaneOf(first.block);
        double y = RowY(lane);
        if (first.kind == sim::FlashOperation::Kind::Erase) {
            svg += Rect(axis.Start(index), axis.End(index), y, kRowHeight, "#000000",
                        "operation " + std::to_string(index) + ": erase of block " +
                            std::to_string(first.block));
            ++index;
            continue;
        }
        uint64_t last = index;
        while (last < operations.size() &&
               operations[last].kind == sim::FlashOperation::Kind::Program &&
               LaneOf(operations[last].block) == lane)
            ++last;
        std::string title = index == last
                                ? "operation " + std::to_string(index) + ": program of sector " +
                                      std::to_string(*first.sector)
                                : "operations " + Range(index, last) + ": " +
                                      std::to_string(last - index + 1) + " programs, sectors " +
                                      std::to_string(*first.sector) + "-" +
                                      std::to_string(*operations[last - 1].sector);
        svg += Rect(axis.Start(index), axis.End(last), y + 4, kRowHeight - 8, kLanes[lane].colour,
                    title);
        index = last + 1;
    }
    return svg;
}

// One row of verdicts for an outcome: each sampled cut spans until the next sampled one, and
// neighbours with the same verdict merge.
std::string VerdictRow(const PowerSweep &sweep, const Axis &axis, sim::PowerCutOutcome outcome,
                       bool afterSecondBoot, size_t row)
{
    std::vector<const CutResult *> cuts;
    for (const CutResult &cut : sweep.cuts)
        if (cut.outcome == outcome)
            cuts.push_back(&cut);
    auto colourOf = [&](const CutResult &cut) {
        if (!afterSecondBoot)
            return VerdictColour(cut.atCut.verdict);
        return cut.second.judgement ? VerdictColour(cut.second.judgement->verdict) : kStoppedColour;
    };
    auto nameOf = [&](const CutResult &cut) {
        if (!afterSecondBoot)
            return std::string(VerdictName(cut.atCut.verdict));
        return cut.second.judgement ? std::string(VerdictName(cut.second.judgement->verdict))
                                    : "stopped: " + cut.second.stopped;
    };
    std::string svg;
    for (size_t i = 0; i < cuts.size();) {
        size_t j = i;
        while (j + 1 < cuts.size() && colourOf(*cuts[j + 1]) == colourOf(*cuts[i]))
            ++j;
        double x1 = j + 1 < cuts.size() ? axis.Start(cuts[j + 1]->index) : axis.End(cuts[j]->index);
        svg += Rect(axis.Start(cuts[i]->index), x1, RowY(row), kRowHeight, colourOf(*cuts[i]),
                    std::string(sim::PowerCutOutcomeName(outcome)) + " cuts at operations " +
                        Range(cuts[i]->index, cuts[j]->index) +
                        (afterSecondBoot ? ", after the second boot: " : ": ") + nameOf(*cuts[i]));
        i = j + 1;
    }
    return svg;
}

std::string AxisTicks(const Axis &axis, double y)
{
    // A step of 1, 2 or 5 times a power of ten that gives about ten ticks.
    double raw = axis.Span() / 10, step = std::pow(10, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0, 10.0})
        if (step * factor >= raw) {
            step *= factor;
            break;
        }
    std::string svg = "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y) + "\" x2=\"" +
                      Number(kRight) + "\" y2=\"" + Number(y) +
                      "\" stroke=\"#444\" stroke-width=\"1\"/>\n";
    for (double value = 0; value <= axis.Span() + step / 1000; value += step) {
        double x = axis.At(value);
        char label[32];
        if (axis.Timed())
            std::snprintf(label, sizeof label, "%.3g s", value / 1e6);
        else
            std::snprintf(label, sizeof label, "%.0f", value);
        svg += "<line x1=\"" + Number(x) + "\" y1=\"" + Number(y) + "\" x2=\"" + Number(x) +
               "\" y2=\"" + Number(y + 5) + "\" stroke=\"#444\"/>\n";
        svg += Text(x, y + 18, label, " text-anchor=\"middle\"");
    }
    svg += Text((kLeft + kRight) / 2, y + 38,
                axis.Timed() ? "flash time of the update (flash.timing)"
                             : "erase or program operation (no flash.timing)",
                " text-anchor=\"middle\"");
    return svg;
}

std::string Legend(double y)
{
    struct Key {
        const char *colour;
        const char *text;
    };
    const Key keys[] = {{"#000000", "erase"},
                        {kLanes[0].colour, "program, boot loader"},
                        {kLanes[1].colour, "program, TOC"},
                        {kLanes[2].colour, "program, NK"},
                        {VerdictColour(Verdict::Old), "old image boots"},
                        {VerdictColour(Verdict::New), "new image boots"},
                        {VerdictColour(Verdict::Unbootable), "unbootable"}};
    std::string svg;
    double x = kLeft;
    for (const Key &key : keys) {
        svg += "<rect x=\"" + Number(x) + "\" y=\"" + Number(y - 11) +
               "\" width=\"14\" height=\"14\" fill=\"" + key.colour + "\"/>\n";
        svg += Text(x + 19, y, key.text);
        x += 28 + 7.2 * double(std::string(key.text).size());
    }
    return svg;
}

}  // namespace

std::string PowerSweepSvg(const PowerSweep &sweep)
{
    Axis axis(sweep);
    size_t rows = std::size(kLanes) + 2 * sweep.outcomes.size();
    double axisY = RowY(rows) + 4;
    double height = axisY + 90;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kWidth) +
                      "\" height=\"" + Number(height) + "\" viewBox=\"0 0 " + Number(kWidth) + " " +
                      Number(height) +
                      "\" font-family=\"sans-serif\" font-size=\"13\">\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg += Text(kLeft - 180, 24,
                "Power cut at each flash operation of the update of " + sweep.device.string(),
                " font-size=\"17\" font-weight=\"bold\"");
    svg += Text(
        kLeft - 180, 46,
        std::to_string(sweep.operations.size()) + " erases and programs" +
            (sweep.usage.timed ? ", " + SecondsText(sweep.usage.timeUs) + " of flash time" : "") +
            "; " + std::to_string(sweep.cuts.size()) + " cuts" +
            (sweep.every > 1 ? " (every " + std::to_string(sweep.every) + " operations)" : ""));
    // The windows first, so that the rows are drawn over their shade.
    for (const UnbootableWindow &window : UnbootableWindows(sweep)) {
        double x0 = axis.Start(window.first), x1 = axis.End(window.last);
        svg +=
            Rect(x0, x1, kTop - 6, RowY(rows) - kTop + 6, "#d62728",
                 "unbootable after a cut at operations " + Range(window.first, window.last) + " (" +
                     SecondsText(window.startUs) + " to " + SecondsText(window.endUs) + ")",
                 " fill-opacity=\"0.15\"");
    }
    for (size_t lane = 0; lane < std::size(kLanes); ++lane)
        svg += Text(kLeft - 10, RowY(lane) + 17, kLanes[lane].label, " text-anchor=\"end\"");
    svg += OperationRows(sweep, axis);
    size_t row = std::size(kLanes);
    for (bool after : {false, true})
        for (sim::PowerCutOutcome outcome : sweep.outcomes) {
            svg += Text(kLeft - 10, RowY(row) + 17,
                        std::string(after ? "after 2nd boot, " : "at the cut, ") +
                            sim::PowerCutOutcomeName(outcome),
                        " text-anchor=\"end\"");
            svg += VerdictRow(sweep, axis, outcome, after, row++);
        }
    svg += AxisTicks(axis, axisY);
    svg += Legend(height - 14);
    svg += "</svg>\n";
    return svg;
}

void WritePowerSweepSvg(const std::filesystem::path &file, const PowerSweep &sweep)
{
    std::string svg = PowerSweepSvg(sweep);
    devkit::WriteFileStaged(file,
                            std::span(reinterpret_cast<const uint8_t *>(svg.data()), svg.size()));
}

}  // namespace qs_tools
