#include "tools/reports/boot_status.h"

#include <fstream>
#include <set>

#include "devkit/device_view.h"
#include "devkit/flash_verify.h"
#include "devkit/update_package.h"
#include "sim/error.h"
#include "tools/runner/boot_summary.h"

namespace qs_tools {

namespace fs = std::filesystem;

namespace {

std::optional<WaitingUpdate> FindWaitingUpdate(const fs::path &folder)
{
    std::optional<fs::path> nk = devkit::ChosenUpdateFile(folder, "R5nk_", ".bin");
    if (!nk)
        return std::nullopt;
    WaitingUpdate waiting{nk->lexically_relative(folder), {}, {}, {}, {}};
    if (std::optional<fs::path> nb0 = devkit::ChosenUpdateFile(folder, "R5boot_", ".nb0"))
        waiting.bootLoader = nb0->lexically_relative(folder);
    waiting.trailer = devkit::ReadBinTrailerAtEnd(*nk);
    try {
        waiting.imageBytes = devkit::ReadBinImageFile(*nk).length;
    } catch (const sim::DeviceError &error) {
        waiting.unreadable = error.what();
    }
    return waiting;
}

// The images the waiting update would leave on the flash; a boot loader refused by its CRC side
// file or missing leaves the one there.
BootImages WaitingImages(const fs::path &folder, const std::optional<WaitingUpdate> &waiting,
                         const BootImages &onFlash)
{
    BootImages images;
    if (waiting && !waiting->unreadable) {
        std::optional<fs::path> nb0;
        if (waiting->bootLoader)
            nb0 = folder / *waiting->bootLoader;
        images = ReadPackageImages(folder / waiting->nk, nb0);
    }
    if (!images.bootLoader)
        images.bootLoader = onFlash.bootLoader;
    return images;
}

// The images a waiting update would leave on the flash; a package the shell refuses leaves the
// flash as it is, and offers nothing.
void JudgeByWaitingUpdate(const fs::path &folder, const std::optional<WaitingUpdate> &waiting,
                          JudgeImages &images)
{
    try {
        images.waiting = WaitingImages(folder, waiting, images.onFlash);
        images.nkOffered = waiting && !waiting->unreadable;
        images.bootLoaderOffered = images.nkOffered && waiting->bootLoader.has_value();
    } catch (const sim::DeviceError &) {
        images.waiting = images.onFlash;
    }
}

// The first difference between the flash and an offered image, as quordev verify finds it.
std::string FirstDifference(sim::FlashDriver &flash, const BootImages &offered, bool bootLoader)
{
    std::optional<std::span<const uint8_t>> nb0;
    if (bootLoader)
        nb0 = *offered.bootLoader;
    return devkit::VerifyFlash(flash, *offered.nk, nb0).failure.value_or("");
}

// The reference images as the old ones; without a boot loader among them, the flash's own.
BootImages ReferenceAsOld(const ReferenceImages &reference, BootImages onFlash)
{
    BootImages given = ReadPackageImages(reference.nk, reference.bootLoader);
    if (!given.bootLoader)
        given.bootLoader = std::move(onFlash.bootLoader);
    given.missing = std::move(onFlash.missing);
    return given;
}

// What "old" was judged by.
std::string JudgedByText(const DeviceStatus &status)
{
    if (!status.reference)
        return "the flash alone: the StepLoader's checksum, TOC_Read and ID[3]; no checksum covers "
               "EBoot or the NK image, so a torn block there reads as whole (--nk and --eboot "
               "compare them with images)";
    const ReferenceImages &reference = *status.reference;
    return reference.nk.filename().string() + " byte for byte, " +
           (reference.bootLoader ? reference.bootLoader->filename().string() + " byte for byte"
                                 : "the boot loader by its StepLoader checksum alone");
}

// What the last boot changed of the blocks the boot loader reads and did not finish: cut by the
// power, or left by an image writer that failed, the boot loader's blocks 0-4 or the TOC and NK
// blocks from 5 on.
std::optional<std::string> UnfinishedChange(const fs::path &folder,
                                            const devkit::BootLoaderView &view)
{
    std::vector<sim::Journal::Event> events;
    std::ifstream in(folder / "journal.jsonl");
    for (std::string line; std::getline(in, line);)
        if (auto event = sim::Journal::Event::parse(line, nullptr, false); event.is_object())
            events.push_back(event);
    if (events.empty())
        return std::nullopt;
    std::set<uint32_t> read = {0, devkit::kTocBlock};
    read.insert(view.eboot.blocks.begin(), view.eboot.blocks.end());
    if (view.nk)
        read.insert(view.nk->blocks.begin(), view.nk->blocks.end());
    const BootSummary last = SummarizeJournal(events);
    const sim::Journal::Event &end = events.back();
    const bool cut = end["event"] == "power_cut";
    std::vector<uint32_t> changed;
    for (uint32_t block : ChangedBlocks(events))
        if (read.contains(block) &&
            (cut || (block < devkit::kTocBlock ? last.bootLoader : last.osUpdate) == false))
            changed.push_back(block);
    if (changed.empty())
        return std::nullopt;
    const std::string blocks = "block" + std::string(changed.size() > 1 ? "s " : " ") +
                               devkit::BlockRanges(changed) + ", which the boot loader reads";
    if (cut)
        return "the last boot lost power at flash operation " + end["operation"].dump() + " (the " +
               end["op"].get<std::string>() + " of block " + end["block"].dump() + ", " +
               end["outcome"].get<std::string>() + ") after it changed " + blocks +
               ", and the flash does not hold the waiting update whole";
    return "the last boot's update failed after it changed " + blocks + ": \"" +
           (changed.back() < devkit::kTocBlock ? last.bootLoaderFailure : last.osUpdateFailure) +
           "\"";
}

// ID[3] "nk.bin" version 0x1: 96 sectors (196608 bytes) in blocks 6-7, load 0x80020000, ...
std::string NkText(const devkit::BootLoaderView &view)
{
    const devkit::TocImage &image = view.toc->images[devkit::kNkImageIndex];
    return "ID[3] \"" + devkit::PrintableField(image.name) + "\" version " +
           devkit::Hex(image.version) + ": " + std::to_string(image.sectors) + " sectors (" +
           std::to_string(uint64_t(image.sectors) * sim::kSectorDataSize) + " bytes) in blocks " +
           devkit::BlockRanges(view.nk->blocks) + ", load " + devkit::Hex(image.loadAddress) +
           ", jump " + devkit::Hex(image.jumpAddress);
}

std::string WaitingText(const WaitingUpdate &waiting)
{
    std::string text = waiting.nk.string() + ": ";
    if (waiting.trailer)
        text += devkit::BinTrailerText(*waiting.trailer) + "; ";
    text += waiting.unreadable ? "unreadable: " + *waiting.unreadable
                               : std::to_string(*waiting.imageBytes) + " bytes";
    return text;
}

void AddRow(std::string &text, const char *label, const std::vector<std::string> &lines)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        char head[24];
        std::snprintf(head, sizeof head, "  %-13s", i ? "" : label);
        text += head + lines[i] + "\n";
    }
}

}  // namespace

