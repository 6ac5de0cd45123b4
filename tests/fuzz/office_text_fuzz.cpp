// Arbitrary bytes through the preview's office text reader: ZIP containers (libarchive)
// and the XML of Word, Excel, PowerPoint and OpenDocument files (QXmlStreamReader).
#include <cstddef>
#include <cstdint>

#include "preview/office_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const kestrune::preview::OfficeText text = kestrune::preview::ExtractOfficeText(bytes);
    // No document yields more than the preview shows of it.
    if (text.text.size() > kestrune::preview::kDocumentChars * 8) __builtin_trap();
    if (text.status != kestrune::preview::OfficeTextStatus::Ok && !text.text.isEmpty()) __builtin_trap();
    return 0;
}
