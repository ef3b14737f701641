// The in-place write, for an output beside which no temporary can be made.
#include "platform/win32/support.h"

using namespace win32;

bool platformOpenInPlace(PlatformFile* file, const char* target) {
    // Runs that name one output take turns (platformTakeTurnsOnOutput), so
    // the output is shared as every open of it is.
    HANDLE h = CreateFileA(target, GENERIC_READ | GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return false;
    }
    *file = reinterpret_cast<PlatformFile>(h);
    return true;
}

// Windows files have no setuid or setgid bits.
bool platformDropSpecialBits(PlatformFile) {
    return true;
}

// Room on the volume for the new content: the file's allocation grows to
// it, its length stays. A volume or a system that cannot say so still
// takes the write, and a failing write puts the old content back.
bool platformReserveFileSize(PlatformFile file, uint64_t size) {
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(toHandle(file), FileStandardInfo, &standard, sizeof standard)) return true;
    if (static_cast<uint64_t>(standard.AllocationSize.QuadPart) >= size) return true;
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (SetFileInformationByHandle(toHandle(file), FileAllocationInfo, &allocation, sizeof allocation)) return true;
    DWORD error = GetLastError();
    return error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL;
}
