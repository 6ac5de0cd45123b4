// SignatureTable: every file type the deep scan knows, in the order they are tried.
//
// A detector decides from one sector whether a file of its type starts there; a length
// rule reads ahead and tells how long that file is. The first row whose detector fires
// decides, so the order of the table is part of its meaning. A first-byte index skips
// the rows that cannot match a sector, without changing which row fires.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "disk/byte_view.h"
#include "engines/carve/carving_context.h"

namespace kestrune::carve {

enum FileType : int {
    kDoc = 0, kDocx = 1, kOle = 2, kXls = 3, kXlsx = 4, kPpt = 5, kPptx = 6, kMso07 = 7,
    kPdf = 8, kGho = 9, kJpg = 10, kMp2 = 11, kMp3 = 12, kMid = 13, kMmf = 14, kMpeg = 15,
    k3gp = 16, kMov = 17, kMp4 = 18, kMkv = 19, kTs = 20, kWav = 21, kAvi = 22, kRmvb = 23,
    kWmv = 24, kApe = 25, kSwf = 26, kFlv = 27, kPsd = 28, kBmp = 29, kPng = 30, kGif = 31,
    kTif = 32, kCab = 33, k7z = 34, kZip = 35, kGz = 36, kRar = 37, kPst = 38, kDb = 39,
    kDbx = 40, kExe = 41, kDll = 42, kSys = 43, kFla = 44, kTtf = 45, kIco = 46, kMts = 47,
    kMxf = 48, kTxt = 50,  // 49 is kNoType
};

// A detector: the type of file that starts at sector, or kNoType. Detectors that need
// more than the sector read it through the context, at context.cursor.
using DetectFn = int (*)(ByteView sector, CarvingContext& context);
// A length rule: the file's length in bytes; reads ahead through the context. 0: the file
// is recognised but its length is not known well enough to carve it.
using LengthFn = uint64_t (*)(ByteView sector, CarvingContext& context);

// Bytes that any sector a detector accepts must hold: at least one anchor of the list
// matches. The first-byte index is built from them.
struct Anchor {
    uint8_t offset;
    uint8_t value;
};

struct Signature {
    const char* name;
    DetectFn detect;
    LengthFn length;  // null: recognised, never carved
    std::span<const Anchor> anchors;
};

struct SignatureRow {
    std::string_view extension;
    int type;
    const Signature* signature;
};

// The table: one row per extension, in order, ending with the kNoType row.
std::span<const SignatureRow> SignatureTable();

// The first row of a type (it names carved files of that type) and the first row of an
// extension (compared without case); null when there is none. Text has no signature of
// its own: RowForExtension leaves its row out, so that what checks a file's content by
// its extension's signature does not take the look of text for one.
const SignatureRow* RowForType(int type);
const SignatureRow* RowForExtension(std::string_view extension);

// The table run over a sector: the type of the first row whose detector fires.
int DetectType(ByteView sector, CarvingContext& context);

// Whether the data at position carries the signature its extension promises: 1 when the
// extension's row detects its own type there, or when no row has the extension; else 0.
int SignatureMatchesExtension(ByteView sector, std::string_view extension, CarvingContext& context,
                              uint64_t position);

// Extensions of files that hold plain text (txt, csv, xml, html...), compared without case.
bool IsPlainTextExtension(std::string_view extension);
// Text in any 8-bit encoding or UTF-8 (no NUL, hardly a control character but the layout
// ones), or UTF-16 with its byte-order mark.
bool LooksLikeText(ByteView head);

// Whether a whole file held in memory carries its extension's structure from its first
// byte to its end: the type's length rule reaches an end marker of its own no more than
// slack bytes short of size. False for types that have no end of their own.
bool StructureEndsNear(ByteView file, std::string_view extension, uint64_t size, uint64_t slack);

}  // namespace kestrune::carve
