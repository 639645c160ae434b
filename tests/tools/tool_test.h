// The tools' tests: a work folder, the built programs run in it, and a transcript of steps
// (commands and changes to files) with what a user sees of each, kept as a golden file.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "devkit/bin_reader.h"
#include "sim/device.h"
#include "sim/flash_array.h"
#include "tests/devkit/flash_layout.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"
#include "platform/host/file_cuts.h"
#include "tools/runner/boot_runner.h"

namespace qs_test {

// Each line as a terminal leaves it: from its last carriage return on, marked.
inline std::string Shown(const std::string &text, const std::string &mark = "")
{
    std::string shown;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        shown += mark + line.substr(line.rfind('\r') + 1) + "\n";
    }
    return shown;
}

// The text's lines against tests/golden/tools_NAME.log.
inline void ExpectGoldenText(const std::string &text, const std::string &name)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line + "\r\n");
    ExpectGoldenLog(lines, "tools_" + name);
}

// A sweep's estimates and times on standard error, which differ from run to run, as "T s", and
// its workers, as many as the host's cores, as "W".
inline std::string PlainTimes(const std::string &err)
{
    static const std::regex kSeconds(R"(\b\d+(\.\d)? s\b)"), kWorkers(R"(in \d+ workers?)");
    return std::regex_replace(std::regex_replace(err, kSeconds, "T s"), kWorkers, "in W workers");
}

class ToolTest : public testing::Test {
protected:
    // "quordev init dev": quordev, quorshell, planted or crashing (the fault sweep over a shell
    // with a defect planted: a store left open, a crash).
    ToolRun Run(const std::string &line, rlim_t fileSizeLimit = 0) const
    {
        std::vector<std::string> args = SplitWords(line);
        const std::string program = args[0] == "quordev"     ? QUORDEV_EXE
                                    : args[0] == "quorshell" ? QUORSHELL_EXE
                                    : args[0] == "planted"   ? QUORDEV_PLANTED_EXE
                                                             : QUORDEV_CRASHING_EXE;
        args.erase(args.begin());
        return RunTool(program, args, work_, fileSizeLimit);
    }
    std::filesystem::path At(const std::string &name) const { return work_ / name; }
    void Write(const std::string &name, const std::string &content) const
    {
        std::filesystem::create_directories(At(name).parent_path());
        std::ofstream(At(name), std::ios::binary) << content;
    }

    std::string Step(const std::string &step) const;

    // Every step with what it shows, against tests/golden/tools_NAME.log.
    void ExpectTranscript(const std::string &name, const std::vector<std::string> &steps) const
    {
        std::string shown;
        for (const std::string &step : steps)
            shown += "$ " + Escaped(step).substr(0, 120) + "\n" + Step(step);
        ExpectGoldenText(shown, name);
    }

    // Control characters as \xNN, so that a step that writes bytes stays one line.
    static std::string Escaped(const std::string &text)
    {
        std::string escaped;
        for (unsigned char c : text)
            escaped +=
                c < 0x20 ? "\\x" + std::string(c < 16 ? "0" : "") + Hex(c) : std::string(1, c);
        return escaped;
    }

    TempFolder temp_;
    std::filesystem::path work_ = temp_.path();
};

