#include "tools/reports/power_sweep_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "devkit/staged_file.h"
#include "tools/reports/power_sweep_report.h"
#include "tools/reports/svg_text.h"
#include "tools/runner/boot_summary.h"

namespace qs_tools {

namespace {

constexpr double kWidth = 1200, kLeft = 190, kRight = 1170, kTop = 92, kRowHeight = 26, kRowGap = 6;
// The column of the device's state before the update, left of the update's own axis.
constexpr double kBeforeWidth = 56, kPlotLeft = kLeft + kBeforeWidth + 14;

struct Lane {
    const char *label;
    const char *colour;
};
// The flash map's region colours, lightness steps apart (CIELAB L* 18, 80, 57).
constexpr Lane kLanes[] = {
    {"boot loader, blocks 0-4", "#3f007d"},
    {"TOC, block 5", "#f2c12e"},
    {"NK, blocks 6 on", "#3d8fcc"},
    {"files", "#8c8c8c"},
};
constexpr size_t kFileLane = 3;

size_t LaneOf(const CutPoint &point)
{
    if (point.kind == CutPoint::Kind::File)
        return kFileLane;
    const uint32_t block = point.flash.block;
    return block < 5 ? 0 : block == 5 ? 1 : 2;
}

// Old light (L* 81), new dark (44), unbootable red hatched with white so that it differs from
// both in grey too, a second boot that the simulator stopped near black (13).
constexpr const char *kUnbootableFill = "url(#unbootable)";
const char *VerdictColour(Verdict verdict)
{
    switch (verdict) {
        case Verdict::Old:
            return "#a6cee3";
        case Verdict::New:
            return "#1b7837";
        case Verdict::Unbootable:
            break;
    }
    return kUnbootableFill;
}
constexpr const char *kStoppedColour = "#222222";
// A dead cut has no second boot: red with black stripes, apart from unbootable's white ones.
constexpr const char *kDeadFill = "url(#dead)";
// A cut that loses data: orange (L* 63), between the verdicts' lightness steps.
constexpr const char *kLostColour = "#e6550d";
constexpr const char *kPatterns =
    "<defs><pattern id=\"unbootable\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#d62728\"/>"
    "<rect width=\"2\" height=\"6\" fill=\"#fff\"/></pattern>"
    "<pattern id=\"dead\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#d62728\"/>"
    "<rect width=\"3\" height=\"6\" fill=\"#000\"/></pattern></defs>\n";

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// Whether any cut of the sweep fell on a file change: those take no flash time, so the axis is
// then the points' order.
bool CutsFiles(const PowerSweep &sweep)
{
    return std::any_of(sweep.cuts.begin(), sweep.cuts.end(),
                       [](const CutResult &cut) { return cut.point.kind == CutPoint::Kind::File; });
}

// Maps a point's start and end onto the x axis: flash time, or its number when untimed or when
// file changes were cut.
class Axis {
public:
    explicit Axis(const PowerSweep &sweep) : points_(sweep.points)
    {
        timed_ = sweep.usage.timed && sweep.usage.timeUs > 0 && !CutsFiles(sweep);
        span_ = timed_ ? double(sweep.usage.timeUs) : double(points_.size());
        span_ = std::max(span_, 1.0);
    }
    bool Timed() const { return timed_; }
    double Span() const { return span_; }
    double At(double value) const { return kPlotLeft + (kRight - kPlotLeft) * value / span_; }
    // Point number (from 1) to where it begins and ends.
    double Start(uint64_t index) const
    {
        return At(timed_ ? double(points_[index - 1].startUs) : double(index - 1));
    }
    double End(uint64_t index) const
    {
        return At(timed_ ? double(points_[index - 1].EndUs()) : double(index));
    }

private:
    const std::vector<CutPoint> &points_;
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

// Programs of one lane merge into runs, and so do neighbouring file changes; an erase is a mark
// of its own.
std::string OperationRows(const PowerSweep &sweep, const Axis &axis)
{
    std::string svg;
    const auto &points = sweep.points;
    for (uint64_t index = 1; index <= points.size();) {
        const CutPoint &first = points[index - 1];
        size_t lane = LaneOf(first);
        double y = RowY(lane);
        if (first.kind == CutPoint::Kind::Flash &&
            first.flash.kind == sim::FlashOperation::Kind::Erase) {
            svg += Rect(axis.Start(index), axis.End(index), y, kRowHeight, "#000000",
                        "point " + std::to_string(index) + ": erase of block " +
                            std::to_string(first.flash.block));
            ++index;
            continue;
        }
        uint64_t last = index;
        while (last < points.size() && LaneOf(points[last]) == lane &&
               (points[last].kind == CutPoint::Kind::File ||
                points[last].flash.kind == sim::FlashOperation::Kind::Program))
            ++last;
        const CutPoint &end = points[last - 1];
        std::string what =
            lane == kFileLane
                ? (index == last ? CutPointText(first)
                                 : std::to_string(last - index + 1) + " file changes, " +
                                       CutPointText(first) + " to " + CutPointText(end))
                : (index == last ? "program of sector " + std::to_string(*first.flash.sector)
                                 : std::to_string(last - index + 1) + " programs, sectors " +
                                       std::to_string(*first.flash.sector) + "-" +
                                       std::to_string(*end.flash.sector));
        svg += Rect(axis.Start(index), axis.End(last), y + 4, kRowHeight - 8, kLanes[lane].colour,
                    (index == last ? "point " : "points ") + Range(index, last) + ": " + what);
        index = last + 1;
    }
    return svg;
}

std::string CutVerdictName(const CutResult &cut, bool afterSecondBoot)
{
    if (!afterSecondBoot)
        return VerdictName(cut.atCut.verdict);
    if (cut.Dead())
        return "dead: nothing booted, so no second boot";
    return cut.second->judgement ? std::string(VerdictName(cut.second->judgement->verdict))
                                 : "stopped: " + cut.second->stopped;
}

const char *CutColour(const CutResult &cut, bool afterSecondBoot)
{
    if (!afterSecondBoot)
        return VerdictColour(cut.atCut.verdict);
    if (cut.Dead())
        return kDeadFill;
    return cut.second->judgement ? VerdictColour(cut.second->judgement->verdict) : kStoppedColour;
}

// Every point of the kinds swept that can take the outcome was cut with it.
bool EveryOperationCut(const PowerSweep &sweep, sim::PowerCutOutcome outcome)
{
    size_t cuts = 0, points = 0;
    for (const CutResult &cut : sweep.cuts)
        cuts += cut.outcome == outcome;
    for (const CutPoint &point : sweep.points)
        points += point.Takes(outcome) &&
                  (sweep.kinds == CutKinds::Both ||
                   (sweep.kinds == CutKinds::Flash) == (point.kind == CutPoint::Kind::Flash));
    return cuts == points;
}

// One row of verdicts for an outcome. Where every operation was cut the row is a band whose
// neighbours with the same verdict merge; a sample is a tick per cut, so that the operations
// between stay unclaimed.
std::string VerdictRow(const PowerSweep &sweep, const Axis &axis, sim::PowerCutOutcome outcome,
                       bool afterSecondBoot, size_t row)
{
    std::vector<const CutResult *> cuts;
    for (const CutResult &cut : sweep.cuts)
        if (cut.outcome == outcome)
            cuts.push_back(&cut);
    const bool whole = EveryOperationCut(sweep, outcome);
    std::string svg;
    if (!whole)
        svg += Rect(kPlotLeft, kRight, RowY(row) + kRowHeight / 2 - 0.5, 1, "#bbbbbb", "not cut");
    for (size_t i = 0; i < cuts.size();) {
        size_t j = i;
        while (whole && j + 1 < cuts.size() &&
               CutColour(*cuts[j + 1], afterSecondBoot) == CutColour(*cuts[i], afterSecondBoot))
            ++j;
        // A tick three pixels wide, so that a hatched one still reads as a line.
        double x0 = axis.Start(cuts[i]->index) - (whole ? 0 : 1);
        double x1 = whole ? axis.End(cuts[j]->index) : x0 + 3;
        svg += Rect(x0, x1, RowY(row), kRowHeight, CutColour(*cuts[i], afterSecondBoot),
                    std::string(sim::PowerCutOutcomeName(outcome)) +
                        (i == j ? " cut at point " : " cuts at points ") +
                        Range(cuts[i]->index, cuts[j]->index) +
                        (afterSecondBoot ? ", after the second boot: " : ": ") +
                        CutVerdictName(*cuts[i], afterSecondBoot));
        i = j + 1;
    }
    return svg;
}

// A tick at each cut that loses data, whatever its outcome.
std::string LostRow(const PowerSweep &sweep, const Axis &axis, size_t row)
{
    std::string svg =
        Rect(kPlotLeft, kRight, RowY(row) + kRowHeight / 2 - 0.5, 1, "#bbbbbb", "no data lost");
    for (const CutResult &cut : sweep.cuts) {
        if (cut.lost.empty())
            continue;
        std::string what;
        for (const FileLoss &loss : cut.lost)
            what += "; " + loss.what + ": " + loss.how;
        svg += Rect(axis.Start(cut.index) - 1, axis.Start(cut.index) + 2, RowY(row), kRowHeight,
                    kLostColour,
                    std::string(sim::PowerCutOutcomeName(cut.outcome)) + " cut at point " +
                        std::to_string(cut.index) + " loses data" + what);
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
    std::string svg = "<line x1=\"" + Number(kPlotLeft) + "\" y1=\"" + Number(y) + "\" x2=\"" +
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
    svg += Text((kPlotLeft + kRight) / 2, y + 38,
                axis.Timed() ? "flash time of the update (flash.timing)"
                             : "point: erase, program or file change, in the boot's order",
                " text-anchor=\"middle\"");
    return svg;
}

std::string JudgementText(const FlashJudgement &judgement)
{
    if (judgement.verdict == Verdict::Unbootable)
        return "unbootable: " + UnbootableReason(judgement);
    return std::string("the ") + VerdictName(judgement.verdict) + " image boots";
}

std::string Swatch(const char *fill)
{
    return "<rect width=\"14\" height=\"14\" fill=\"" + std::string(fill) + "\"/>";
}

// Four rows: the points, the verdicts, the marks across them, and the files.
std::string Legend(const PowerSweep &sweep, double y)
{
    const std::string newImage = sweep.newNk.substr(sweep.newNk.rfind('\\') + 1);
    const bool sampled = !std::all_of(
        sweep.outcomes.begin(), sweep.outcomes.end(),
        [&](sim::PowerCutOutcome outcome) { return EveryOperationCut(sweep, outcome); });
    std::string svg;
    auto row = [&](const char *title, std::vector<std::pair<std::string, std::string>> keys) {
        svg += Text(kLeft - 10, y, title, " text-anchor=\"end\" font-weight=\"bold\"");
        double x = kLeft;
        for (const auto &[mark, text] : keys)
            x += LegendKey(svg, x, y, mark, text);
        y += 22;
    };
    row("points", {{"<rect x=\"5\" width=\"4\" height=\"14\" fill=\"#000\"/>", "erase of a block"},
                   {Swatch(kLanes[0].colour), "programs, boot loader"},
                   {Swatch(kLanes[1].colour), "programs, TOC"},
                   {Swatch(kLanes[2].colour), "programs, NK"},
                   {Swatch(kLanes[kFileLane].colour), "file changes"}});
    row("what boots", {{Swatch(VerdictColour(Verdict::Old)), "old image"},
                       {Swatch(VerdictColour(Verdict::New)),
                        newImage.empty() ? "new image (none offered)" : "new image, " + newImage},
                       {Swatch(kUnbootableFill), "unbootable: nothing boots"},
                       {Swatch(kDeadFill), "dead: no second boot"},
                       {Swatch(kStoppedColour), "second boot stopped"}});
    row("marks",
        {{"<rect width=\"14\" height=\"14\" fill=\"#d62728\" fill-opacity=\"0.15\"/>"
          "<rect width=\"14\" height=\"4\" fill=\"url(#unbootable)\"/>",
          sampled ? "unbootable window: the cuts sampled there leave nothing bootable"
                  : "unbootable window: a cut there leaves nothing bootable"},
         sampled
             ? std::pair<std::string, std::string>{"<rect x=\"6\" width=\"2\" height=\"14\" "
                                                   "fill=\"#1b7837\"/><rect y=\"6.5\" "
                                                   "width=\"14\" height=\"1\" "
                                                   "fill=\"#bbbbbb\"/>",
                                                   "a sampled cut (line: not cut)"}
             : std::pair<std::string, std::string>{Swatch("#1b7837"), "band: every operation cut"},
         {"<rect width=\"14\" height=\"14\" fill=\"#fff\" stroke=\"#111\"/>",
          "before: the device before the update"}});
    row("files", {{Swatch(kLostColour),
                   "data lost: the application folder, the system-information file or the "
                   "package, for good"}});
    return svg;
}

}  // namespace

std::string PowerSweepSvg(const PowerSweep &sweep)
{
    Axis axis(sweep);
    const size_t lanes = std::size(kLanes), rows = lanes + 2 * sweep.outcomes.size() + 1;
    const double axisY = RowY(rows) + 4, legendY = axisY + 72;
    const double height = legendY + 4 * 22 + 10;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kWidth) +
                      "\" height=\"" + Number(height) + "\" viewBox=\"0 0 " + Number(kWidth) + " " +
                      Number(height) + "\" font-family=\"sans-serif\" font-size=\"13\">\n" +
                      kPatterns + "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg += Text(10, 24,
                "Power cut at each flash operation and file change of the update of " +
                    sweep.device.string(),
                " font-size=\"17\" font-weight=\"bold\"");
    const size_t dead = size_t(std::count_if(sweep.cuts.begin(), sweep.cuts.end(),
                                             [](const CutResult &cut) { return cut.Dead(); }));
    const size_t losing =
        size_t(std::count_if(sweep.cuts.begin(), sweep.cuts.end(),
                             [](const CutResult &cut) { return !cut.lost.empty(); }));
    svg += Text(
        10, 46,
        std::to_string(sweep.operations.size()) + " erases and programs" +
            (sweep.usage.timed ? ", " + SecondsText(sweep.usage.timeUs) + " of flash time" : "") +
            ", " + std::to_string(sweep.fileChanges.size()) + " file changes; " +
            std::to_string(sweep.cuts.size()) + " cuts" +
            (sweep.every > 1 ? " (one point in " + std::to_string(sweep.every) + ")" : "") +
            (!sweep.at.empty() ? " (at chosen points)" : "") + ": " + std::to_string(dead) +
            " dead, " + std::to_string(losing) + " losing data");
    svg += Text(10, 66,
                "Before the update: " + JudgementText(sweep.before) +
                    ". After it, without a cut: " + JudgementText(sweep.uncut) + ".");
    // The windows first, so that the rows are drawn over their shade.
    for (const UnbootableWindow &window : UnbootableWindows(sweep)) {
        double x0 = axis.Start(window.first), x1 = axis.End(window.last);
        std::string title = "unbootable after a cut at points " + Range(window.first, window.last) +
                            " (" + SecondsText(window.startUs) + " to " +
                            SecondsText(window.endUs) + ")";
        svg += Rect(x0, x1, kTop - 6, RowY(rows) - kTop + 6, "#d62728", title,
                    " fill-opacity=\"0.15\"");
        svg += Rect(x0, x1, kTop - 12, 5, kUnbootableFill, title);
    }
    for (size_t lane = 0; lane < lanes; ++lane)
        svg += Text(kLeft - 10, RowY(lane) + 17, kLanes[lane].label, " text-anchor=\"end\"");
    svg += OperationRows(sweep, axis);
    // The state before the update, one column beside every verdict row.
    svg += Rect(kLeft, kLeft + kBeforeWidth, RowY(lanes), RowY(rows - 1) - kRowGap - RowY(lanes),
                VerdictColour(sweep.before.verdict),
                "before the update: " + JudgementText(sweep.before),
                " stroke=\"#111\" stroke-width=\"1\"");
    svg += Text(kLeft + kBeforeWidth / 2, axisY + 18, "before", " text-anchor=\"middle\"");
    size_t row = lanes;
    for (bool after : {false, true})
        for (sim::PowerCutOutcome outcome : sweep.outcomes) {
            svg += Text(kLeft - 10, RowY(row) + 17,
                        std::string(after ? "after 2nd boot, " : "at the cut, ") +
                            sim::PowerCutOutcomeName(outcome),
                        " text-anchor=\"end\"");
            svg += VerdictRow(sweep, axis, outcome, after, row++);
        }
    svg += Text(kLeft - 10, RowY(row) + 17, "data lost, any outcome", " text-anchor=\"end\"");
    svg += LostRow(sweep, axis, row);
    svg += AxisTicks(axis, axisY);
    svg += Legend(sweep, legendY);
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
