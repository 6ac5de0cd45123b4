#include "scanlog/file_types.h"

#include <cinttypes>
#include <cstdio>

namespace kestrune {

const std::string_view PhotoExtensions =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|"
    "*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|"
    "*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm";
const std::string_view AudioExtensions =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|"
    "*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd";
const std::string_view VideoExtensions =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|"
    "*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|"
    "*.mxf|*.lrv";
const std::string_view DocumentExtensions =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|*.html|"
    "*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb";
const std::string_view ArchiveExtensions =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";
const std::string_view ConvertibleExtensions =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

const std::string& KnownExtensionText() {
    static const std::string text = std::string(PhotoExtensions) + "|" + std::string(AudioExtensions) +
                                    "|" + std::string(DocumentExtensions) + "|" +
                                    std::string(VideoExtensions) + "|" + std::string(ArchiveExtensions);
    return text;
}

std::string_view ExtensionOf(std::string_view name) {
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

std::string TypeFolderName(std::string_view name) {
    const std::string extension = AsciiLower(ExtensionOf(name));
    if (extension.empty()) return "others";
    if (ListContains(PhotoExtensions, extension)) return "photo";
    if (ListContains(AudioExtensions, extension)) return "audio";
    if (ListContains(VideoExtensions, extension)) return "video";
    if (ListContains(DocumentExtensions, extension)) return "document";
    if (ListContains(ArchiveExtensions, extension)) return "archive";
    return "others";
}

std::string IconFor(std::string_view typeText, uint32_t contentOk) {
    const std::string type = AsciiLower(typeText);
    if (type == "folder") return "folder.png";
    auto icon = [contentOk](const char* base) {
        return std::string(base) + (contentOk ? ".png" : "_error.png");
    };
    if (type == "exe") return icon("exe");
    if (ListContains(PhotoExtensions, type)) return icon("image");
    if (ListContains(AudioExtensions, type)) return icon("music");
    if (ListContains(DocumentExtensions, type)) return icon("doc");
    if (ListContains(VideoExtensions, type)) return icon("video");
    if (ListContains(ArchiveExtensions, type)) return icon("zip");
    return icon("default");
}

std::string NormaliseExtension(std::string_view extension) {
    std::string normal = AsciiLower(extension);
    if (normal.empty()) return "unknow";
    static const std::pair<std::string_view, std::string_view> kFolded[] = {
        {"jpeg", "jpg"}, {"tiff", "tif"}, {"scr", "pcx"},  {"midi", "mid"}, {"m4p", "m4a"},
        {"docx", "doc"}, {"xlsx", "xls"}, {"pptx", "ppt"}, {"htm", "html"}};
    for (const auto& [from, to] : kFolded)
        if (normal == from) return std::string(to);
    return normal;
}

ExtensionIndex BuildExtensionIndex(const std::vector<ScanRecord>& results) {
    ExtensionIndex index;
    for (const ScanRecord& record : results)
        index[NormaliseExtension(ExtensionOf(RecordName(record)))].push_back(&record);
    return index;
}

std::string BuildSearchPattern(const std::set<std::string>& registered) {
    std::string pattern;
    for (const std::string& extension : registered) {
        if (!pattern.empty()) pattern += "|";
        pattern += "*." + extension;
    }
    if (!pattern.empty()) return pattern;
    return std::string(PhotoExtensions) + "|" + std::string(AudioExtensions) + "|" +
           std::string(VideoExtensions) + "|" + std::string(DocumentExtensions) + "|" +
           std::string(ArchiveExtensions);
}

}  // namespace kestrune