// The steps: a program's run (stdout, JSON indented; stderr marked "! "; "exit N" unless 0),
// write PATH TEXT, fill PATH SIZE, mkdir, rm, mv, link PATH TARGET, patch DEV JSON (device.json),
// tree PATH (sizes but device.json's, which grows with the simulator's options), same A B, peek
// FILE OFFSET COUNT (from the end when negative), flip FILE OFFSET (its lowest bit), chop FILE N
// (its last N bytes cut off), sum FILE
// [OFFSET COUNT], grep FILE TEXT (its
// lines that hold TEXT), count FILE TEXT (how many), bin FILE RAW (a .BIN read back), lay DEV NK
// NB0 (the images laid out by hand), clear DEV BLOCK SECTOR BYTE, cut DEV N OUTCOME (a boot that
// loses power at its Nth flash erase or program), erase DEV BLOCK, markbad DEV BLOCK (a bad mark
// written into a sound block), full BYTES COMMAND (the command on a disk with room for no file
// larger than BYTES).
inline std::string ToolTest::Step(const std::string &step) const
{
    namespace fs = std::filesystem;
    const std::vector<std::string> w = SplitWords(step);
    const std::string rest = w.size() > 2 ? step.substr(step.find(' ', w[0].size() + 1) + 1) : "";
    auto number = [&](size_t i) { return std::stoll(w.at(i), nullptr, 0); };
    auto hex = [](const std::string &bytes) {
        std::string text;
        for (unsigned char byte : bytes)
            text += (text.empty() ? "" : " ") + std::string(byte < 16 ? "0" : "") + Hex(byte);
        return "  " + text + "\n";
    };
    auto flash = [&] {
        auto device = nlohmann::json::parse(FileText(At(w[1]) / "device.json"));
        return sim::FlashArray::MapFile(At(w[1]) / "nand.bin",
                                        device["flash"].value("blocks", 512));
    };
    std::string shown;
    const bool full = w[0] == "full";
    if (full || w[0] == "quordev" || w[0] == "quorshell" || w[0] == "planted" ||
        w[0] == "crashing") {
        ToolRun run = full ? Run(rest, rlim_t(number(1))) : Run(step);
        nlohmann::ordered_json json = nlohmann::ordered_json::parse(run.out, nullptr, false);
        std::string err = PlainTimes(run.err);
        // Where a crash stops the progress lines depends on which worker reports first.
        if (w[0] == "crashing")
            err = err.substr(err.rfind("\nquordev: ") + 1);
        shown = Shown(run.out.starts_with("{") && !json.is_discarded() ? json.dump(2) : run.out) +
                Shown(err, "! ");
        if (run.status != 0)
            shown += "exit " + std::to_string(run.status) + "\n";
    } else if (w[0] == "write" || w[0] == "fill") {
        std::vector<uint8_t> pattern = qs_test::PatternBytes(w[0] == "fill" ? number(2) : 0, 0);
        std::string bytes = w[0] == "fill" ? std::string(pattern.begin(), pattern.end()) : rest;
        Write(w[1], bytes);
    } else if (w[0] == "mkdir") {
        fs::create_directories(At(w[1]));
    } else if (w[0] == "rm") {
        fs::remove_all(At(w[1]));
    } else if (w[0] == "mv") {
        fs::rename(At(w[1]), At(w[2]));
    } else if (w[0] == "link") {
        fs::create_symlink(w[2], At(w[1]));
    } else if (w[0] == "patch") {
        auto device = nlohmann::json::parse(FileText(At(w[1]) / "device.json"));
        device.merge_patch(nlohmann::json::parse(rest));
        std::ofstream(At(w[1]) / "device.json") << device.dump(2);
    } else if (w[0] == "tree") {
        shown = fs::exists(At(w[1])) ? "" : "  (none)\n";
        for (const auto &[path, what] : Snapshot(At(w[1]), true))
            shown += "  " + path +
                     (path.ends_with("device.json") ? ""
                      : what[0] == '='              ? "  " + what.substr(1)
                                                    : "  " + what) +
                     "\n";
    } else if (w[0] == "same") {
        bool files = fs::is_regular_file(At(w[1])) && fs::is_regular_file(At(w[2]));
        bool same = files ? FileText(At(w[1])) == FileText(At(w[2]))
                          : fs::exists(At(w[1])) && Snapshot(At(w[1])) == Snapshot(At(w[2]));
        shown = same ? "  same\n" : "  differ\n";
    } else if (w[0] == "peek") {
        std::string bytes = FileText(At(w[1]));
        long long at = number(2) < 0 ? number(2) + (long long)bytes.size() : number(2);
        shown = hex(bytes.substr(at, number(3)));
    } else if (w[0] == "flip") {
        std::string bytes = FileText(At(w[1]));
        bytes.at(number(2)) ^= 0x01;
        Write(w[1], bytes);
    } else if (w[0] == "chop") {
        std::string bytes = FileText(At(w[1]));
        Write(w[1], bytes.substr(0, bytes.size() - std::min<size_t>(bytes.size(), number(2))));
    } else if (w[0] == "sum") {
        std::string bytes = FileText(At(w[1]));
        if (w.size() > 3)
            bytes = bytes.substr(number(2), number(3));
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char byte : bytes)
            hash = (hash ^ byte) * 1099511628211ull;
        shown = "  " + Hex(hash) + "\n";
    } else if (w[0] == "grep" || w[0] == "count") {
        std::istringstream lines(Shown(FileText(At(w[1]))));
        size_t count = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.find(rest) != std::string::npos && ++count && w[0] == "grep")
                shown += "  " + line + "\n";
        if (w[0] == "count")
            shown = "  " + std::to_string(count) + " lines\n";
    } else if (w[0] == "bin") {
        devkit::LoadedBinImage image = devkit::ReadBinImageFile(At(w[1]));
        shown = "  start 0x" + Hex(image.start) + ", launch 0x" + Hex(image.launch) + ", " +
                std::to_string(image.length) + " bytes, records";
        for (const devkit::BinRecord &record : image.records)
            shown += " 0x" + Hex(record.length);
        shown += std::string(image.bytes.begin(), image.bytes.end()) == FileText(At(w[2]))
                     ? "; the bytes of " + w[2] + "\n"
                     : "; not the bytes of " + w[2] + "\n";
    } else if (w[0] == "lay") {
        devkit::LoadedBinImage image = devkit::ReadBinImageFile(At(w[2]));
        std::string nb0 = FileText(At(w[3]));
        auto mapped = flash();
        HandFlash hand(*mapped);
        hand.LayBootLoader(std::vector<uint8_t>(nb0.begin(), nb0.end()));
        hand.LayNk({image.bytes, image.start, image.launch, 0});
    } else if (w[0] == "clear") {
        HandFlash(*flash()).ClearByte(number(2), number(3), number(4));
    } else if (w[0] == "cut") {
        // "cut DIR N OUTCOME" at the N-th erase or program, "cut DIR file N OUTCOME" at the N-th
        // change of the files.
        const bool file = w[2] == "file";
        std::unique_ptr<sim::Device> device = sim::Device::Open(At(w[1]));
        const uint64_t n = uint64_t(number(file ? 3 : 2));
        const sim::PowerCutOutcome outcome = *sim::ParsePowerCutOutcome(w[file ? 4 : 3]);
        if (!file)
            sim::DeviceFlash(*device).CutPowerAt(n, outcome);
        ce_host::PlanFileCut(file ? std::optional(ce_host::FileCutPlan{n, outcome}) : std::nullopt);
        try {
            qs_tools::BootShell(*device, {.quiet = true});
            shown = "  (no cut)\n";
        } catch (const qs_tools::BootPowerCut &cut) {
            shown = "  " + cut.cut + "\n";
            if (file)
                shown += "  " + device->Events().Events().back().dump() + "\n";
        }
        ce_host::PlanFileCut(std::nullopt);
    } else if (w[0] == "erase") {
        flash()->EraseBlock(uint32_t(number(2)));
    } else if (w[0] == "markbad") {
        flash()->MarkBad(uint32_t(number(2)));
    } else {
        ADD_FAILURE() << "no step " << w[0];
    }
    return shown;
}

}  // namespace qs_test
