// The operating-system layer: the only code that includes system headers.
// Two implementations exist, chosen at build time: win32.cpp (KERNEL32) and
// posix/, one file per concern. Everything else in the tool talks to the
// system through here.
#pragma once

#include <cstddef>
#include <cstdint>

// A system file handle in the tool's own terms; 0 is never a valid handle.
typedef uintptr_t PlatformFile;

// The raw single-byte command line, tool name first, as one text, split by
// the tool's own rules. Only where the system keeps no argument vector.
const char* platformCommandLine();

// The arguments as the system passed them, tool name first and ended by a
// null; null where the raw command line is to be split instead (Windows).
const char* const* platformArgumentVector();

// What users of the system expect of a command-line tool.
struct PlatformConventions {
    const char* optionPrefixes;  // characters that begin an option
    const char* lineEnd;         // ends every console line
    bool longOptions;            // "--help", "--version" and "--" are understood
    // fasm on this system reads every backslash of a file name as "/" (Linux),
    // so the source names in a ".fas" file are opened the same way.
    bool sourceBackslashIsSlash;
};
extern const PlatformConventions platformConventions;

// Chunks for the memory manager. A chunk address plus 4 is always 8-aligned,
// so blocks carved after the chunk's 4-byte link are 8-aligned too.
// platformChunkAllocate returns null when no memory is left.
void* platformChunkAllocate(uint32_t size);
void platformChunkFree(void* chunk);

// All chunks lie in one address range; in-band links of the memory manager
// are 32-bit offsets from this base (null on a 32-bit host).
char* platformChunkBase();

// Marks memory as unusable/usable for the address sanitizer; no-ops in other
// builds.
void platformPoison(const void* start, size_t size);
void platformUnpoison(const void* start, size_t size);
// Marks a block that is handed out as holding no defined values, so that a
// memory checker reports any use of its bytes before they are written.
void platformMarkUndefined(const void* start, size_t size);

// Files. Each returns true on success.
bool platformOpenForReading(PlatformFile* file, const char* name);
// Opens a regular file only, and never waits: a pipe, socket, device or
// folder is refused, also one swapped in between the check and the open.
bool platformOpenRegularForReading(PlatformFile* file, const char* name);
// The same for an existing output, to look at its first bytes: it is
// shared for reading, writing and deleting, as every open of the output is,
// so that it stands in the way of no other program or run.
bool platformOpenOutputForReading(PlatformFile* file, const char* name);
bool platformClose(PlatformFile file);
// One read or write call; *done receives the bytes transferred (0 at the
// end of a file).
bool platformRead(PlatformFile file, void* destination, uint32_t count, uint32_t* done);
bool platformWrite(PlatformFile file, const void* source, uint32_t count, uint32_t* done);
// The file's full 64-bit size.
bool platformFileSize(PlatformFile file, uint64_t* size);

// What a name leads to, symbolic links followed.
struct PlatformFileInfo {
    bool exists;
    bool regular;   // a regular file: not a folder, device, pipe or socket
    bool writable;  // not read-only, and the running user may open it for writing
    uint64_t volume;  // with `index`, tells files apart: device and inode,
    uint64_t index;   // or volume serial number and file index
};
// False when the facts cannot be had; a name that does not exist is not a
// failure (exists is false). `writable` is found out only when asked for:
// on Windows that opens the file for writing, which other readers of the
// file (another run, the assembler) would meet as a sharing violation.
bool platformInspect(const char* name, PlatformFileInfo* info, bool askWritable);

// Paths: the length of the folder part, its last separator included (0 for
// a bare name), and whether a path is independent of the current folder.
uint32_t platformFolderLength(const char* path);
bool platformIsAbsolutePath(const char* path);

// Runs that name the same output take turns from here to the end of the
// process, where the system's rules could let them stand in each other's
// way (Windows refuses to replace a file that another run holds open).
void platformTakeTurnsOnOutput(const char* output);

