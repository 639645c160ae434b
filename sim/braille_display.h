// BRL1:, the braille display: shows one 32-cell line per control call.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/driver.h"

namespace sim {

constexpr size_t kBrailleCells = 32;
using BrailleLine = std::array<uint8_t, kBrailleCells>;

// The cells as Unicode braille patterns (U+2800 block), UTF-8 encoded, one character per cell.
std::string BrailleText(std::span<const uint8_t> cells);

class BrailleDisplay : public Driver {
public:
    static constexpr uint32_t kWriteLine = 4;

    explicit BrailleDisplay(const BrailleConfig &config);

    // Every line shown since the device started, oldest first.
    const std::vector<BrailleLine> &Lines() const { return lines_; }

protected:
    bool Control(IoRequest &request) override;

private:
    std::vector<BrailleLine> lines_;
};

}  // namespace sim
