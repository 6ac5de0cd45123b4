#include <QBuffer>
#include <QImageReader>
#include <memory>

#include "preview/decoders.h"
#include "preview/helper_protocol.h"

namespace kestrune::preview {

QByteArray DecodePicture(const HelperInput& input, QSize fit) {
    // No picture worth previewing needs more than this once decoded; a file claiming more
    // is refused before its pixels are allocated.
    QImageReader::setAllocationLimit(512);
    QBuffer buffer;
    std::unique_ptr<QImageReader> reader;
    if (input.path.isEmpty()) {
        buffer.setData(input.bytes);
        buffer.open(QIODevice::ReadOnly);
        reader = std::make_unique<QImageReader>(&buffer);
    } else {
        reader = std::make_unique<QImageReader>(input.path);
    }
    // Found pictures are all named like JPEG files: what they are is in their bytes.
    reader->setDecideFormatFromContent(true);
    reader->setAutoTransform(true);
    QSize size = reader->size();
    QImage image;
    if (size.isValid() && !size.isEmpty()) {
        // Decoding straight to the shown size keeps a large photo quick (JPEG scales as
        // it decodes) and small in memory.
        const QSize upright = reader->transformation() & QImageIOHandler::TransformationRotate90 ? size.transposed() : size;
        if (fit.isValid() && (upright.width() > fit.width() || upright.height() > fit.height())) {
            QSize scaled = upright.scaled(fit, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
            if (reader->transformation() & QImageIOHandler::TransformationRotate90) scaled.transpose();
            reader->setScaledSize(scaled);
        }
        image = reader->read();
        if (!image.isNull() && reader->transformation() & QImageIOHandler::TransformationRotate90) size.transpose();
    } else {
        image = reader->read();
        size = image.size();
        if (!image.isNull() && fit.isValid() && (image.width() > fit.width() || image.height() > fit.height()))
            image = image.scaled(fit, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    if (image.isNull() || image.width() > kMaxHelperSide || image.height() > kMaxHelperSide) return EncodeFailed();
    return EncodePicture(image, size);
}

}  // namespace kestrune::preview
