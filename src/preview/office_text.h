// The text of office documents saved in the XML formats (Word, Excel and PowerPoint 2007
// and later; OpenDocument text, spreadsheet and presentation), read straight from the
// file's bytes: the ZIP container through libarchive, the XML through QXmlStreamReader.
// Qt Core only, no files, no processes: the preview helper calls it, and so does the fuzzer.
#pragma once

#include <QByteArray>
#include <QString>

namespace kestrune::preview {

// How much of a document the preview shows, as much as a glance at a found file needs:
// the first characters of a text, the top left cells of the first sheet, the first slides.
inline constexpr int kDocumentChars = 2048;
inline constexpr int kSheetRows = 10;
inline constexpr int kSheetColumns = 10;
inline constexpr int kSlides = 20;
// Members are read at most this far once unpacked, and all of them together no further:
// a found file may be a ZIP bomb.
inline constexpr qint64 kMemberBytes = 16 << 20;
inline constexpr qint64 kTotalBytes = 48 << 20;

enum class OfficeTextStatus {
    Ok,          // text holds what the document says (it may be empty: an empty document)
    NotOffice,   // a readable ZIP without the members of a known document kind
    Unreadable,  // no ZIP, or its members cannot be unpacked or parsed
};

struct OfficeText {
    OfficeTextStatus status = OfficeTextStatus::Unreadable;
    QString text;
};

// Cells of a sheet are separated by a tab and rows by a line break; paragraphs and slides
// each end with a line break.
OfficeText ExtractOfficeText(const QByteArray& bytes);

}  // namespace kestrune::preview
