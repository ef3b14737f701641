// Replacing the output: the temporary beside it, what it keeps of the old
// file, and the final rename. Runs that name one output take turns.
#include "platform/win32/support.h"

using namespace win32;

namespace {

// Longest path that programs without long-path support may name.
const uint32_t pathLimit = MAX_PATH - 1;

// The temporary of this run, in the target's folder. It is created as
// `temporaryName`, delete-on-close, and written through `temporaryHandle`.
// A second handle, `keepingHandle`, opened at once with the right to delete
// and rename it alone, keeps it from then on: once the file is complete it
// is marked for deletion through that handle as well, the first handle
// closes, and the final replace clears the mark and renames the file over
// the target through that same handle, one step right after the other.
// Until the mark is cleared, the file goes with its last handle however the
// process ends (TerminateProcess, a crash, a signal under wine). Under wine
// the name the file had when its first handle closed is removed at the end
// of the process whatever happened since, so only a file that was renamed
// survives there.
//
// Where the system cannot mark the file through the second handle, the
// complete temporary gets a second name instead, `keptName` (a hard link,
// or a copy where the volume has none), which the final rename moves over
// the target; closing the first handle then removes the first name.
//
// The console handler runs on a thread of its own, so all of it is plain
// static storage, set before the files exist.
char temporaryName[4096 + 32];
char keptName[4096 + 32];
HANDLE keepingHandle = INVALID_HANDLE_VALUE;
// Whether `keepingHandle` keeps the complete temporary (rather than a
// second name).
bool keptByHandle = false;

}  // namespace

namespace win32 {

HANDLE temporaryHandle = INVALID_HANDLE_VALUE;
volatile LONG keptState = noKeptName;

void removeKeptName() {
    if (InterlockedCompareExchange(&keptState, noKeptName, keptNameExists) == keptNameExists)
        DeleteFileA(keptName);
}

}  // namespace win32

namespace {

// The value that makes this run's names its own, for each try.
uint32_t nameValue(unsigned attempt) {
    return GetCurrentProcessId() * 2654435761u ^ GetTickCount() ^ (attempt * 0x9E3779B9u);
}

// Puts the target's folder and a temporary name into `name`; false when no
// name fits the path limit.
bool composeName(char* name, const char* target, uint32_t fullFolderLength, unsigned attempt) {
    uint32_t folder = folderLength(target);
    char base[temporaryNameCapacity];
    uint32_t length = composeTemporaryName(base, fullFolderLength, pathLimit, nameValue(attempt));
    if (length == 0 || folder + length + 1 > sizeof temporaryName) return false;
    copyText(name, target, folder);
    copyText(name + folder, base, length);
    return true;
}

// The length of the folder part of the target's full path, which is what
// the path limit counts.
uint32_t fullFolderLength(const char* target) {
    char full[4096];
    char* filePart = nullptr;
    DWORD n = GetFullPathNameA(target, sizeof full, full, &filePart);
    if (n == 0 || n >= sizeof full) return folderLength(target);
    return filePart ? static_cast<uint32_t>(filePart - full) : n;
}

// Where the volume has no hard links: the kept name is a new file that gets
// the temporary's contents and attributes.
bool copyTemporary(HANDLE from) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(from, FileBasicInfo, &basic, sizeof basic)) return false;
    InterlockedExchange(&keptState, keptNameExists);
    HANDLE to = CreateFileA(keptName, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (to == INVALID_HANDLE_VALUE) {
        InterlockedExchange(&keptState, noKeptName);
        return false;
    }
    const DWORD pieceSize = 1u << 20;
    HANDLE heap = GetProcessHeap();
    char* piece = static_cast<char*>(HeapAlloc(heap, 0, pieceSize));
    bool copied = piece && SetFilePointer(from, 0, nullptr, FILE_BEGIN) == 0;
    while (copied) {
        DWORD read = 0, written = 0;
        copied = ReadFile(from, piece, pieceSize, &read, nullptr) != 0;
        if (!copied || read == 0) break;
        copied = WriteFile(to, piece, read, &written, nullptr) && written == read;
    }
    if (piece) HeapFree(heap, 0, piece);
    basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
    copied = copied && SetFileInformationByHandle(to, FileBasicInfo, &basic, sizeof basic);
    copied = CloseHandle(to) && copied;
    if (!copied) removeKeptName();
    return copied;
}

}  // namespace

bool platformCreateTemporary(PlatformFile* file, const char* target, bool* noTemporary) {
    *noTemporary = false;
    uint32_t fullFolder = fullFolderLength(target);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        // No name fits beside the target: the plain write.
        if (!composeName(temporaryName, target, fullFolder, attempt)) {
            *noTemporary = true;
            return false;
        }
        HANDLE h = CreateFileA(temporaryName, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            temporaryHandle = h;
            // Opened before the temporary takes the target's access rights,
            // which need not grant the user the right to delete it.
            keepingHandle = CreateFileA(temporaryName, DELETE | SYNCHRONIZE, shareAll, nullptr, OPEN_EXISTING, 0,
                                        nullptr);
            keptByHandle = false;
            *file = reinterpret_cast<PlatformFile>(h);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            *noTemporary = GetLastError() == ERROR_ACCESS_DENIED;
            return false;
        }
    }
    return false;
}

