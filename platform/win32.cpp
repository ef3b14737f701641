// Win32 implementation of the operating-system layer, on KERNEL32 alone.
#include "platform/platform.h"

#include <windows.h>

namespace {
PlatformExitHook exitHook = nullptr;

HANDLE toHandle(PlatformFile file) {
    return reinterpret_cast<HANDLE>(file);
}

uint32_t textLength(const char* text) {
    uint32_t n = 0;
    while (text[n]) ++n;
    return n;
}

void copyText(char* destination, const char* source, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) destination[i] = source[i];
    destination[length] = 0;
}
}  // namespace

const PlatformConventions platformConventions = {"/-", "\r\n", false};

const char* platformCommandLine() {
    return GetCommandLineA();
}

const char* const* platformArgumentVector() {
    return nullptr;
}

// Pointers are 32 bits wide here: the memory manager's links are addresses.
char* platformChunkBase() {
    return nullptr;
}

// HeapAlloc returns 8-aligned blocks; the chunk begins 4 bytes in, so that
// the payload after its 4-byte link is 8-aligned as well.
void* platformChunkAllocate(uint32_t size) {
    HANDLE heap = GetProcessHeap();
    if (!heap || size > 0xFFFFFFF0u) return nullptr;
    char* block = static_cast<char*>(HeapAlloc(heap, 0, size + 4));
    return block ? block + 4 : nullptr;
}

void platformChunkFree(void* chunk) {
    HANDLE heap = GetProcessHeap();
    if (heap && chunk) HeapFree(heap, 0, static_cast<char*>(chunk) - 4);
}

void platformPoison(const void*, size_t) {}
void platformUnpoison(const void*, size_t) {}
void platformMarkUndefined(const void*, size_t) {}

bool platformOpenForReading(PlatformFile* file, const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *file = reinterpret_cast<PlatformFile>(h);
    return true;
}

bool platformCreateForWriting(PlatformFile* file, const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *file = reinterpret_cast<PlatformFile>(h);
    return true;
}

bool platformClose(PlatformFile file) {
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

bool platformPrepareReplacement(const char* outputName, char* target, uint32_t capacity) {
    uint32_t length = textLength(outputName);
    if (length == 0 || length + 1 > capacity) return false;
    copyText(target, outputName, length);
    DWORD attributes = GetFileAttributesA(outputName);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND;
    }
    return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

bool platformCreateTemporary(PlatformFile* file, const char* target, char* tempName,
                             uint32_t capacity) {
    uint32_t length = textLength(target);
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        char suffix[32] = ".symweld-";
        uint32_t s = 9;
        unsigned value = static_cast<unsigned>(GetCurrentProcessId()) * 1000u + attempt;
        char digits[16];
        int count = 0;
        do digits[count++] = static_cast<char>('0' + value % 10);
        while ((value /= 10) != 0);
        while (count) suffix[s++] = digits[--count];
        suffix[s] = 0;
        if (length + s + 1 > capacity) return false;
        copyText(tempName, target, length);
        copyText(tempName + length, suffix, s);
        HANDLE h = CreateFileA(tempName, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            *file = reinterpret_cast<PlatformFile>(h);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

bool platformReplace(const char* tempName, const char* target) {
    return MoveFileExA(tempName, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void platformRemove(const char* name) {
    DeleteFileA(name);
}

void platformWriteStandardOutput(const void* bytes, uint32_t count) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, count, &written, nullptr);
}

void platformSetExitHook(PlatformExitHook hook) {
    exitHook = hook;
}

void platformExit(int code) {
    if (exitHook) exitHook(code);
    ExitProcess(static_cast<UINT>(code));
}
