#include <QFile>

#include "preview/decoders.h"
#include "preview/helper_protocol.h"
#include "preview/office_text.h"

namespace kestrune::preview {

QByteArray OfficeDocumentText(const HelperInput& input) {
    QByteArray bytes = input.bytes;
    if (!input.path.isEmpty()) {
        QFile file(input.path);
        // Documents worth a glance are far smaller; a larger file is shown as raw bytes.
        if (!file.open(QIODevice::ReadOnly) || file.size() > (256 << 20)) return EncodeFailed();
        bytes = file.readAll();
    }
    const OfficeText text = ExtractOfficeText(bytes);
    return text.status == OfficeTextStatus::Ok ? EncodeText(text.text) : EncodeFailed();
}

}  // namespace kestrune::preview
