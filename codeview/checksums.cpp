// The string table of source-file names and their MD5 checksums.
#include <cstring>

#include "codeview/builder.h"
#include "codeview/md5.h"
#include "support/fileio.h"
#include "support/heap.h"

namespace {

const uint32_t digestBlockSize = 256 * 1024;

struct FileFiller {
    CvBuilder* builder;
    uint32_t next;
};

void addFileName(uintptr_t value, void* context) {
    FileFiller* filler = static_cast<FileFiller*>(context);
    CvBuilder* b = filler->builder;
    CvFileEntry& entry = b->files[filler->next++];
    entry.file = reinterpret_cast<const char*>(value);
    entry.nameOffset = b->output.size - b->subsectionStart;
    entry.checksumOffset = 0;
    b->appendString(entry.file);
}

}  // namespace

void CvBuilder::writeStringTable() {
    fileCount = fas->sourceFiles.count;
    files = static_cast<CvFileEntry*>(allocateWithHeader(fileCount * sizeof(CvFileEntry)));
    beginSubsection(DEBUG_S_STRINGTABLE);
    output.appendU8(0);
    FileFiller filler = {this, 0};
    fas->sourceFiles.forEach(addFileName, &filler);
    if (plan.procedureCount) {
        frameProgram = output.size - subsectionStart;
        appendString(ebpFrameProgram);
    }
    endSubsection();
}

void CvBuilder::writeFileChecksums() {
    ByteBuffer scratch;
    scratch.init();
    beginSubsection(DEBUG_S_FILECHKSMS);
    for (uint32_t i = 0; i < fileCount; ++i) {
        files[i].checksumOffset = 24 * i;
        output.appendU32(files[i].nameOffset);
        output.appendU8(16);
        output.appendU8(CHKSUM_TYPE_MD5);
        uint8_t digest[16];
        digestFile(files[i].file, &scratch, digest);
        output.appendBytes(digest, 16);
        output.appendU16(0);
    }
    scratch.release();
    endSubsection();
}

void digestFile(const char* name, ByteBuffer* scratch, uint8_t digest[16]) {
    memset(digest, 0, 16);
    FileHandle file;
    TextBuilder path;
    path.initText();
    bool opened = file.openRegularForReading(sourceFileName(name, &path));
    path.release();
    if (!opened) return;
    // The file goes through MD5 a block at a time, so memory does not grow
    // with a source's size and a source of any size gets its digest.
    scratch->clear();
    scratch->reserve(digestBlockSize);
    Md5 context;
    context.init();
    uint32_t done = 0;
    bool read;
    while ((read = file.readSome(scratch->data, digestBlockSize, &done)) && done > 0) context.update(scratch->data, done);
    file.close();
    if (read) context.finish(digest);
}
