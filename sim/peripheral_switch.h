// QKP1:, the peripheral power and reset switch: keeps the last word of each control code.
#pragma once

#include "sim/config.h"
#include "sim/driver.h"

namespace sim {

class PeripheralSwitch : public Driver {
public:
    static constexpr uint32_t kPowerControl = 20044, kResetControl = 20052;

    explicit PeripheralSwitch(const PeripheralConfig &config);

    uint32_t PowerWord() const { return powerWord_; }
    uint32_t ResetWord() const { return resetWord_; }

    std::string StateKey() const override { return "peripheral"; }
    void LoadState(const nlohmann::json &state) override;
    nlohmann::json SaveState() const override;

protected:
    bool Control(IoRequest &request) override;

private:
    uint32_t powerWord_ = 0;
    uint32_t resetWord_ = 0;
};

}  // namespace sim
