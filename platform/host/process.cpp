// Program starts and sound cues: nothing runs or sounds on the host, but both take their time.
#include <fstream>

#include "platform/host/call_faults.h"
#include "platform/host/internal.h"

namespace ce_host {

namespace {

constexpr DWORD kFirstProcessId = 0x100;
DWORD g_nextProcessId = kFirstProcessId;

uint32_t LittleEndian(const unsigned char *p, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

// Playing time of a RIFF/WAVE file in milliseconds; nothing when it is no such file.
std::optional<uint32_t> WaveDurationMs(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    unsigned char header[12];
    if (!in.read(reinterpret_cast<char *>(header), 12) ||
        std::string_view(reinterpret_cast<char *>(header), 4) != "RIFF" ||
        std::string_view(reinterpret_cast<char *>(header) + 8, 4) != "WAVE")
        return std::nullopt;
    uint32_t byteRate = 0;
    unsigned char chunk[8];
    while (in.read(reinterpret_cast<char *>(chunk), 8)) {
        std::string_view id(reinterpret_cast<char *>(chunk), 4);
        uint32_t size = LittleEndian(chunk + 4, 4);
        if (id == "fmt ") {
            unsigned char format[16];
            if (size < 16 || !in.read(reinterpret_cast<char *>(format), 16))
                return std::nullopt;
            byteRate = LittleEndian(format + 8, 4);
            in.seekg(std::streamoff(size - 16 + (size & 1)), std::ios::cur);
        } else if (id == "data") {
            if (byteRate == 0)
                return std::nullopt;
            return uint32_t(uint64_t(size) * 1000 / byteRate);
        } else {
            in.seekg(std::streamoff(size + (size & 1)), std::ios::cur);
        }
    }
    return std::nullopt;
}

bool ListedAsFailing(const std::string &devicePath)
{
    // Resolving a listed path that does not resolve must not touch the caller's last error.
    DWORD lastError = GetLastError();
    bool listed = false;
    for (const std::string &failing : AttachedDevice().Config().programs.fail) {
        ResolvedPath path;
        std::u16string wide = FromUtf8(failing);
        if (ResolvePath(wide.c_str(), path) &&
            sim::FoldCase(path.devicePath) == sim::FoldCase(devicePath))
            listed = true;
    }
    SetError(lastError);
    return listed;
}

// Why the program cannot start, or ERROR_SUCCESS.
DWORD StartError(const std::u16string &program, ResolvedPath &path)
{
    if (!ResolvePath(program.c_str(), path))
        return GetLastError();
    if (!path.exists)
        return ERROR_FILE_NOT_FOUND;
    if (path.isDirectory)
        return ERROR_ACCESS_DENIED;
    if (ListedAsFailing(path.devicePath))
        return ERROR_BAD_EXE_FORMAT;
    return ERROR_SUCCESS;
}

}  // namespace

void ResetProcessIds()
{
    g_nextProcessId = kFirstProcessId;
}

}  // namespace ce_host

using namespace ce_host;

BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                    LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation)
{
    FallibleCall fallible("CreateProcessW", ToUtf8(lpApplicationName ? View(lpApplicationName)
                                                                     : View(lpCommandLine)));
    if (fallible.Fails())
        return FALSE;
    sim::Device &device = AttachedDevice();
    std::u16string_view program = lpApplicationName ? View(lpApplicationName) : View(lpCommandLine);
    std::string shown = ToUtf8(program);
    if (!lpStartupInfo || lpStartupInfo->cb != sizeof(STARTUPINFOW) || !lpProcessInformation) {
        device.Events().Process(shown, false);
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    ResolvedPath path;
    if (DWORD error = StartError(std::u16string(program), path); error != ERROR_SUCCESS) {
        device.Events().Process(shown, false);
        return Fail(error, FALSE);
    }
    device.Events().Process(path.devicePath, true);
    lpProcessInformation->dwProcessId = g_nextProcessId++;
    lpProcessInformation->dwThreadId = g_nextProcessId++;
    lpProcessInformation->hProcess = AddHandle(ProcessObject{path.devicePath, false});
    lpProcessInformation->hThread = AddHandle(ProcessObject{path.devicePath, true});
    return TRUE;
}

BOOL PlaySoundW(LPCWSTR pszSound, HMODULE, DWORD fdwSound)
{
    FallibleCall fallible("PlaySoundW", ToUtf8(View(pszSound)));
    if (fallible.Fails())
        return FALSE;
    if (!pszSound)
        return TRUE;  // stops whatever plays; nothing does
    sim::Device &device = AttachedDevice();
    std::string shown = ToUtf8(View(pszSound));
    ResolvedPath path;
    std::optional<uint32_t> duration;
    bool resolved = ResolvePath(pszSound, path);
    if (resolved && path.exists && !path.isDirectory)
        duration = WaveDurationMs(path.hostPath);
    device.Events().Sound(duration ? path.devicePath : shown, duration.has_value());
    if (!resolved)
        return FALSE;  // with the path's own error
    if (!duration)
        return Fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (!(fdwSound & SND_ASYNC))
        device.Clock().Advance(*duration);
    return TRUE;
}
