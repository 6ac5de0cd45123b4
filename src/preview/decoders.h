// The decoders of the preview helper. Each reads one found file (a path, or bytes that
// came on standard input) and answers with a helper result (helper_protocol.h).
#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

namespace kestrune::preview {

struct HelperInput {
    QString path;      // empty when the bytes came on standard input
    QByteArray bytes;  // standard input's bytes
};

// Pictures: fit is the largest size to show, the picture is never enlarged.
QByteArray DecodePicture(const HelperInput& input, QSize fit);
// PDF: the first page rendered to fit.
QByteArray RenderFirstPdfPage(const HelperInput& input, QSize fit);
// Archives: a table of the members (date, size, name) between two lines of dashes.
QByteArray ListArchive(const HelperInput& input);
// Office documents in their XML formats: their text.
QByteArray OfficeDocumentText(const HelperInput& input);

// How many archive members the listing shows.
inline constexpr int kListedMembers = 1000;

}  // namespace kestrune::preview
