// The detectors and length rules of every file type, declared by format family; each
// family's source file defines its signatures with their rules side by side.
#pragma once

#include "engines/carve/signature_table.h"

namespace kestrune::carve {

// video.cpp
extern const Signature kMpegSignature, kMp4Signature, kRealMediaSignature, kAsfSignature,
    kSwfSignature, kAviSignature, kFlvSignature, k3gpSignature, kMatroskaSignature,
    kTransportStreamSignature, kM2tsSignature, kMxfSignature, kQuickTimeSignature;
// audio.cpp
extern const Signature kMp3Signature, kMidiSignature, kApeSignature, kWavSignature, kMp2Signature,
    kMmfSignature;
// images.cpp
extern const Signature kGifSignature, kBmpSignature, kJpegSignature, kPngSignature, kPsdSignature,
    kTiffSignature, kIcoSignature;
// documents.cpp
extern const Signature kCompoundDocumentSignature, kOfficePackageSignature, kPdfSignature,
    kFlaSignature, kTrueTypeSignature;
// archives.cpp
extern const Signature kGzipSignature, k7zipSignature, kZipSignature, kRarSignature, kCabSignature;
// executables.cpp
extern const Signature kPeImageSignature, kDiskImageSignature;
// databases.cpp
extern const Signature kSqliteSignature, kDbxSignature, kPstSignature;
// text.cpp
extern const Signature kTextSignature;

// The RIFF size rule, shared by WAV and AVI: the size field plus its 8-byte header.
uint64_t RiffLength(ByteView sector, CarvingContext& context);

// ZIP files and Office packages end with the end-of-central-directory record (22 bytes
// and its comment).
// The record the central directory vouches for is taken first; failing that, the last
// record in the first block that holds one.
uint64_t ZipEndRecordLength(ByteView sector, CarvingContext& context, uint64_t maxBytes);
uint64_t LastEndRecordLength(CarvingContext& context, uint64_t maxBytes);

// A directory (ICO, TrueType) that may run past the sector: the sector when it holds
// needed bytes, else the first 64 KiB of the file read into the context's buffer.
ByteView DirectoryBytes(ByteView sector, CarvingContext& context, uint64_t needed);

}  // namespace kestrune::carve
