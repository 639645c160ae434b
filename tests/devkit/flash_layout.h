// A flash laid out by hand as the shell's writers leave it, written here without their code so
// that the device kit's reading of it is checked against an independent layout.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include "devkit/toc_record.h"
#include "sim/flash_array.h"
#include "tests/support/files.h"

namespace qs_test {

constexpr uint32_t kImageBase = 0x80020000;

inline void PutWord(uint8_t *at, uint32_t word)
{
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(word >> (8 * i));
}

struct NkOnFlash {
    std::vector<uint8_t> image;  // the ImageLen bytes the RAM buffer held
    uint32_t start = kImageBase;
    uint32_t launch = 0x80021000;
    uint32_t sectors = 0;  // 0: ImageLen rounded up to sectors
};

class HandFlash {
public:
    explicit HandFlash(sim::FlashArray &flash) : flash_(flash) {}

    void ProgramData(uint32_t sector, const uint8_t *data, size_t size)
    {
        std::array<uint8_t, sim::kSectorRecordSize> record;
        record.fill(sim::kErased);
        std::copy_n(data, std::min<size_t>(size, sim::kSectorDataSize), record.begin());
        flash_.Program(sector, record);
    }

    // Clears every bit of one data byte, as a worn cell or a stray write would.
    void ClearByte(uint32_t block, uint32_t sector, uint32_t byte)
    {
        std::vector<uint8_t> data(byte + 1, sim::kErased);
        data[byte] = 0x00;
        ProgramData(block * sim::kSectorsPerBlock + sector, data.data(), data.size());
    }

    // Block 0 sectors 0-7 with the byte sum of offsets 16..16383 at offset 8, then the four
    // 128 KiB parts into the blocks among 1-4 whose first mark is not a bad one.
    void LayBootLoader(std::vector<uint8_t> nb0)
    {
        PutWord(&nb0[8], std::accumulate(nb0.begin() + 16, nb0.begin() + 0x4000, 0u));
        for (uint32_t sector = 0; sector < 8; ++sector)
            ProgramData(sector, &nb0[sector * sim::kSectorDataSize], sim::kSectorDataSize);
        size_t source = 0x4000;
        for (uint32_t block = 1; block <= 4 && source < nb0.size(); ++block) {
            auto first = flash_.Sector(block * sim::kSectorsPerBlock);
            if (first[sim::kBadBlockMarkOffset] == 0x00 && first[sim::kOemFlagsOffset] != 0xFC)
                continue;
            for (uint32_t sector = 0; sector < 64; ++sector, source += sim::kSectorDataSize)
                ProgramData(block * 64 + sector, &nb0[source], sim::kSectorDataSize);
        }
    }

    // The factory TOC with ID[3] describing the image, then the image from the first good
    // block from 6 on, sector 1 onward, skipping blocks marked bad.
    void LayNk(const NkOnFlash &nk)
    {
        devkit::SectorRecord toc =
            devkit::EncodeFactoryToc({2, 0, 0, 0, 0, 1}, {0, 0, 2, 0, 2, 4, 0, 3, 1, 5});
        uint8_t *id3 = toc.data() + 244 + 3 * 400;
        PutWord(id3 + 272, nk.sectors ? nk.sectors : uint32_t(nk.image.size() + 2047) / 2048);
        PutWord(id3 + 276, nk.start);
        PutWord(id3 + 280, nk.launch);
        flash_.EraseBlock(5);
        flash_.Program(5 * 64, toc);

        std::vector<uint8_t> padded = nk.image;
        padded.resize((padded.size() + 2047) / 2048 * 2048, 0xFF);
        size_t source = 0;
        bool first = true;
        for (uint32_t block = 6; block < flash_.Blocks() && source < padded.size(); ++block) {
            if (flash_.Sector(block * sim::kSectorsPerBlock)[sim::kBadBlockMarkOffset] != 0xFF)
                continue;
            for (uint32_t sector = first ? 1 : 0; sector < 64 && source < padded.size();
                 ++sector, source += sim::kSectorDataSize)
                ProgramData(block * 64 + sector, &padded[source], sim::kSectorDataSize);
            first = false;
        }
    }

private:
    sim::FlashArray &flash_;
};

}  // namespace qs_test
