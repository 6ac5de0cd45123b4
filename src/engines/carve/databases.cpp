// Databases and mail stores: SQLite, Outlook Express DBX and Outlook PST. SQLite states
// its size in its header when the last writer kept it up to date; the others record no
// length a carver can see, so they run until a foreign sector.
#include "engines/carve/detectors.h"
#include "engines/carve/length_rules.h"
#include "engines/carve/structure_walks.h"

namespace kestrune::carve {

namespace {

int DetectSqlite(ByteView s, CarvingContext&) {
    return s.size() >= 16 && s.matches(0, Bytes("SQLite format 3\x00")) ? kDb : kNoType;
}
uint64_t SqliteUntilForeign(ByteView, CarvingContext& c) { return UntilForeign(c, 4 * GiB); }
uint64_t SqliteLength(ByteView s, CarvingContext& c) { return WalkOrFallback(WalkSqlite, s, c, 4 * GiB, SqliteUntilForeign); }

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