void JudgeBootOnFlash(sim::FlashDriver &flash, const JudgeImages &images, BootSummary &summary)
{
    const FlashJudgement judgement = JudgeFlash(flash, images.onFlash, images.waiting);
    if (judgement.verdict == Verdict::Unbootable)
        summary.deadAfter = UnbootableReason(judgement);
    // An image the flash held before the boot proves nothing about what the shell wrote.
    const auto judge = [&](bool offered, bool heldBefore, std::optional<bool> reported,
                           ImageMatch match, bool bootLoader, std::optional<bool> &onFlash,
                           std::string &difference) {
        if (!offered || !reported || (heldBefore && !*reported))
            return;
        onFlash = match == ImageMatch::New;
        if (*onFlash || !*reported)
            return;
        try {
            difference = FirstDifference(flash, images.waiting, bootLoader);
        } catch (const sim::DeviceError &error) {
            difference = error.what();
        }
    };
    judge(images.bootLoaderOffered, images.bootLoaderHeldBefore, summary.bootLoader,
          judgement.bootLoader, true, summary.bootLoaderOnFlash, summary.bootLoaderDifference);
    judge(images.nkOffered, images.nkHeldBefore, summary.osUpdate, judgement.nk, false,
          summary.nkOnFlash, summary.nkDifference);
}

DeviceStatus ReadDeviceStatus(const fs::path &folder, bool signatures,
                              const std::optional<ReferenceImages> &reference)
{
    DeviceStatus status;
    status.reference = reference;
    std::unique_ptr<sim::FlashDriver> driver = devkit::OpenDeviceFlash(folder);
    status.waiting = FindWaitingUpdate(folder);
    status.updateKey = devkit::ReadDeviceKey(folder);
    if (signatures && status.waiting && status.updateKey && status.updateKey->key) {
        std::vector<fs::path> images = {status.waiting->nk};
        if (status.waiting->bootLoader)
            images.push_back(*status.waiting->bootLoader);
        for (const fs::path &image : images)
            status.signatures.emplace_back(
                image.filename().string(),
                devkit::SignatureProblem(folder / image, *status.updateKey->key)
                    .value_or("verified"));
    }
    if (!driver) {
        JudgeByWaitingUpdate(folder, status.waiting, status.images);
        status.why.push_back("the flash was never written (no nand.bin)");
        return status;
    }
    status.view = devkit::ViewBootLoader(*driver);
    status.images.onFlash = ReadBootImages(*driver);
    if (reference)
        status.images.onFlash = ReferenceAsOld(*reference, std::move(status.images.onFlash));
    const BootImages &onFlash = status.images.onFlash;
    JudgeByWaitingUpdate(folder, status.waiting, status.images);
    const FlashJudgement judgement = JudgeFlash(*driver, onFlash, status.images.waiting);
    status.verdict = judgement.verdict;
    status.images.bootLoaderHeldBefore = judgement.bootLoader == ImageMatch::New;
    status.images.nkHeldBefore = judgement.nk == ImageMatch::New;
    status.why = onFlash.missing;
    if (status.verdict == Verdict::New)
        return status;
    if (reference && status.verdict == Verdict::Unbootable)
        status.why.push_back(
            "the flash does not hold " + reference->nk.filename().string() +
            (reference->bootLoader ? " and " + reference->bootLoader->filename().string()
                                   : std::string()) +
            ": " + FirstDifference(*driver, onFlash, reference->bootLoader.has_value()));
    if (std::optional<std::string> unfinished = UnfinishedChange(folder, *status.view)) {
        status.verdict = Verdict::Unbootable;
        status.why.push_back(*unfinished);
    }
    return status;
}