namespace {

// A name for the runs that write one output: its full path as Windows
// compares names (case folded), hashed, so that any spelling of the path
// gives the same name and any length fits.
bool outputTurnName(const char* output, char* name, uint32_t capacity) {
    char resolved[4096];
    char full[4096];
    if (!platformResolveOutput(output, resolved, sizeof resolved)) copyText(resolved, output, 0);
    DWORD n = GetFullPathNameA(resolved[0] ? resolved : output, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return false;
    static WCHAR wide[4096];
    static WCHAR folded[4096];
    int length = MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(n), wide, 4096);
    if (length <= 0) return false;
    int foldedLength = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide, length, folded, 4096);
    if (foldedLength <= 0) return false;
    uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < foldedLength; ++i) {
        hash ^= static_cast<uint16_t>(folded[i]);
        hash *= 1099511628211ull;
    }
    const char prefix[] = "Local\\symweld-output-";
    const uint32_t prefixLength = sizeof prefix - 1;
    if (capacity < prefixLength + 17) return false;
    copyText(name, prefix, prefixLength);
    for (uint32_t i = 0; i < 16; ++i) name[prefixLength + i] = "0123456789abcdef"[(hash >> (60 - 4 * i)) & 15];
    name[prefixLength + 16] = 0;
    return true;
}

}  // namespace

// Held until the process ends: from before the output is first looked at to
// after it is replaced. A run that ended without letting go hands its turn
// on (an abandoned mutex).
void platformTakeTurnsOnOutput(const char* output) {
    char name[64];
    if (!outputTurnName(output, name, sizeof name)) return;
    HANDLE turn = CreateMutexA(nullptr, FALSE, name);
    if (turn) WaitForSingleObject(turn, INFINITE);
}

// What replacing a file keeps of it: the attributes that an output can have
// (a read-only one is refused), and its access rights where the user may set
// them. A new output gets the attributes of any new file and the rights its
// folder passes on.
bool platformSetOutputPermissions(PlatformFile file, const char* target) {
    DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (attributes & kept) ? (attributes & kept) : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(toHandle(file), FileBasicInfo, &basic, sizeof basic)) return false;
    DWORD needed = 0;
    GetFileSecurityA(target, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0 || needed > 65536) return true;
    HANDLE heap = GetProcessHeap();
    void* descriptor = HeapAlloc(heap, 0, needed);
    if (!descriptor) return true;
    if (GetFileSecurityA(target, DACL_SECURITY_INFORMATION, descriptor, needed, &needed))
        SetKernelObjectSecurity(toHandle(file), DACL_SECURITY_INFORMATION, descriptor);
    HeapFree(heap, 0, descriptor);
    return true;
}

namespace {

// Marks the file for deletion when its last handle closes, or clears that
// mark.
bool markForDeletion(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

void closeKeepingHandle() {
    if (keepingHandle != INVALID_HANDLE_VALUE) CloseHandle(keepingHandle);
    keepingHandle = INVALID_HANDLE_VALUE;
    keptByHandle = false;
}

// The second name, where the second handle cannot keep the temporary: a
// hard link that outlives the first handle, or where the volume has no hard
// links (FAT), a new file of that name with the same contents.
bool keepUnderSecondName(HANDLE file) {
    uint32_t fullFolder = fullFolderLength(temporaryName);
    for (unsigned attempt = 1; attempt < 100; ++attempt) {
        if (!composeName(keptName, temporaryName, fullFolder, attempt + 1000)) return false;
        InterlockedExchange(&keptState, keptNameExists);
        if (CreateHardLinkA(keptName, temporaryName, nullptr)) return true;
        InterlockedExchange(&keptState, noKeptName);
        DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) continue;
        return copyTemporary(file);
    }
    return false;
}

}  // namespace

// The complete temporary is marked for deletion through the second handle,
// which keeps it once the first one closes.
bool platformKeepTemporary(PlatformFile file) {
    if (keepingHandle != INVALID_HANDLE_VALUE && markForDeletion(keepingHandle, true)) {
        keptByHandle = true;
        return true;
    }
    closeKeepingHandle();
    return keepUnderSecondName(toHandle(file));
}

