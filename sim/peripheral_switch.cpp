#include "sim/peripheral_switch.h"

namespace sim {

PeripheralSwitch::PeripheralSwitch(const PeripheralConfig &config)
    : Driver(
          "QKP1:",
          {{kPowerControl, "QKP_IOCTL_POWER_CONTROL"}, {kResetControl, "QKP_IOCTL_RESET_CONTROL"}},
          config.faults, "peripheral")
{
}

bool PeripheralSwitch::Control(IoRequest &request)
{
    switch (request.code) {
        case kPowerControl:
            return InputWord(request, powerWord_);
        case kResetControl:
            return InputWord(request, resetWord_);
    }
    return Refuse(request, kErrorNotSupported);
}

void PeripheralSwitch::LoadState(const nlohmann::json &state)
{
    powerWord_ = state.value("power_control", 0u);
    resetWord_ = state.value("reset_control", 0u);
}

nlohmann::json PeripheralSwitch::SaveState() const
{
    return {{"power_control", powerWord_}, {"reset_control", resetWord_}};
}

}  // namespace sim
