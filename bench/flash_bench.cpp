// How fast an OS update reaches the flash: each block erased, written and read back sector by
// sector through DeviceIoControl on DSK1:, as the shell does it.
#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <random>

#include <benchmark/benchmark.h>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "sim/flash_driver.h"

namespace {

namespace fs = std::filesystem;
using sim::FlashDriver;

constexpr DWORD kFirstNkBlock = 6;
constexpr DWORD kUpdateBlocks = 330;  // a 40 MiB image

fs::path NewFolderName()
{
    std::random_device random;
    return fs::temp_directory_path() / ("qs-bench-" + std::to_string(random()));
}

class BenchDevice {
public:
    explicit BenchDevice(bool inMemory)
    {
        folder_ = NewFolderName();
        device_ = sim::Device::Create(folder_, {{"flash", {{"blocks", 512}}}});
        if (inMemory)
            device_->AddDriver(std::make_unique<FlashDriver>(device_->Config().flash,
                                                             sim::FlashArray::InMemory(512)));
        ce_host::Attach(*device_);
        disk_ =
            CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        Send(FlashDriver::kSetNkFlag, 0xACEC);
        // Data only: a spare area with its bad-block mark cleared would make the block bad.
        record_.fill(0xFF);
        std::fill_n(record_.begin(), sim::kSectorDataSize, 0x5A);
    }
    ~BenchDevice()
    {
        CloseHandle(disk_);
        ce_host::Detach();
        device_.reset();
        fs::remove_all(folder_);
    }

    bool Send(DWORD code, DWORD word)
    {
        return DeviceIoControl(disk_, code, &word, sizeof(word), NULL, 0, NULL, NULL);
    }

    // Erase, 64 writes, 64 reads; false at the first refused call.
    bool UpdateBlock(DWORD block)
    {
        if (!Send(FlashDriver::kEraseBlock, block) ||
            !Send(FlashDriver::kSetSectorAddr, block * sim::kSectorsPerBlock))
            return false;
        for (uint32_t i = 0; i < sim::kSectorsPerBlock; ++i)
            if (!DeviceIoControl(disk_, FlashDriver::kWriteSector, record_.data(),
                                 DWORD(record_.size()), NULL, 0, NULL, NULL))
                return false;
        if (!Send(FlashDriver::kSetSectorAddr, block * sim::kSectorsPerBlock))
            return false;
        for (uint32_t i = 0; i < sim::kSectorsPerBlock; ++i)
            if (!DeviceIoControl(disk_, FlashDriver::kReadSector, NULL, 0, readBack_.data(),
                                 DWORD(readBack_.size()), NULL, NULL))
                return false;
        return true;
    }

    sim::Device &device() { return *device_; }

private:
    fs::path folder_;
    std::unique_ptr<sim::Device> device_;
    HANDLE disk_ = INVALID_HANDLE_VALUE;
    std::array<uint8_t, sim::kSectorRecordSize> record_;
    std::array<uint8_t, sim::kSectorRecordSize> readBack_;
};

// One block per iteration; arg 1 keeps the flash in memory instead of nand.bin.
void BM_EraseWriteReadBlock(benchmark::State &state)
{
    BenchDevice bench(state.range(0) == 1);
    DWORD block = kFirstNkBlock;
    for (auto _ : state) {
        if (!bench.UpdateBlock(block)) {
            state.SkipWithError("a flash call was refused");
            break;
        }
        if (++block == kFirstNkBlock + kUpdateBlocks) {
            block = kFirstNkBlock;
            state.PauseTiming();
            bench.device().Events().Clear();  // the journal would only grow
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * int64_t(sim::kBlockRecordSize) * 2);
}
BENCHMARK(BM_EraseWriteReadBlock)->ArgName("in_memory")->Arg(0)->Arg(1);

// The whole 40 MiB update per iteration, the journal included.
void BM_OsUpdate(benchmark::State &state)
{
    BenchDevice bench(false);
    for (auto _ : state) {
        for (DWORD block = kFirstNkBlock; block < kFirstNkBlock + kUpdateBlocks; ++block)
            if (!bench.UpdateBlock(block)) {
                state.SkipWithError("a flash call was refused");
                return;
            }
        state.PauseTiming();
        bench.device().Events().Clear();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OsUpdate)->Unit(benchmark::kMillisecond);

// A new device folder's first flash call: nand.bin of 512 blocks written erased and mapped.
void BM_CreateNandBin(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        fs::path folder = NewFolderName();
        std::unique_ptr<sim::Device> device = sim::Device::Create(folder, nlohmann::json::object());
        state.ResumeTiming();
        benchmark::DoNotOptimize(sim::DeviceFlash(*device).Flash().Sector(0)[0]);
        state.PauseTiming();
        device.reset();
        fs::remove_all(folder);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_CreateNandBin)->Unit(benchmark::kMillisecond);

}  // namespace
