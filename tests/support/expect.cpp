#include "tests/support/expect.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/host/host.h"

namespace qs_test {

namespace {

const std::string kNoNewline = "\\c";
const std::string kEntryEnd = "\r\n";

std::string GoldenPath(const std::string &name)
{
    return std::string(QS_GOLDEN_DIR) + "/" + name + ".log";
}

std::string ToLine(const std::string &entry)
{
    if (entry.size() >= kEntryEnd.size() &&
        entry.compare(entry.size() - kEntryEnd.size(), kEntryEnd.size(), kEntryEnd) == 0)
        return entry.substr(0, entry.size() - kEntryEnd.size());
    return entry + kNoNewline;
}

std::string ToEntry(const std::string &line)
{
    if (line.size() >= kNoNewline.size() &&
        line.compare(line.size() - kNoNewline.size(), kNoNewline.size(), kNoNewline) == 0)
        return line.substr(0, line.size() - kNoNewline.size());
    return line + kEntryEnd;
}

// The first differing line with a few lines of context on each side, "-" expected, "+" actual.
std::string LineDiff(const Lines &expected, const Lines &actual)
{
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    std::ostringstream out;
    size_t from = at < 3 ? 0 : at - 3;
    out << "first difference at line " << at + 1 << ":\n";
    for (size_t i = from; i < at; ++i)
        out << "  " << ToLine(expected[i]) << "\n";
    for (size_t i = at; i < expected.size() && i < at + 4; ++i)
        out << "- " << ToLine(expected[i]) << "\n";
    for (size_t i = at; i < actual.size() && i < at + 4; ++i)
        out << "+ " << ToLine(actual[i]) << "\n";
    return out.str();
}

}  // namespace

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

Lines Join(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

void ExpectNothingHeld()
{
    ce_host::Holdings held = ce_host::Held();
    EXPECT_EQ(held.handles, 0u) << "handles still open";
    EXPECT_EQ(held.heapBlocks, 0u) << "heap blocks still allocated";
}

Lines GoldenLog(const std::string &name)
{
    std::ifstream file(GoldenPath(name), std::ios::binary);
    Lines entries;
    for (std::string line; std::getline(file, line);)
        entries.push_back(ToEntry(line));
    return entries;
}

void ExpectGoldenLog(const Lines &entries, const std::string &name)
{
    if (const char *update = std::getenv("QS_UPDATE_GOLDEN"); update && std::string(update) == "1") {
        std::ofstream file(GoldenPath(name), std::ios::binary);
        for (const std::string &entry : entries)
            file << ToLine(entry) << "\n";
        return;
    }
    Lines expected = GoldenLog(name);
    ASSERT_FALSE(expected.empty()) << "no golden log " << GoldenPath(name);
    EXPECT_TRUE(entries == expected) << name << ".log: " << LineDiff(expected, entries);
}

}  // namespace qs_test
