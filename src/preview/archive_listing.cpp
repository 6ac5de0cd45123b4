#include <archive.h>
#include <archive_entry.h>

#include <QDateTime>
#include <memory>

#include "preview/decoders.h"
#include "preview/helper_protocol.h"

namespace kestrune::preview {

namespace {

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

const QString kRule = QString(19, '-') + "  " + QString(14, '-') + "  " + QString(24, '-') + "\n";

ArchivePtr Open(const HelperInput& input, bool bareStream) {
    ArchivePtr reader(archive_read_new(), archive_read_free);
    archive_read_support_filter_all(reader.get());
    // A lone compressed file (notes.txt.gz) has no member table: it is listed as one
    // member, found only once no archive format took the bytes.
    if (bareStream) archive_read_support_format_raw(reader.get());
    else archive_read_support_format_all(reader.get());
    const int rc = input.path.isEmpty()
                       ? archive_read_open_memory(reader.get(), input.bytes.constData(), size_t(input.bytes.size()))
                       : archive_read_open_filename(reader.get(), input.path.toLocal8Bit().constData(), 65536);
    if (rc != ARCHIVE_OK) return ArchivePtr(nullptr, archive_read_free);
    return reader;
}

QString Row(archive_entry* entry) {
    const QString when = archive_entry_mtime_is_set(entry)
                             ? QDateTime::fromSecsSinceEpoch(archive_entry_mtime(entry)).toString("yyyy-MM-dd HH:mm:ss")
                             : QString(19, ' ');
    const QString size = archive_entry_size_is_set(entry) ? QString::number(archive_entry_size(entry)) : QString();
    const char* utf8 = archive_entry_pathname_utf8(entry);
    const char* raw = archive_entry_pathname(entry);
    QString name = utf8 ? QString::fromUtf8(utf8) : QString::fromLocal8Bit(raw ? raw : "");
    // A name may hold anything: no control character reaches the pane.
    for (QChar& c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QChar(0xfffd);
    return when + "  " + size.rightJustified(14) + "  " + name + "\n";
}

// The listing, or an empty text when the bytes hold no member at all.
QString Listing(const HelperInput& input, bool bareStream) {
    ArchivePtr reader = Open(input, bareStream);
    if (!reader) return {};
    QString rows;
    int count = 0;
    archive_entry* entry = nullptr;
    for (;;) {
        const int rc = archive_read_next_header(reader.get(), &entry);
        if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) break;
        // Bytes that are not even compressed are no archive of any kind.
        if (bareStream && archive_filter_code(reader.get(), 0) == ARCHIVE_FILTER_NONE) return {};
        if (count == kListedMembers) {
            rows += QString(19, ' ') + "  " + QString(14, ' ') + "  ...\n";
            break;
        }
        rows += Row(entry);
        ++count;
        if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) break;
    }
    return count ? kRule + rows + kRule : QString();
}

}  // namespace

QByteArray ListArchive(const HelperInput& input) {
    QString listing = Listing(input, false);
    if (listing.isEmpty()) listing = Listing(input, true);
    return listing.isEmpty() ? EncodeFailed() : EncodeText(listing);
}

}  // namespace kestrune::preview
