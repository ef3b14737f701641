// The floor of the tool's job: read the .fas file, the object and every
// source file, compute the MD5 of the sources, and write an output file of a
// given size. Usage: floor fas obj output-size output source...
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

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
}  // namespace

int main(int argc, char** argv) {
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
    FILE* f = fopen(argv[4], "wb");
    if (!f || fwrite(output.data, 1, output.size, f) != output.size) return 1;
    fclose(f);
    return 0;
}