namespace {

// Whether the system took a rename with POSIX semantics; until it refuses
// one, each replace tries it first.
bool posixRenameRefused = false;
// FileRenameInfoEx, which headers for older systems do not name.
const FILE_INFO_BY_HANDLE_CLASS renameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS
// for FileRenameInfoEx, in the flags word that older headers call
// ReplaceIfExists; TRUE there for FileRenameInfo.
const DWORD posixReplace = 0x1 | 0x2;
const DWORD plainReplace = TRUE;

// Renames the open file over the target. With FileRenameInfoEx and POSIX
// semantics (Windows 10 1607 and later, on NTFS), the target is replaced
// even while another program reads it, as long as that program shares
// delete, as indexers and virus scanners do. *unsupported tells that the
// system does not offer that class.
bool renameOpenFile(HANDLE file, const char* target, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags,
                    bool* unsupported) {
    *unsupported = false;
    static WCHAR full[4096];
    char fullName[4096];
    DWORD n = GetFullPathNameA(target, sizeof fullName, fullName, nullptr);
    if (n == 0 || n >= sizeof fullName) return false;
    int length = MultiByteToWideChar(CP_ACP, 0, fullName, static_cast<int>(n), full, 4096);
    if (length <= 0) return false;
    DWORD nameBytes = static_cast<DWORD>(length) * sizeof(WCHAR);
    DWORD size = static_cast<DWORD>(sizeof(FILE_RENAME_INFO)) + nameBytes;
    HANDLE heap = GetProcessHeap();
    FILE_RENAME_INFO* info = static_cast<FILE_RENAME_INFO*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, size));
    if (!info) return false;
    CopyMemory(info, &flags, sizeof flags);
    info->RootDirectory = nullptr;
    info->FileNameLength = nameBytes;
    CopyMemory(info->FileName, full, nameBytes);
    bool moved = SetFileInformationByHandle(file, kind, info, size) != 0;
    DWORD error = GetLastError();
    *unsupported = !moved && (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                              error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED);
    HeapFree(heap, 0, info);
    SetLastError(error);
    return moved;
}

// A rename with POSIX semantics, until the system refuses that class.
bool renameWithPosixSemantics(HANDLE file, const char* target) {
    if (posixRenameRefused) return false;
    bool unsupported = false;
    if (renameOpenFile(file, target, renameInfoEx, posixReplace, &unsupported)) return true;
    posixRenameRefused = unsupported;
    return false;
}

// One try at the final move of the temporary that the second handle keeps:
// its mark is cleared, and the same handle renames it; a failed try marks
// it again. Where both renames through the handle fail otherwise than by
// another program holding the target, MoveFileExA moves it by name (wine
// refuses FileRenameInfoEx for a path past MAX_PATH, which MoveFileExA
// takes).
bool moveKeptTemporary(const char* target) {
    if (!markForDeletion(keepingHandle, false)) return false;
    bool unsupported = false;
    bool moved = renameWithPosixSemantics(keepingHandle, target) ||
                 renameOpenFile(keepingHandle, target, FileRenameInfo, plainReplace, &unsupported);
    if (!moved && !heldByAnother(GetLastError(), target))
        moved = MoveFileExA(temporaryName, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!moved) {
        DWORD error = GetLastError();
        markForDeletion(keepingHandle, true);
        SetLastError(error);
    }
    return moved;
}

// One try at the final move of the second name: with POSIX semantics where
// the system offers them, and MoveFileExA where it does not or where that
// rename failed.
bool moveKeptName(const char* target) {
    HANDLE kept = CreateFileA(keptName, DELETE | SYNCHRONIZE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (kept != INVALID_HANDLE_VALUE) {
        bool moved = renameWithPosixSemantics(kept, target);
        DWORD error = GetLastError();
        CloseHandle(kept);
        if (moved) return true;
        SetLastError(error);
    }
    return MoveFileExA(keptName, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

// Moves the temporary over the target in one rename, which also replaces a
// file that appeared meanwhile; a target that another program holds is
// tried again for a while. An interrupt waits while a try is under way.
bool platformReplaceWithTemporary(const char* target, bool* refused) {
    bool moved = false;
    *refused = false;
    for (uint32_t attempt = 0;; ++attempt) {
        InterlockedExchange(&keptState, keptNameMoving);
        moved = keptByHandle ? moveKeptTemporary(target) : moveKeptName(target);
        DWORD error = GetLastError();
        if (moved) InterlockedExchange(&outputReplaced, 1);
        InterlockedExchange(&keptState, moved || keptByHandle ? noKeptName : keptNameExists);
        *refused = !moved && error == ERROR_ACCESS_DENIED && !heldByAnother(error, target);
        if (moved || attempt == heldFileTries || !heldByAnother(error, target)) break;
        Sleep(heldFilePauses[attempt]);
    }
    // The output is no longer held open by this run.
    if (moved) closeKeepingHandle();
    return moved;
}

void platformRemoveTemporary() {
    removeKeptName();
    if (temporaryHandle != INVALID_HANDLE_VALUE) CloseHandle(temporaryHandle);
    temporaryHandle = INVALID_HANDLE_VALUE;
    // Marked again, in case a failed try left it without its mark.
    if (keptByHandle) markForDeletion(keepingHandle, true);
    closeKeepingHandle();
}