const char *BootedImageName(Verdict verdict)
{
    return verdict == Verdict::Unbootable ? "none" : VerdictName(verdict);
}

std::string BootVerdictText(Verdict verdict)
{
    return verdict == Verdict::Old   ? "boots the image on its flash (old)"
           : verdict == Verdict::New ? "boots the waiting update's image (new), which its flash "
                                       "holds already"
                                     : "would not boot (none)";
}

std::string StatusText(const std::string &folder, const DeviceStatus &status)
{
    std::string text = folder + " " + BootVerdictText(status.verdict) + "\n";
    AddRow(text, "why", status.why);
    if (status.view)
        AddRow(text, "judged by", {JudgedByText(status)});
    if (status.verdict != Verdict::Unbootable) {
        AddRow(text, "boot loader",
               {"StepLoader in block 0, EBoot in blocks " +
                devkit::BlockRanges(status.view->eboot.blocks)});
        AddRow(text, "NK image", {NkText(*status.view)});
    }
    if (status.waiting) {
        std::vector<std::string> lines = {WaitingText(*status.waiting)};
        if (status.waiting->bootLoader)
            lines.push_back(status.waiting->bootLoader->string());
        AddRow(text, "waiting", lines);
    }
    if (status.updateKey)
        AddRow(text, "update key", {devkit::DeviceKeyText(status.updateKey)});
    std::vector<std::string> signatures;
    for (const auto &[image, verdict] : status.signatures)
        signatures.push_back(image + ": " + verdict);
    if (!signatures.empty())
        AddRow(text, "signatures", signatures);
    return text;
}

nlohmann::ordered_json UpdateKeyJson(const std::optional<devkit::DeviceKey> &key)
{
    if (!key)
        return nullptr;
    return {{"path", devkit::kUpdateKeyDevicePath},
            {"fingerprint",
             key->key ? nlohmann::ordered_json(devkit::KeyFingerprint(*key->key)) : nullptr},
            {"problem", key->problem ? nlohmann::ordered_json(*key->problem) : nullptr}};
}

nlohmann::ordered_json StatusJson(const DeviceStatus &status)
{
    nlohmann::ordered_json nk = nullptr, waiting = nullptr;
    if (status.verdict != Verdict::Unbootable) {
        const devkit::TocImage &image = status.view->toc->images[devkit::kNkImageIndex];
        nk = {{"name", devkit::PrintableField(image.name)},
              {"version", image.version},
              {"sectors", image.sectors},
              {"bytes", uint64_t(image.sectors) * sim::kSectorDataSize},
              {"blocks", status.view->nk->blocks},
              {"load_address", image.loadAddress},
              {"jump_address", image.jumpAddress}};
    }
    if (const std::optional<WaitingUpdate> &w = status.waiting) {
        nlohmann::ordered_json trailer = nullptr;
        if (w->trailer)
            for (const devkit::BinTrailerField &field : devkit::kBinTrailerFields)
                trailer[field.name] = devkit::PrintableField((*w->trailer).*field.value);
        waiting = {
            {"nk", w->nk.string()},
            {"boot_loader",
             w->bootLoader ? nlohmann::ordered_json(w->bootLoader->string()) : nullptr},
            {"trailer", trailer},
            {"image_bytes", w->imageBytes ? nlohmann::ordered_json(*w->imageBytes) : nullptr},
            {"unreadable", w->unreadable ? nlohmann::ordered_json(*w->unreadable) : nullptr}};
    }
    nlohmann::ordered_json signatures = nullptr;
    for (const auto &[image, verdict] : status.signatures)
        signatures[image] = verdict;
    return {{"boots", status.verdict != Verdict::Unbootable},
            {"image", BootedImageName(status.verdict)},
            {"why", status.why},
            {"judged_by", status.view ? nlohmann::ordered_json(JudgedByText(status)) : nullptr},
            {"nk", nk},
            {"waiting", waiting},
            {"update_key", UpdateKeyJson(status.updateKey)},
            {"signatures", signatures}};
}

}  // namespace qs_tools
