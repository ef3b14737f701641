// Files and paths: opening, reading, writing and looking at files.
#include "platform/win32/support.h"

using namespace win32;

bool platformOpenForReading(PlatformFile* file, const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *file = reinterpret_cast<PlatformFile>(h);
    return true;
}

namespace {
bool openRegular(PlatformFile* file, const char* name, DWORD share) {
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    HANDLE h = CreateFileA(name, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *file = reinterpret_cast<PlatformFile>(h);
    // Pipes and character devices (CON, NUL, COM1) are not source files.
    if (GetFileType(toHandle(*file)) != FILE_TYPE_DISK) {
        CloseHandle(toHandle(*file));
        return false;
    }
    return true;
}
}  // namespace

bool platformOpenRegularForReading(PlatformFile* file, const char* name) {
    return openRegular(file, name, FILE_SHARE_READ);
}

bool platformOpenOutputForReading(PlatformFile* file, const char* name) {
    return openRegular(file, name, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

bool platformClose(PlatformFile file) {
    // The complete temporary is kept by a second handle (replace.cpp).
    if (toHandle(file) == temporaryHandle) temporaryHandle = INVALID_HANDLE_VALUE;
    return CloseHandle(toHandle(file)) != 0;
}

bool platformRead(PlatformFile file, void* destination, uint32_t count, uint32_t* done) {
    DWORD n = 0;
    if (!ReadFile(toHandle(file), destination, count, &n, nullptr)) return false;
    *done = n;
    return true;
}

bool platformWrite(PlatformFile file, const void* source, uint32_t count, uint32_t* done) {
    DWORD n = 0;
    if (!WriteFile(toHandle(file), source, count, &n, nullptr)) return false;
    *done = n;
    return true;
}

bool platformFileSize(PlatformFile file, uint64_t* size) {
    DWORD high = 0;
    DWORD low = GetFileSize(toHandle(file), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    *size = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

bool platformSetFilePosition(PlatformFile file, uint64_t offset) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(toHandle(file), distance, nullptr, FILE_BEGIN) != 0;
}

bool platformSetFileLength(PlatformFile file, uint64_t size) {
    return platformSetFilePosition(file, size) && SetEndOfFile(toHandle(file));
}

bool platformFlushFile(PlatformFile file) {
    return FlushFileBuffers(toHandle(file)) != 0;
}

namespace win32 {

bool heldByAnother(DWORD error, const char* name) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
    DWORD attributes = GetFileAttributesA(name);
    return error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

// An interrupt during a pause ends the run at once through the console
// handler.
const DWORD heldFilePauses[] = {10, 20, 40, 80, 160, 320, 500, 500, 500};
const uint32_t heldFileTries = sizeof heldFilePauses / sizeof heldFilePauses[0];

uint32_t folderLength(const char* path) {
    uint32_t length = 0;
    for (uint32_t i = 0; path[i]; ++i)
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':') length = i + 1;
    return length;
}

}  // namespace win32

namespace {

// Whether the user may open the file for writing (its security and any
// sharing in force), asked by opening it without changing it.
bool openableForWriting(const char* name) {
    for (uint32_t attempt = 0;; ++attempt) {
        HANDLE h = CreateFileA(name, GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        if (attempt == heldFileTries || !heldByAnother(GetLastError(), name)) return false;
        Sleep(heldFilePauses[attempt]);
    }
}

}  // namespace

bool platformInspect(const char* name, PlatformFileInfo* info, bool askWritable) {
    *info = PlatformFileInfo{false, false, false, 0, 0};
    HANDLE h = CreateFileA(name, 0, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return notFound(GetLastError());
    info->exists = true;
    BY_HANDLE_FILE_INFORMATION facts;
    bool known = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &facts);
    CloseHandle(h);
    if (!known) return true;  // a device: not regular, not writable
    info->regular = (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    info->writable = askWritable && info->regular && (facts.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 &&
                     openableForWriting(name);
    info->volume = facts.dwVolumeSerialNumber;
    info->index = (static_cast<uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow;
    return true;
}

uint32_t platformFolderLength(const char* path) {
    return folderLength(path);
}

// "C:name" depends on the drive's current folder, not on this one: it counts
// as absolute here.
bool platformIsAbsolutePath(const char* path) {
    return path[0] == '\\' || path[0] == '/' || (path[0] && path[1] == ':');
}

bool platformResolveOutput(const char* outputName, char* target, uint32_t capacity) {
    uint32_t length = textLength(outputName);
    if (length == 0 || length + 1 > capacity) return false;
    copyText(target, outputName, length);
    // An existing output is replaced where it really lies: through symbolic
    // links, as the system resolves them.
    HANDLE h = CreateFileA(outputName, 0, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return notFound(GetLastError());
    DWORD n = GetFinalPathNameByHandleA(h, target, capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= capacity) copyText(target, outputName, length);
    return true;
}
