// How the preview shows a found file, chosen by its name, and the raw-text view of bytes
// that no decoder shows.
#pragma once

#include <QByteArray>
#include <QString>
#include <string_view>

namespace kestrune::ui {

enum class PreviewKind {
    Picture,       // the photo extensions: decoded by Qt's image readers
    Pdf,           // its first page
    Archive,       // its member listing
    OfficeXml,     // Word, Excel, PowerPoint 2007+ and OpenDocument files: their text
    LegacyOffice,  // older Word, Excel and PowerPoint files, RTF: through LibreOffice
    Audio,
    Video,
    Raw,           // anything else: the raw-text view
};

// The kind for a found file's name: its extension, lowercase, matched as a whole item of
// the type lists (so "o" is not taken for "doc").
PreviewKind PreviewKindOf(std::string_view name);

// The format LibreOffice converts a legacy office file to ("odt", "ods", "odp"), so that
// the office text reader can read it; "" for other names.
QString OpenDocumentFormatFor(std::string_view name);

// Every byte as the character of the same code, 0 shown as "."; a line break ("\r\n")
// after every 1,024 bytes, and one at the end.
QString RawText(const QByteArray& bytes);

// Raw text shows at most this much of a temporary file; data delivered into memory is
// shown whole (the extraction buffer is 20 MiB).
inline constexpr qsizetype kRawFileBytes = 8192;
inline constexpr size_t kPreviewBufferBytes = 20u << 20;

}  // namespace kestrune::ui
