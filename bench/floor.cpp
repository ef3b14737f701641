// The floor of the tool's job: read the .fas file, the object and every
// source file, compute the MD5 of the sources, and write an output file of a
// given size. Usage: floor [--replace] fas obj output-size output source...
// With --replace the output is written as the tool writes it: to a new
// file beside it, flushed to the disk, which then takes the output's name.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codeview/md5.h"

namespace {
// Memory for whole files, on huge pages where the system offers them (as
// the tool's own memory is), so the floor is as fast as reading can be.
struct Block {
    unsigned char* data = nullptr;
    size_t size = 0;
    bool empty() const { return size == 0; }
    unsigned char operator[](size_t i) const { return data[i]; }
};

Block fastBlock(size_t size) {
    Block b;
    if (size == 0) return b;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) exit(1);
    madvise(p, size, MADV_HUGEPAGE);
    b.data = static_cast<unsigned char*>(p);
    b.size = size;
    return b;
}

Block readFile(const char* name) {
    FILE* f = fopen(name, "rb");
    if (!f) return Block();
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    Block b = fastBlock(static_cast<size_t>(size));
    if (size > 0 && fread(b.data, 1, b.size, f) != b.size) exit(1);
    fclose(f);
    return b;
}

bool writeTruncating(const char* name, const Block& output) {
    FILE* f = fopen(name, "wb");
    if (!f || fwrite(output.data, 1, output.size, f) != output.size) return false;
    return fclose(f) == 0;
}

bool writeReplacing(const char* name, const Block& output) {
    std::string temporary = std::string(name) + ".floor-new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = write(fd, output.data, output.size) == static_cast<ssize_t>(output.size) && fdatasync(fd) == 0;
    ok = close(fd) == 0 && ok;
    return ok && rename(temporary.c_str(), name) == 0;
}
}  // namespace

int main(int argc, char** argv) {
    bool replace = argc > 1 && strcmp(argv[1], "--replace") == 0;
    if (replace) {
        --argc;
        ++argv;
    }
    if (argc < 5) return 2;
    unsigned sum = 0;
    Block fas = readFile(argv[1]);
    Block obj = readFile(argv[2]);
    sum += fas.empty() ? 0 : fas[fas.size / 2];
    sum += obj.empty() ? 0 : obj[obj.size / 2];
    for (int i = 5; i < argc; ++i) {
        Block source = readFile(argv[i]);
        uint8_t digest[16];
        md5(source.data, static_cast<uint32_t>(source.size), digest);
        sum += digest[0];
        if (source.data) munmap(source.data, source.size);
    }
    Block output = fastBlock(strtoul(argv[3], nullptr, 10));
    for (size_t i = 0; i < output.size; ++i) output.data[i] = static_cast<unsigned char>(sum + i);
    return (replace ? writeReplacing(argv[4], output) : writeTruncating(argv[4], output)) ? 0 : 1;
}
