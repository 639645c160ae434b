// PWR1:, the power controller: boot-key state, serial number, update mode, app-execute flag and
// restart requests.
#pragma once

#include "sim/config.h"
#include "sim/driver.h"

namespace sim {

class PowerController : public Driver {
public:
    static constexpr uint32_t kGetBootKeyStatus = 565, kReboot = 567, kSetAppExecuteFlag = 773,
                              kSetOsUpdateMode = 1045, kGetSerial = 1281;

    explicit PowerController(const PowerConfig &config);

    uint32_t UpdateMode() const { return updateMode_; }
    uint32_t AppExecuteFlag() const { return appExecuteFlag_; }
    uint32_t RestartRequests() const { return restartRequests_; }  // over every boot
    bool RestartRequestedThisBoot() const { return restartedThisBoot_; }

    std::string StateKey() const override { return "power"; }
    void LoadState(const nlohmann::json &state) override;
    nlohmann::json SaveState() const override;

protected:
    bool Control(IoRequest &request) override;

private:
    uint8_t bootKey_;
    int32_t serial_;
    uint32_t updateMode_ = 0;
    uint32_t appExecuteFlag_ = 0;
    uint32_t restartRequests_ = 0;
    bool restartedThisBoot_ = false;
};

}  // namespace sim
