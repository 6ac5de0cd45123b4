#include "ui/preview_kind.h"

#include "scanlog/file_types.h"

namespace kestrune::ui {

namespace {

// Whether "*.<extension>" is a whole item of list.
bool HasItem(std::string_view list, const std::string& extension) {
    const std::string item = "*." + extension;
    for (size_t at = list.find(item); at != std::string_view::npos; at = list.find(item, at + 1)) {
        const size_t end = at + item.size();
        if ((at == 0 || list[at - 1] == '|') && (end == list.size() || list[end] == '|')) return true;
    }
    return false;
}

constexpr std::string_view kOfficeXml =
    "*.docx|*.dotx|*.docm|*.dotm|*.odt|*.xlsx|*.xlsm|*.ods|*.pptx|*.pptm|*.ppsx|*.ppsm|*.odp";
constexpr std::string_view kLegacyText = "*.doc|*.dot|*.rtf|*.wps";
constexpr std::string_view kLegacySheet = "*.xls|*.et";
constexpr std::string_view kLegacySlides = "*.ppt|*.pps|*.dps";
constexpr std::string_view kArchives =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|*.xz|*.tgz";

}  // namespace

PreviewKind PreviewKindOf(std::string_view name) {
    const std::string extension = AsciiLower(ExtensionOf(name));
    if (extension.empty()) return PreviewKind::Raw;
    if (HasItem(PhotoExtensions, extension)) return PreviewKind::Picture;
    if (extension == "pdf") return PreviewKind::Pdf;
    if (HasItem(kArchives, extension)) return PreviewKind::Archive;
    if (HasItem(kOfficeXml, extension)) return PreviewKind::OfficeXml;
    if (HasItem(kLegacyText, extension) || HasItem(kLegacySheet, extension) || HasItem(kLegacySlides, extension))
        return PreviewKind::LegacyOffice;
    if (HasItem(AudioExtensions, extension)) return PreviewKind::Audio;
    if (HasItem(VideoExtensions, extension)) return PreviewKind::Video;
    return PreviewKind::Raw;
}

QString OpenDocumentFormatFor(std::string_view name) {
    const std::string extension = AsciiLower(ExtensionOf(name));
    if (extension.empty()) return {};
    if (HasItem(kLegacyText, extension)) return "odt";
    if (HasItem(kLegacySheet, extension)) return "ods";
    if (HasItem(kLegacySlides, extension)) return "odp";
    return {};
}

QString RawText(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size() + bytes.size() / 1024 * 2 + 2);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        text += byte == 0 ? QChar('.') : QChar(byte);
        if ((i + 1) % 1024 == 0) text += "\r\n";
    }
    if (bytes.isEmpty() || bytes.size() % 1024 != 0) text += "\r\n";
    return text;
}

}  // namespace kestrune::ui
