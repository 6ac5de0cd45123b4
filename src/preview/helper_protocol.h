// What the preview helper (kestrune-preview) writes on its standard output, read back by
// the desktop program. One header line, then the payload:
//   "KPV1 image W H OW OH\n" and W x H pixels of 32-bit ARGB (premultiplied), row after
//       row: the picture scaled to fit, OW x OH its size in the file
//   "KPV1 text\n" and UTF-8 text
//   "KPV1 failed\n": the decoder could not read the file
// Pixels rather than a PNG: the program only copies them, it never decodes what a helper
// that read hostile data handed it.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

namespace kestrune::preview {

enum class HelperResultKind { Picture, Text, Failed };

struct HelperResult {
    HelperResultKind kind = HelperResultKind::Failed;
    QImage picture;
    QSize fileSize;  // the picture's size in the file
    QString text;
};

inline constexpr int kMaxHelperSide = 16384;

inline QByteArray EncodePicture(const QImage& image, QSize fileSize) {
    const QImage pixels = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QByteArray out = "KPV1 image " + QByteArray::number(pixels.width()) + ' ' + QByteArray::number(pixels.height()) +
                     ' ' + QByteArray::number(fileSize.width()) + ' ' + QByteArray::number(fileSize.height()) + '\n';
    for (int y = 0; y < pixels.height(); ++y)
        out.append(reinterpret_cast<const char*>(pixels.constScanLine(y)), pixels.width() * 4);
    return out;
}

inline QByteArray EncodeText(const QString& text) { return "KPV1 text\n" + text.toUtf8(); }
inline QByteArray EncodeFailed() { return "KPV1 failed\n"; }

// A result read back; anything not exactly as written above counts as Failed.
inline HelperResult DecodeHelperOutput(const QByteArray& output) {
    HelperResult result;
    const qsizetype end = output.indexOf('\n');
    if (end < 0 || end > 100) return result;
    const QList<QByteArray> header = output.left(end).split(' ');
    const QByteArray payload = output.mid(end + 1);
    if (header.size() == 2 && header[0] == "KPV1" && header[1] == "text") {
        result.kind = HelperResultKind::Text;
        result.text = QString::fromUtf8(payload);
    } else if (header.size() == 6 && header[0] == "KPV1" && header[1] == "image") {
        int figures[4];
        for (int i = 0; i < 4; ++i) {
            bool ok = false;
            figures[i] = header[2 + i].toInt(&ok);
            if (!ok || figures[i] < 0 || figures[i] > (i < 2 ? kMaxHelperSide : 1 << 30)) return result;
        }
        const qint64 bytes = qint64(figures[0]) * figures[1] * 4;
        if (figures[0] == 0 || figures[1] == 0 || payload.size() != bytes) return result;
        QImage picture(figures[0], figures[1], QImage::Format_ARGB32_Premultiplied);
        if (picture.isNull()) return result;
        for (int y = 0; y < figures[1]; ++y)
            memcpy(picture.scanLine(y), payload.constData() + qint64(y) * figures[0] * 4, size_t(figures[0]) * 4);
        result.kind = HelperResultKind::Picture;
        result.picture = picture;
        result.fileSize = QSize(figures[2], figures[3]);
    }
    return result;
}

}  // namespace kestrune::preview
