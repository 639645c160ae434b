// quordev init without a serial and with a chosen BINFS size, boots that act on them, and what
// quordev inspect then shows of the system-information files and the BINFS check log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/tools/tool_run.h"

namespace shell_files_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qs_test::FileText;
using qs_test::ToolRun;
using ::testing::HasSubstr;

class ShellFilesTool : public ::testing::Test {
protected:
    ToolRun Quordev(std::vector<std::string> args)
    {
        return qs_test::RunTool(QUORDEV_EXE, args, temp_.path());
    }
    void Boot()
    {
        ToolRun run = qs_test::RunTool(QUORSHELL_EXE, {"--device", "dev", "--quiet"}, temp_.path());
        ASSERT_EQ(run.status, 0) << run.out << run.err;
    }
    // inspect's lines from the system-information files to the application folders.
    std::string Section()
    {
        ToolRun run = Quordev({"inspect", "dev"});
        EXPECT_EQ(run.status, 0) << run.err;
        size_t start = run.out.find("system information files\n");
        size_t end = run.out.find("application folders\n");
        if (start == std::string::npos || end == std::string::npos || end < start)
            return "(no section in)\n" + run.out;
        return run.out.substr(start, end - start);
    }
    json InspectJson()
    {
        ToolRun run = Quordev({"inspect", "dev", "--json"});
        EXPECT_EQ(run.status, 0) << run.err;
        return json::parse(run.out);
    }
    void Put(const std::string &relative, const std::string &content)
    {
        std::ofstream(Dev() / relative, std::ios::binary) << content;
    }
    // Changes one section of device.json as a tester would by hand.
    void Describe(const std::string &section, const json &values)
    {
        json description = json::parse(FileText(Dev() / "device.json"));
        description[section].update(values);
        std::ofstream(Dev() / "device.json") << description.dump(2);
    }
    fs::path Dev() const { return temp_.path() / "dev"; }

    qs_test::TempFolder temp_;
};

const char *const kLogLine = "Check BINFS: 2026/12/ 5  8:30 ";

// A TOC that lost its serial gets it back from the file's name at the next boot; a partition
// below the minimum leaves the time of the finding in the log.
TEST_F(ShellFilesTool, SerialRestoredFromTheFileAndShortPartitionLogged)
{
    ToolRun init = Quordev({"init", "dev", "--serial", "none", "--binfs-sectors", "100"});
    ASSERT_EQ(init.status, 0) << init.err;
    EXPECT_THAT(init.out, ::testing::StartsWith("created a device in dev (boot key 0, 512 blocks, "
                                                "serial none, MAC 02:00:00:00:00:01, BINFS 100 "
                                                "sectors):\n"));
    EXPECT_EQ(json::parse(FileText(Dev() / "device.json"))["store"]["partitions"],
              json::parse(R"([{"name": "Part00", "file_system": "BINFS", "sectors": 100}])"));
    EXPECT_THAT(Quordev({"inspect", "dev"}).out,
                HasSubstr("  serial       0000000000 (absent: all 16 bytes zero)\n"));
    EXPECT_EQ(Section(), "system information files\n  none\nBINFS check log: none\n");

    Put("root/NAND/M7LITE_0020240316.sys", std::string("\x02\x00\x00\x00\x00\x09", 6));
    Boot();
    EXPECT_THAT(Quordev({"inspect", "dev"}).out,
                HasSubstr("  serial       0020240316 (present)\n"));
    EXPECT_EQ(Section(), std::string("system information files\n"
                                     "  \\NAND\\M7LITE_0020240316.sys  serial 0020240316, MAC "
                                     "02:00:00:00:00:09\n"
                                     "BINFS check log: \\flashdisk\\BINFS_CHECK.log, 64 bytes\n"
                                     "  \"") +
                             kLogLine + "\"\n");
    json view = InspectJson();
    EXPECT_EQ(view["system_info"], json::parse(R"([{"path": "\\NAND\\M7LITE_0020240316.sys",
        "serial": "0020240316", "serial_ten_digits": true, "size": 6,
        "mac": "02:00:00:00:00:09", "problem": null}])"));
    EXPECT_EQ(view["binfs_log"], json({{"path", "\\flashdisk\\BINFS_CHECK.log"},
                                       {"size", 64},
                                       {"lines", {kLogLine}},
                                       {"problem", nullptr}}));
}

// With its serial the TOC gives the file its name and the MAC address; a partition of the right
// size deletes an older log.
TEST_F(ShellFilesTool, FileCreatedFromTheTocAndOldLogDeleted)
{
    ASSERT_EQ(
        Quordev({"init", "dev", "--serial", "0123456789", "--mac", "00:1a:2b:3c:4d:5e"}).status, 0);
    Put("root/flashdisk/BINFS_CHECK.log", "old");
    EXPECT_EQ(Section(),
              "system information files\n  none\n"
              "BINFS check log: \\flashdisk\\BINFS_CHECK.log, 3 bytes; an odd size: the last byte "
              "is no UTF-16 character\n"
              "  \"\xE6\xB1\xAF\"\n");
    Boot();
    EXPECT_EQ(Section(),
              "system information files\n"
              "  \\NAND\\M7LITE_0123456789.sys  serial 0123456789, MAC 00:1A:2B:3C:4D:5E\n"
              "BINFS check log: none\n");
    EXPECT_EQ(InspectJson()["binfs_log"], nullptr);
}

