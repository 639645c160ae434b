// quordev mkbin, mknb0, crc and package: the files they write, and the input they refuse.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "devkit/bin_reader.h"
#include "sim/device_lock.h"
#include "tests/tools/tool_run.h"

namespace {

namespace fs = std::filesystem;
using qs_test::FileText;
using qs_test::ToolRun;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ImageToolTest : public ::testing::Test {
protected:
    ToolRun Quordev(std::vector<std::string> args)
    {
        return qs_test::RunTool(QUORDEV_EXE, args, temp_.path());
    }
    fs::path At(const std::string &name) const { return temp_.path() / name; }
    void Write(const std::string &name, const std::string &content)
    {
        fs::create_directories(At(name).parent_path());
        std::ofstream(At(name), std::ios::binary) << content;
    }
    std::vector<std::string> Listing(const fs::path &folder) const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static void ExpectOneLineRefusal(const ToolRun &run, const std::string &reason)
    {
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err, StartsWith("quordev: "));
        EXPECT_THAT(run.err, HasSubstr(reason));
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }

    qs_test::TempFolder temp_;
};

TEST_F(ImageToolTest, CrcPrintsTheValueAndWritesTheSideFile)
{
    Write("abc.nb0", "abc");
    ToolRun run = Quordev({"crc", "abc.nb0"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0xCADBBE3D\n");
    EXPECT_EQ(FileText(At("abc.nb0.crc")), "\x3D\xBE\xDB\xCA");
    EXPECT_EQ(Listing(temp_.path()), (std::vector<std::string>{"abc.nb0", "abc.nb0.crc"}));
}

TEST_F(ImageToolTest, Mknb0WritesTheWholeImageWithItsChecksumWord)
{
    Write("step.bin", std::string(16, '\x01') + std::string(100, '\x02'));
    ToolRun run = Quordev({"mknb0", "boot.nb0", "--steploader", "step.bin"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::string nb0 = FileText(At("boot.nb0"));
    ASSERT_EQ(nb0.size(), 0x84000u);
    // 100 bytes of 2 and 0xFF for the rest of offsets 16..16383.
    uint32_t sum = 200 + (16384 - 116) * 0xFF;
    EXPECT_EQ(nb0.substr(8, 4), std::string(reinterpret_cast<const char *>(&sum), 4));
    EXPECT_THAT(run.out, HasSubstr("checksum 0x"));
    EXPECT_EQ(nb0.substr(0x4000 + 0x800, 22), "EBoot block 1 sector 1");
}

TEST_F(ImageToolTest, MkbinWritesRecordsOfTheGivenSizeAndTheTrailer)
{
    std::string raw(0x23456, '\0');
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = char(i % 253 + 1);
    Write("raw", raw);
    ToolRun run = Quordev({"mkbin", "raw", "nk.bin", "--record", "0x8000", "--version", "240315",
                           "--language", "DEU"});
    EXPECT_EQ(run.status, 0) << run.err;
    devkit::LoadedBinImage image = devkit::ReadBinImageFile(At("nk.bin"));
    EXPECT_EQ(image.start, 0x80020000u);
    EXPECT_EQ(image.launch, 0x80020000u) << "the launch address defaults to the start";
    EXPECT_EQ(image.length, raw.size());
    EXPECT_EQ(image.records.size(), 5u);
    EXPECT_EQ(image.records.back().length, 0x3456u);
    EXPECT_EQ(std::string(image.bytes.begin(), image.bytes.end()), raw);
    std::string file = FileText(At("nk.bin"));
    EXPECT_EQ(file.substr(file.size() - 30), std::string("QUOR\0K275D\0\0\0\0\0\0", 16) + "240315" +
                                                 std::string("\0DEU\0\0\0\0", 8));
}

TEST_F(ImageToolTest, PackagePlacesTheImagesUnderTheShellsNames)
{
    ASSERT_EQ(Quordev({"init", "dev", "--blocks", "8"}).status, 0);
    Write("nk.bin", "B000FF\n the operating system");
    ASSERT_EQ(Quordev({"mknb0", "boot.nb0"}).status, 0);
    ToolRun crc = Quordev({"crc", "boot.nb0"});
    ToolRun run =
        Quordev({"package", "dev", "--nk", "nk.bin", "--eboot", "boot.nb0", "--name", "240315"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "placed in dev:\n"
              "  root/flashdisk/K275D-Update/R5nk_240315.bin\n"
              "  root/flashdisk/K275D-Update/R5boot_240315.nb0\n"
              "  root/flashdisk/K275D-Update/R5boot_240315.nb0.crc\n"
              "boot-loader CRC " +
                  crc.out);
    fs::path update = At("dev/root/flashdisk/K275D-Update");
    EXPECT_EQ(Listing(update),
              (std::vector<std::string>{"R5boot_240315.nb0", "R5boot_240315.nb0.crc",
                                        "R5nk_240315.bin"}));
    EXPECT_EQ(FileText(update / "R5nk_240315.bin"), FileText(At("nk.bin")));
    EXPECT_EQ(FileText(update / "R5boot_240315.nb0"), FileText(At("boot.nb0")));
    EXPECT_EQ(FileText(update / "R5boot_240315.nb0.crc"), FileText(At("boot.nb0.crc")));

    // A second package without a boot loader adds its image beside the first.
    ToolRun second = Quordev({"package", "dev", "--nk", "nk.bin", "--name", "240401"});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(Listing(update).size(), 4u);
    EXPECT_TRUE(fs::exists(update / "R5nk_240401.bin"));
}

// Each refusal is one line, and the device and the working folder stay as they were.
TEST_F(ImageToolTest, BadInputIsRefusedAndNothingIsWritten)
{
    ASSERT_EQ(Quordev({"init", "dev", "--blocks", "8"}).status, 0);
    Write("nk.bin", "B000FF\n");
    Write("big.step", std::string(0x4001, 'x'));
    Write("empty.raw", "");
    Write("raw", "image");
    struct Case {
        std::vector<std::string> args;
        const char *reason;
    };
    const Case cases[] = {
        {{"package", "dev", "--nk", "nk.bin", "--name", "a/b"}, "--name: \"a/b\" is not a key"},
        {{"package", "dev", "--nk", "nk.bin", "--name", "a*"}, "--name"},
        {{"package", "dev", "--nk", "missing.bin", "--name", "1"}, "missing.bin: no such file"},
        {{"package", "dev", "--nk", "nk.bin", "--eboot", "none.nb0", "--name", "1"},
         "none.nb0: no such file"},
        {{"package", "nodev", "--nk", "nk.bin", "--name", "1"}, "nodev: holds no device"},
        {{"package", "dev", "--name", "1"}, "--nk is required"},
        {{"mknb0", "out.nb0", "--steploader", "big.step"}, "big.step holds 16385 bytes"},
        {{"mknb0", "out.nb0", "--eboot", "gone"}, "gone: no such file"},
        {{"mkbin", "empty.raw", "out.bin"}, "empty.raw: is empty"},
        {{"mkbin", "raw", "out.bin", "--company", "QUORX"}, "company"},
        {{"mkbin", "raw", "out.bin", "--record", "0"}, "record"},
        {{"mkbin", "raw", "out.bin", "--start", "0x1G"}, "--start: \"0x1G\" is not a number"},
        {{"crc", "gone.nb0"}, "gone.nb0: cannot be read"},
    };
    const std::vector<std::string> before = Listing(temp_.path());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.reason);
        ExpectOneLineRefusal(Quordev(c.args), c.reason);
        EXPECT_EQ(Listing(temp_.path()), before);
        EXPECT_FALSE(fs::exists(At("dev/root/flashdisk/K275D-Update")));
    }
}

TEST_F(ImageToolTest, PackageIsRefusedWhileAnotherCommandHoldsTheDevice)
{
    ASSERT_EQ(Quordev({"init", "dev", "--blocks", "8"}).status, 0);
    Write("nk.bin", "B000FF\n");
    sim::DeviceLock holder(At("dev"));
    ExpectOneLineRefusal(Quordev({"package", "dev", "--nk", "nk.bin", "--name", "1"}),
                         "the device is in use");
    EXPECT_FALSE(fs::exists(At("dev/root/flashdisk/K275D-Update")));
}

TEST_F(ImageToolTest, EveryNewCommandHasHelp)
{
    for (const char *command : {"mkbin", "mknb0", "crc", "package", "verify"}) {
        ToolRun run = Quordev({command, "--help"});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_THAT(run.out, HasSubstr("Usage: ")) << command;
    }
}

}  // namespace
