// hold_file.exe NAME r|rw SECONDS: holds NAME open for reading, shared for
// reading (r) or for reading and writing (rw), as a virus scanner or an
// editor does; writes "NAME.held" once it holds the file.
#include <windows.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    DWORD share = std::string(argv[2]) == "rw" ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    HANDLE held = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    HANDLE marker = CreateFileA((std::string(argv[1]) + ".held").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                0, nullptr);
    CloseHandle(marker);
    Sleep(static_cast<DWORD>(std::atof(argv[3]) * 1000));
    CloseHandle(held);
    return 0;
}
