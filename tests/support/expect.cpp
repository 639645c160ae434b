#include "tests/support/expect.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/host/call_faults.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "tests/support/temp_device.h"

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

size_t RunEnd(const std::vector<uint8_t> &bytes, size_t at)
{
    if (at >= bytes.size())
        return bytes.size();
    constexpr size_t kBlock = 4096;
    std::vector<uint8_t> same(kBlock, bytes[at]);
    size_t end = at;
    while (bytes.size() - end >= kBlock &&
           std::memcmp(bytes.data() + end, same.data(), kBlock) == 0)
        end += kBlock;
    while (end < bytes.size() && bytes[end] == bytes[at])
        ++end;
    return end;
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
    if (const char *update = std::getenv("QS_UPDATE_GOLDEN");
        update && std::string(update) == "1") {
        std::ofstream file(GoldenPath(name), std::ios::binary);
        for (const std::string &entry : entries)
            file << ToLine(entry) << "\n";
        return;
    }
    Lines expected = GoldenLog(name);
    ASSERT_FALSE(expected.empty()) << "no golden log " << GoldenPath(name);
    EXPECT_TRUE(entries == expected) << name << ".log: " << LineDiff(expected, entries);
}

namespace fs = std::filesystem;

const std::string kGone = "<gone>";

void LayEntries(const fs::path &deviceFolder, const Entries &entries)
{
    Tree tree;
    for (const auto &[devicePath, content] : entries) {
        std::string relative = devicePath;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        tree[relative] = content;
    }
    LayTree(deviceFolder / "root", tree);
}

Entries ReadEntries(const fs::path &deviceFolder)
{
    Entries entries;
    fs::path root = deviceFolder / "root";
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        std::string devicePath = "/" + entry.path().lexically_relative(root).string();
        std::replace(devicePath.begin(), devicePath.end(), '/', '\\');
        std::string &content = entries[devicePath];
        if (entry.is_directory()) {
            content = kFolder;
        } else if (entry.file_size() >= (uintmax_t{1} << 20)) {
            content = Sparse(entry.file_size());
        } else {
            content = FileText(entry.path());
        }
    }
    return entries;
}

Entries Changed(Entries before, const Entries &changes)
{
    for (const auto &[devicePath, content] : changes) {
        if (content != kGone) {
            before[devicePath] = content;
            continue;
        }
        before.erase(devicePath);
        const std::string folder = devicePath + "\\";
        std::erase_if(before, [&](const auto &entry) { return entry.first.starts_with(folder); });
    }
    return before;
}

std::string Words(std::initializer_list<uint32_t> words)
{
    std::string bytes;
    for (uint32_t word : words)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>(word >> shift));
    return bytes;
}

std::optional<uint64_t> CallFromNow(uint64_t k)
{
    if (k == 0)
        return std::nullopt;
    return ce_host::FallibleCalls().size() + k;
}

}  // namespace qs_test
