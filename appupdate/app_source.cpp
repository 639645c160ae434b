// Whether the update folder carries application data, and which of its folders.
#include "appupdate/app_source.h"
#include "osupdate/update_source.h"

DWORD gdwAppFolderFlag = 0;

struct AppFolder {
    LPCWSTR pszSuffix;
    DWORD   dwBit;
    LPCWSTR pszFoundLine;
};

static const AppFolder gAppFolders[] = {
    {TEXT("\\apps"), APP_FOLDER_APPS, TEXT("QuorShell: apps folder is exist \r\n")},
    {TEXT("\\lumhelp"), APP_FOLDER_LUMHELP, TEXT("QuorShell: lumhelp folder is exist \r\n")},
    {TEXT("\\manual"), APP_FOLDER_MANUAL, TEXT("QuorShell: manual folder is exist \r\n")},
    {TEXT("\\sound"), APP_FOLDER_SOUND, TEXT("QuorShell: sound folder is exist \r\n")},
};

DWORD IsExistAPPS(DWORD dwSelector)
{
    WCHAR  szRoot[MAX_PATH];
    WCHAR  szProbe[MAX_PATH];
    size_t i;

    NKDbgPrintfW(TEXT("QuorShell: +IsExistAPPS \r\n"));
    PathClear(szRoot);
    PathCopy(szRoot, TEXT("\\"));
    PathAppend(szRoot, ProbeRootName(dwSelector));
    PathAppend(szRoot, TEXT("\\K275D-Update\\APP_DATA"));
    if (!IsExistPath(szRoot)) {
        NKDbgPrintfW(TEXT("QuorShell: -IsExistAPPS FALSE\r\n"));
        return 0;
    }

    gdwAppFolderFlag = 0;
    for (i = 0; i < sizeof(gAppFolders) / sizeof(gAppFolders[0]); i++) {
        PathClear(szProbe);
        PathCopy(szProbe, szRoot);
        PathAppend(szProbe, gAppFolders[i].pszSuffix);
        if (IsExistPath(szProbe)) {
            NKDbgPrintfW(gAppFolders[i].pszFoundLine);
            gdwAppFolderFlag |= gAppFolders[i].dwBit;
        }
    }
    NKDbgPrintfW(TEXT("QuorShell: -IsExistAPPS \r\n"));
    return 1;
}
