// Databases and mail stores: SQLite, Outlook Express DBX and Outlook PST. None records
// its length where a carver can see it, so each runs until a foreign sector.
#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"

namespace kestrune::carve {

namespace {

int DetectSqlite(ByteView s, CarvingContext&) {
    return s.size() >= 16 && s.matches(0, Bytes("SQLite format 3\x00")) ? kDb : kNoType;
}
uint64_t SqliteLength(ByteView, CarvingContext& c) { return UntilForeign(c, 4 * GiB); }

int DetectDbx(ByteView s, CarvingContext&) { return s.size() >= 16 && s.matches(0, "\xCF\xAD\x12\xFE") ? kDbx : kNoType; }
int DetectPst(ByteView s, CarvingContext&) {
    return s.size() >= 16 && s.matches(0, "!BDN") && s.matches(8, "SM") ? kPst : kNoType;
}
uint64_t MailStoreLength(ByteView, CarvingContext& c) { return UntilForeign(c, 2 * GiB); }

constexpr Anchor kSqliteAnchors[] = {{0, 'S'}};
constexpr Anchor kDbxAnchors[] = {{0, 0xCF}};
constexpr Anchor kPstAnchors[] = {{0, '!'}};

}  // namespace

const Signature kSqliteSignature{"SQLite", DetectSqlite, SqliteLength, kSqliteAnchors};
const Signature kDbxSignature{"DBX", DetectDbx, MailStoreLength, kDbxAnchors};
const Signature kPstSignature{"PST", DetectPst, MailStoreLength, kPstAnchors};

}  // namespace kestrune::carve