// Several files, each as the shell's search lists them, with what keeps a MAC address from
// being read; the sector count at the top of its range is the right size.
TEST_F(ShellFilesTool, SeveralFilesAndTheLargestPartition)
{
    ASSERT_EQ(Quordev({"init", "dev", "--binfs-sectors", "18446744073709551615"}).status, 0);
    Put("root/NAND/m7lite_12ab.SYS", std::string(9, 'x'));
    fs::create_directory(Dev() / "root/NAND/M7LITE_dir.sys");
    Boot();
    EXPECT_EQ(Section(),
              "system information files\n"
              "  \\NAND\\m7lite_12ab.SYS  serial 12ab (not ten digits), 9 bytes, not 6\n"
              "  \\NAND\\M7LITE_dir.sys  serial dir (not ten digits), a folder, not a "
              "file\n"
              "BINFS check log: none\n");
    EXPECT_THAT(FileText(Dev() / "debug.log"), HasSubstr("NumSectors\t\t==0xFFFFFFFF \r\n"));
    json files = InspectJson()["system_info"];
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[1], json::parse(R"({"path": "\\NAND\\M7LITE_dir.sys", "serial": "dir",
        "serial_ten_digits": false, "size": null, "mac": null,
        "problem": "a folder, not a file"})"));
}

// A write fault keeps three of the six bytes: the shell says the write failed, inspect that the
// file is short, and the journal that the fault fired.
TEST_F(ShellFilesTool, ShortSystemInfoFileFromAWriteFault)
{
    ASSERT_EQ(Quordev({"init", "dev"}).status, 0);
    Describe("files",
             {{"fail_writes", {{{"path", "\\NAND\\M7LITE_0020240315.sys"}, {"after_bytes", 3}}}}});
    Boot();
    EXPECT_THAT(FileText(Dev() / "debug.log"), HasSubstr("WriteFile Sys Info File fail \r\n"));
    EXPECT_EQ(Section(),
              "system information files\n"
              "  \\NAND\\M7LITE_0020240315.sys  serial 0020240315, 3 bytes, not 6\n"
              "BINFS check log: none\n");
    EXPECT_THAT(FileText(Dev() / "journal.jsonl"),
                HasSubstr(R"("event":"fault","device":"files","what":"write to )"
                          R"(\\NAND\\M7LITE_0020240315.sys failed past byte 3"})"));
}

// Without the flash disk the serial check stops at its open and the BINFS check is silent; the
// boot is still clean.
TEST_F(ShellFilesTool, AbsentFlashDisk)
{
    ASSERT_EQ(Quordev({"init", "dev"}).status, 0);
    Describe("flash", {{"present", false}});
    Boot();
    std::string log = FileText(Dev() / "debug.log");
    EXPECT_THAT(log, HasSubstr("[QuorShell]CheckSystemInfo: CreateFile DSK1 fail \r\n"));
    EXPECT_THAT(log, ::testing::Not(HasSubstr("Partition Info")));
    EXPECT_EQ(Section(), "system information files\n  none\nBINFS check log: none\n");
    std::string journal = FileText(Dev() / "journal.jsonl");
    EXPECT_THAT(journal, HasSubstr(R"("event":"fault","device":"DSK1:","what":"absent: )"));
    EXPECT_THAT(journal, HasSubstr(R"("call":"OpenStore","detail":"DSK1:","ok":false,"error":2)"));
}

TEST_F(ShellFilesTool, InitRefusesWhatIsNoSerialOrSectorCount)
{
    struct Refusal {
        std::vector<std::string> args;
        const char *line;
    };
    for (const Refusal &r : {
             Refusal{{"--binfs-sectors", "-1"},
                     "quordev: --binfs-sectors: \"-1\" is not a whole number from 0 to "
                     "18446744073709551615\n"},
             Refusal{{"--binfs-sectors", "18446744073709551616"},
                     "quordev: --binfs-sectors: \"18446744073709551616\" is not a whole number "
                     "from 0 to 18446744073709551615\n"},
             Refusal{{"--binfs-sectors", "0x55C0"},
                     "quordev: --binfs-sectors: \"0x55C0\" is not a whole number from 0 to "
                     "18446744073709551615\n"},
             Refusal{{"--serial", "NONE"},
                     "quordev: --serial: \"NONE\" is not ten decimal digits or none\n"},
         }) {
        std::vector<std::string> args = {"init", "dev"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        ToolRun run = Quordev(args);
        EXPECT_EQ(run.status, 2) << r.args[1];
        EXPECT_EQ(run.err, r.line);
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(Dev()));
    }
}

}  // namespace
}  // namespace shell_files_test
