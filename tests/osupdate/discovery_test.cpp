// Finding an update: the root probe with its retries, the presence of the update folder and the
// NK image, and the choice of one image among several.
#include "osupdate/OSUPDATE.h"
#include "osupdate/update_source.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace discovery_test {

using nlohmann::json;
using qs_test::Narrow;
using qs_test::TempDevice;

const std::string kEntry = "[QuorShell]IsExistImageFile ++ \r\n";
const std::string kFound = "Find flashdisk success \r\n";
const std::string kDir = "DirPath== \\flashdisk\\K275D-Update \r\n";
const std::string kFolderFound = "Found Image Path! \r\n";
const std::string kNkPattern = "Find NK Image Path==\\flashdisk\\K275D-Update\\R5nk_*.bin \r\n";
const std::string kNkFound = "[QuorShell]IsExistImageFile Found OS NK Image! \r\n";

class Discovery : public testing::Test {
protected:
    void MakeDevice(const json &files = json::object())
    {
        device_.reset();
        device_ = std::make_unique<TempDevice>(json{{"files", files}});
        ResetShellState();
    }

    std::vector<uint32_t> Sleeps()
    {
        std::vector<uint32_t> sleeps;
        for (const auto &event : device_->EventsOf("sleep"))
            sleeps.push_back(event["ms"].get<uint32_t>());
        return sleeps;
    }

    void ExpectNothingHeld()
    {
        EXPECT_EQ(ce_host::Held().handles, 0u);
        EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    }

    std::unique_ptr<TempDevice> device_;
};

struct MountCase {
    const char *name;
    uint32_t mountAfterMs;
    size_t sleeps;
    DWORD result;
};

class RootProbe : public Discovery, public testing::WithParamInterface<MountCase> {};

