#include "tools/sweeps/row_forks.h"

#include "platform/host/host.h"
#include "sim/error.h"
#include "sim/flash_driver.h"

namespace qs_tools {

namespace fs = std::filesystem;

bool RowForks::Fork(size_t i)
{
    if (!failure_.empty() || mine_)
        return false;
    fs::path linked;
    try {
        linked = copy_.LinkedCopy();
        std::optional<nlohmann::json> result = ForkItem();
        if (!result) {
            mine_ = i;
            own_ = linked;
            ce_host::MoveToLinkedCopy(own_);
            sim::KeepFlashInProcess();
            return true;
        }
        emit_(i, *result);
    } catch (const std::exception &e) {
        Fail("row " + std::to_string(i + 1) + ": " + e.what());
    }
    std::error_code ignored;
    fs::remove_all(linked, ignored);
    return false;
}

void RowForks::Fail(const std::string &why)
{
    if (failure_.empty())
        failure_ = why;
}

void RowForks::Finish(const std::function<nlohmann::json()> &result) const
{
    try {
        FinishForkedItem(result());
    } catch (const std::exception &e) {
        FailForkedItem(e.what());
    }
}

void RowForks::ThrowIfFailed(const std::string &prefix) const
{
    if (!failure_.empty())
        throw sim::DeviceError(prefix + failure_);
}

}  // namespace qs_tools
