#include "sim/power_controller.h"

namespace sim {

PowerController::PowerController(const PowerConfig &config)
    : Driver("PWR1:",
             {{kGetBootKeyStatus, "PWR_IOCTL_GET_BOOT_KEY_STATUS"},
              {kReboot, "PWR_IOCTL_REBOOT"},
              {kSetAppExecuteFlag, "SET_APP_EXECUTE_FLAG"},
              {kSetOsUpdateMode, "SET_OS_UPDATE_MODE"},
              {kGetSerial, "PWR_IOCTL_GET_SN"}},
             config.faults, "power"),
      bootKey_(uint8_t(config.bootKey)),
      serial_(int32_t(uint32_t(config.serial)))
{
}

bool PowerController::Control(IoRequest &request)
{
    uint32_t word = 0;
    switch (request.code) {
        case kGetBootKeyStatus:
            return request.in.empty() ? Output(request, &bootKey_, 1)
                                      : Refuse(request, kErrorInvalidParameter);
        case kGetSerial: {
            uint8_t bytes[4] = {uint8_t(serial_), uint8_t(serial_ >> 8), uint8_t(serial_ >> 16),
                                uint8_t(serial_ >> 24)};
            return request.in.empty() ? Output(request, bytes, 4)
                                      : Refuse(request, kErrorInvalidParameter);
        }
        case kReboot:
            // The request is taken; the restart itself happens when the boot ends.
            if (!InputWord(request, word) || word != 1)
                return Refuse(request, kErrorInvalidParameter);
            ++restartRequests_;
            restartedThisBoot_ = true;
            return true;
        case kSetAppExecuteFlag:
            return InputWord(request, appExecuteFlag_);
        case kSetOsUpdateMode:
            return InputWord(request, updateMode_);
    }
    return Refuse(request, kErrorNotSupported);
}

void PowerController::LoadState(const nlohmann::json &state)
{
    updateMode_ = state.value("update_mode", 0u);
    appExecuteFlag_ = state.value("app_execute_flag", 0u);
    restartRequests_ = state.value("restart_requests", 0u);
}

nlohmann::json PowerController::SaveState() const
{
    return {{"update_mode", updateMode_},
            {"app_execute_flag", appExecuteFlag_},
            {"restart_requests", restartRequests_}};
}

}  // namespace sim