// The root mounts at the n-th attempt after n-1 pauses of 100 ms; the 29th miss gives up.
TEST_P(RootProbe, RetriesEvery100msUpTo29Attempts)
{
    MakeDevice({{"mount_after_ms", {{"flashdisk", GetParam().mountAfterMs}}}});
    device_->PutFile("\\flashdisk\\K275D-Update\\R5nk_240315.bin", "B000FF\n");

    EXPECT_EQ(IsExistImageFile(1), GetParam().result);

    EXPECT_EQ(Sleeps(), std::vector<uint32_t>(GetParam().sleeps, 100));
    std::vector<std::string> expected = {kEntry};
    if (GetParam().result)
        expected.insert(expected.end(), {kFound, kDir, kFolderFound, kNkPattern, kNkFound});
    else
        expected.push_back("OSUPDATE: No Update Folder \r\n");
    EXPECT_EQ(device_->LogEntries(), expected);
    ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(Table, RootProbe,
                         testing::Values(MountCase{"AtOnce", 0, 0, 1},
                                         MountCase{"ThirdAttempt", 200, 2, 1},
                                         MountCase{"LastAttempt", 2800, 28, 1},
                                         MountCase{"Never", 2900, 29, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Discovery, NoRootAtAllCostsTwoPointNineSeconds)
{
    MakeDevice();

    EXPECT_EQ(FindStorageRoot(u"flashdisk"), 0u);

    auto sleeps = device_->EventsOf("sleep");
    ASSERT_EQ(sleeps.size(), 29u);
    EXPECT_EQ(sleeps.back()["t"].get<uint64_t>() + sleeps.back()["ms"].get<uint64_t>(), 2900u);
    EXPECT_TRUE(device_->LogEntries().empty());  // the caller logs its own failure
    ExpectNothingHeld();
}

struct FolderCase {
    const char *name;
    std::vector<std::string> files;
    std::vector<std::string> tail;
};

class UpdateFolder : public Discovery, public testing::WithParamInterface<FolderCase> {};

TEST_P(UpdateFolder, NeedsTheFolderAndAnNkImage)
{
    MakeDevice();
    device_->PutFolder("\\flashdisk");
    for (const std::string &file : GetParam().files)
        device_->PutFile(file, "x");

    std::vector<std::string> expected = {kEntry, kFound, kDir};
    expected.insert(expected.end(), GetParam().tail.begin(), GetParam().tail.end());
    EXPECT_EQ(IsExistImageFile(1), GetParam().tail.back() == kNkFound ? 1u : 0u);
    EXPECT_EQ(device_->LogEntries(), expected);
    EXPECT_TRUE(device_->EventsOf("sleep").empty());
    ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(Table, UpdateFolder,
                         testing::Values(FolderCase{"FolderMissing",
                                                    {"\\flashdisk\\Other\\R5nk_240315.bin"},
                                                    {"ERROR(2)- Cannot find Image Path \r\n"}},
                                         FolderCase{
                                             "OnlyEbootImage",
                                             {"\\flashdisk\\K275D-Update\\R5boot_240315.nb0",
                                              "\\flashdisk\\K275D-Update\\R5boot_240315.nb0.crc"},
                                             {kFolderFound, kNkPattern,
                                              "ERROR(2)- Cannot find NK image file \r\n"}},
                                         FolderCase{"NkImageOfOtherCase",
                                                    {"\\flashdisk\\k275d-update\\r5NK_1.BIN"},
                                                    {kFolderFound, kNkPattern, kNkFound}},
                                         FolderCase{"NkImage",
                                                    {"\\flashdisk\\K275D-Update\\R5boot_240315.nb0",
                                                     "\\flashdisk\\K275D-Update\\R5nk_240315.bin"},
                                                    {kFolderFound, kNkPattern, kNkFound}}),
                         [](const auto &info) { return std::string(info.param.name); });

// The probes look on USB for selector 2, the installers on SMD; both agree elsewhere.
TEST(StorageSelector, NamesTheRootOfEachCaller)
{
    struct Row {
        DWORD selector;
        const char *probe;
        const char *update;
    };
    for (const Row &row :
         {Row{1, "flashdisk", "flashdisk"}, Row{2, "USB", "SMD"}, Row{3, "SD", "SD"},
          Row{0, "flashdisk", "flashdisk"}, Row{4, "flashdisk", "flashdisk"},
          Row{0xFFFFFFFF, "flashdisk", "flashdisk"}}) {
        EXPECT_EQ(Narrow(ProbeRootName(row.selector)), row.probe) << row.selector;
        EXPECT_EQ(Narrow(UpdateRootName(row.selector)), row.update) << row.selector;
    }
}

TEST_F(Discovery, ProbesTheRootOfItsSelector)
{
    MakeDevice();
    device_->PutFile("\\USB\\K275D-Update\\R5nk_1.bin", "x");
    device_->PutFile("\\SD\\K275D-Update\\R5nk_1.bin", "x");

    EXPECT_EQ(IsExistImageFile(2), 1u);
    EXPECT_EQ(IsExistImageFile(3), 1u);

    std::vector<std::string> log = device_->LogEntries();
    ASSERT_EQ(log.size(), 12u);
    EXPECT_EQ(log[1], "Find USB success \r\n");
    EXPECT_EQ(log[2], "DirPath== \\USB\\K275D-Update \r\n");
    EXPECT_EQ(log[7], "Find SD success \r\n");
    EXPECT_EQ(log[8], "DirPath== \\SD\\K275D-Update \r\n");
}

struct ChoiceCase {
    const char *name;
    std::vector<std::string> files;
    const char *byName;     // chosen under find_order "name"
    const char *byReverse;  // chosen under find_order "reverse"
};

class ImageChoice : public Discovery,
                    public testing::WithParamInterface<std::tuple<ChoiceCase, bool>> {};

TEST_P(ImageChoice, TakesTheGreatestKeyAndTheFirstOfEqualKeys)
{
    const auto &[choice, reverse] = GetParam();
    MakeDevice({{"find_order", reverse ? "reverse" : "name"}});
    device_->PutFile("\\flashdisk\\K275D-Update\\R5boot_999999.nb0", "x");
    for (const std::string &file : choice.files)
        device_->PutFile("\\flashdisk\\K275D-Update\\" + file, "x");
    WCHAR path[MAX_PATH];
    PathClear(path);
    PathCopy(path, u"\\flashdisk\\K275D-Update\\R5nk_*.bin");

    GetUpdateFilePath(path, u"\\flashdisk\\K275D-Update");

    std::string expected =
        std::string("\\flashdisk\\K275D-Update\\") + (reverse ? choice.byReverse : choice.byName);
    EXPECT_EQ(Narrow(path), expected);
    EXPECT_EQ(device_->LogEntries(),
              std::vector<std::string>{"Update File Path : " + expected + " \r\n"});
    ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImageChoice,
    testing::Combine(
        testing::Values(
            ChoiceCase{"Single", {"R5nk_240315.bin"}, "R5nk_240315.bin", "R5nk_240315.bin"},
            ChoiceCase{"Newer",
                       {"R5nk_240101.bin", "R5nk_240102.bin"},
                       "R5nk_240102.bin",
                       "R5nk_240102.bin"},
            ChoiceCase{"NewerAmongThree",
                       {"R5nk_240101.bin", "R5nk_240301.bin", "R5nk_240201.bin"},
                       "R5nk_240301.bin",
                       "R5nk_240301.bin"},
            ChoiceCase{"EqualKeysFirstEnumerated",
                       {"R5nk_240101a.bin", "R5nk_240101b.bin"},
                       "R5nk_240101a.bin",
                       "R5nk_240101b.bin"},
            ChoiceCase{"SeventhCharacterIgnored",
                       {"R5nk_2401019.bin", "R5nk_2401011.bin"},
                       "R5nk_2401011.bin",
                       "R5nk_2401019.bin"},
            ChoiceCase{
                "TextNotNumbers", {"R5nk_7.bin", "R5nk_240101.bin"}, "R5nk_7.bin", "R5nk_7.bin"},
            ChoiceCase{"KeyThatIsAPrefixLoses",
                       {"R5nk_1.bin", "R5nk_1.bin1.bin"},
                       "R5nk_1.bin1.bin",
                       "R5nk_1.bin1.bin"}),
        testing::Bool()),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_Reverse" : "_Name");
    });

TEST_F(Discovery, VanishedImageKeepsThePattern)
{
    MakeDevice();
    device_->PutFolder("\\flashdisk\\K275D-Update");
    WCHAR path[MAX_PATH];
    PathClear(path);
    PathCopy(path, u"\\flashdisk\\K275D-Update\\R5nk_*.bin");

    GetUpdateFilePath(path, u"\\flashdisk\\K275D-Update");

    EXPECT_EQ(Narrow(path), "\\flashdisk\\K275D-Update\\R5nk_*.bin");
    EXPECT_EQ(
        device_->LogEntries(),
        std::vector<std::string>{"Update File Path : \\flashdisk\\K275D-Update\\R5nk_*.bin \r\n"});
    ExpectNothingHeld();
}

}  // namespace discovery_test
