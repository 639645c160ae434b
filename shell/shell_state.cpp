// The process-wide state of the shell, back to its program-start values.
#include "appupdate/progress.h"
#include "appupdate/app_source.h"
#include "common/qs_common.h"
#include "osupdate/OSUPDATE.h"
#include "shell/devices.h"
#include "toc/toc.h"
#ifdef QS_SAFE_UPDATE
#include "safeupdate/safe_update.h"
#endif

void ResetShellState(void)
{
    memset(&g_ProcessInfo, 0, sizeof(g_ProcessInfo));
    memset(&g_TOC, 0, sizeof(g_TOC));
    g_pBootCfg   = NULL;
    g_ImageIndex = 3;
    g_ImageType  = 0;
    memset(g_UpdateDir, 0, sizeof(g_UpdateDir));
    memset(g_ImagePath, 0, sizeof(g_ImagePath));
    g_EbootUpdate = 0;
    g_ImageStart  = 0;
    g_ImageLen    = 0;
    g_LaunchAddr  = 0;

    gdwAppFolderFlag = 0;

    ghBrlDevice         = INVALID_HANDLE_VALUE;
    gnLastPercent       = -1;
    gullTotalSize       = 0;
    gullCopiedSize      = 0;
    gullLastTransferred = 0;
#ifdef QS_SAFE_UPDATE
    g_UpdateKeyLoaded = 0;
    g_UpdateRefused   = 0;
    g_pImageDigest    = NULL;
    g_pSignedEboot    = NULL;
    memset(g_abUpdateKey, 0, sizeof(g_abUpdateKey));
#endif
}