// Replacing the one output file of a run. The output name is resolved to
// the file it leads to (links followed), so that a link stays a link.
// The temporary is a new file with a short name of its own in the target's
// folder, open to its owner alone until it is complete; it is removed when
// the process is interrupted (signals, Ctrl-C) while it exists.
bool platformResolveOutput(const char* outputName, char* target, uint32_t capacity);
// The temporary's own name (no folder) for a target whose folder's full
// path is `folderLength` characters long, where whole paths may be at most
// `pathLimit` characters: ".symweld-" and eight hex digits of `value`;
// where that would pass the limit, ".sw" and as many of those digits as fit,
// two at least. Returns the name's length, 0 when none fits.
const uint32_t temporaryNameCapacity = 18;
uint32_t composeTemporaryName(char* name, uint32_t folderLength, uint32_t pathLimit, uint32_t value);
// *noTemporary tells, on failure, that no temporary can be made beside the
// target at all (the folder refuses the user new files, or no name fits the
// path limit), or that none could take the target's place keeping what it
// has (its owner, its group, its ACL, the user's attributes), while the
// plain write may still work.
bool platformCreateTemporary(PlatformFile* file, const char* target, bool* noTemporary);
// The in-place write, for a target beside which no temporary can be made.
// Opens the existing regular file for reading and writing, unchanged; runs
// that write one file in place take turns, so this waits for another run's
// in-place write. Setuid and setgid bits are dropped once the new content
// is on the disk (platformDropSpecialBits), and kept where it is not; a
// file whose bits a failed write could not put back is refused.
bool platformOpenInPlace(PlatformFile* file, const char* target);
// Drops setuid and setgid bits from the file written in place, once its new
// content is on the disk. False where that fails: the write then counts as
// failed, and the old content and mode go back.
bool platformDropSpecialBits(PlatformFile file);
bool platformSetFilePosition(PlatformFile file, uint64_t offset);
// Makes sure that `size` bytes can be written from the start of the file
// (room on the volume, the file-size limit) without changing its length.
bool platformReserveFileSize(PlatformFile file, uint64_t size);
bool platformSetFileLength(PlatformFile file, uint64_t size);
// Waits until the bytes written have reached the disk. A write that the
// system takes into a cache and fails only later (a full disk behind a
// cache, a network share, a quota) fails here, and a power loss after the
// replace finds the new content rather than a file that never got it.
bool platformFlushFile(PlatformFile file);
// The in-place write runs with interrupts held back: one that arrives
// meanwhile is seen by platformInterruptPending, and takes effect at
// platformOutputDecided(false). Once the new output is in place
// (platformOutputDecided(true)), the run ends as a success: interrupts stay
// held, and a later write (the dependency file's) no longer gives way to
// them, so that it is carried out or fails on its own.
void platformHoldInterrupts();
bool platformInterruptPending();
void platformOutputDecided(bool replaced);
// Gives the open temporary the permissions the output keeps: the target's
// permission bits where it exists (never setuid, setgid or sticky), else
// those of any new file.
bool platformSetOutputPermissions(PlatformFile file, const char* target);
// Called once the temporary is complete, before it is closed: from here on
// it outlives its handle. (Until then, where the system can, it is deleted
// when its handle closes, also when the process is killed.)
bool platformKeepTemporary(PlatformFile file);
// Moves the closed temporary over the target, keeping the target's
// attributes where the system has any. An interrupt that arrives during the
// move takes effect only if the move fails. *refused tells, on failure, that
// the system refuses the user this replace (a sticky folder, another user's
// file), rather than failing to carry it out.
bool platformReplaceWithTemporary(const char* target, bool* refused);
void platformRemoveTemporary();

// Writes bytes to standard output; failures are ignored by every caller.
void platformWriteStandardOutput(const void* bytes, uint32_t count);
// Whether any of that output was lost (standard output closed at start, a
// full disk, a closed pipe), where the system's tools report it: the help
// and version texts are the output asked for, and their loss is a failure.
bool platformStandardOutputFailed();

// Ends the process with the exit code. When a hook is set (tests, fuzzing),
// the hook is called instead; it must not return.
[[noreturn]] void platformExit(int code);
typedef void (*PlatformExitHook)(int code);
void platformSetExitHook(PlatformExitHook hook);

// The process entry of the tool, defined by the driver.
void symweldMain();
