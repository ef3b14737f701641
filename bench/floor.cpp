// The floor of the tool's job: read the .fas file, the object and every
// source file, compute the MD5 of the sources, and write an output file of a
// given size. Usage: floor fas obj output-size output source...
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codeview/md5.h"

namespace {
std::vector<unsigned char> readFile(const char* name) {
    std::vector<unsigned char> bytes;
    FILE* f = fopen(name, "rb");
    if (!f) return bytes;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    bytes.resize(static_cast<size_t>(size));
    if (size > 0 && fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
    fclose(f);
    return bytes;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    unsigned sum = 0;
    std::vector<unsigned char> fas = readFile(argv[1]);
    std::vector<unsigned char> obj = readFile(argv[2]);
    sum += fas.empty() ? 0 : fas[fas.size() / 2];
    sum += obj.empty() ? 0 : obj[obj.size() / 2];
    for (int i = 5; i < argc; ++i) {
        std::vector<unsigned char> source = readFile(argv[i]);
        uint8_t digest[16];
        md5(source.data(), static_cast<uint32_t>(source.size()), digest);
        sum += digest[0];
    }
    std::vector<unsigned char> output(strtoul(argv[3], nullptr, 10), static_cast<unsigned char>(sum));
    FILE* f = fopen(argv[4], "wb");
    if (!f || fwrite(output.data(), 1, output.size(), f) != output.size()) return 1;
    fclose(f);
    return 0;
}
