#include <poppler-qt6.h>

#include <algorithm>
#include <memory>

#include "preview/decoders.h"
#include "preview/helper_protocol.h"

namespace kestrune::preview {

QByteArray RenderFirstPdfPage(const HelperInput& input, QSize fit) {
    std::unique_ptr<Poppler::Document> document =
        input.path.isEmpty() ? Poppler::Document::loadFromData(input.bytes) : Poppler::Document::load(input.path);
    if (!document || document->isLocked() || document->numPages() < 1) return EncodeFailed();
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    std::unique_ptr<Poppler::Page> page = document->page(0);
    if (!page) return EncodeFailed();
    const QSizeF points = page->pageSizeF();
    if (!(points.width() > 0 && points.height() > 0)) return EncodeFailed();
    // The resolution at which the page just fits, within what a screen needs.
    const QSize box = fit.isValid() ? fit : QSize(800, 800);
    const double scale = std::min(box.width() / points.width(), box.height() / points.height());
    const double dpi = std::clamp(72.0 * scale, 4.0, 300.0);
    const QImage image = page->renderToImage(dpi, dpi);
    if (image.isNull() || image.width() > kMaxHelperSide || image.height() > kMaxHelperSide) return EncodeFailed();
    return EncodePicture(image, image.size());
}

}  // namespace kestrune::preview
