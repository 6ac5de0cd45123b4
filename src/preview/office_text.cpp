#include "preview/office_text.h"

#include <archive.h>
#include <archive_entry.h>

#include <QRegularExpression>
#include <QXmlStreamReader>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace kestrune::preview {

namespace {

using Members = std::map<QString, QByteArray>;

// Unpacks the ZIP members that wanted picks, each cut at kMemberBytes, all of them at
// kTotalBytes. False when the bytes are no ZIP libarchive can walk; a member that fails to
// unpack part way keeps what came out of it.
bool ReadMembers(const QByteArray& bytes, const std::function<bool(const QString&)>& wanted, Members& out,
                 QStringList* names = nullptr) {
    std::unique_ptr<archive, decltype(&archive_read_free)> zip(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(zip.get());
    if (archive_read_open_memory(zip.get(), bytes.constData(), static_cast<size_t>(bytes.size())) != ARCHIVE_OK)
        return false;
    qint64 total = 0;
    bool any = false;
    archive_entry* entry = nullptr;
    // A damaged directory can name members without end: a few thousand are plenty for a
    // document.
    for (int count = 0; count < 20000; ++count) {
        const int rc = archive_read_next_header(zip.get(), &entry);
        if (rc == ARCHIVE_EOF) break;
        if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return any;
        any = true;
        const char* path = archive_entry_pathname_utf8(entry);
        if (!path) path = archive_entry_pathname(entry);
        const QString name = QString::fromUtf8(path ? path : "");
        if (names) names->push_back(name);
        if (!wanted(name) || out.count(name)) continue;
        QByteArray& data = out[name];
        char chunk[16384];
        while (data.size() < kMemberBytes && total < kTotalBytes) {
            const la_ssize_t got = archive_read_data(zip.get(), chunk, sizeof chunk);
            if (got <= 0) break;
            const qint64 room = std::min(kMemberBytes - data.size(), kTotalBytes - total);
            const qint64 take = std::min<qint64>(got, room);
            data.append(chunk, take);
            total += take;
        }
        if (total >= kTotalBytes) break;
    }
    return any;
}

// Collects text up to a number of characters.
class TextOut {
public:
    explicit TextOut(int limit) : limit_(limit) {}
    void Add(QStringView text) {
        if (full()) return;
        text_ += text.left(limit_ - text_.size());
    }
    void Break() { Add(u"\n"); }
    bool full() const { return text_.size() >= limit_; }
    QString text() const { return text_; }

private:
    int limit_;
    QString text_;
};

// Word documents and PowerPoint slides mark text alike: runs of <t>, tabs and breaks, a
// line break after each paragraph.
bool RunsText(const QByteArray& xml, TextOut& out) {
    QXmlStreamReader reader(xml);
    bool inText = false;
    while (!reader.atEnd() && !out.full()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (reader.name() == u"t") inText = true;
            else if (reader.name() == u"tab") out.Add(u"\t");
            else if (reader.name() == u"br" || reader.name() == u"cr") out.Break();
            break;
        case QXmlStreamReader::EndElement:
            if (reader.name() == u"t") inText = false;
            else if (reader.name() == u"p") out.Break();
            break;
        case QXmlStreamReader::Characters:
            if (inText) out.Add(reader.text());
            break;
        default:
            break;
        }
    }
    return !reader.hasError() || !out.text().isEmpty();
}

// "C7" → column 2, row 6 (from 0); false for anything else.
bool CellPosition(QStringView ref, int& column, int& row) {
    int i = 0;
    column = 0;
    while (i < ref.size() && ref[i].isLetter() && i < 4) column = column * 26 + (ref[i++].toUpper().unicode() - 'A' + 1);
    if (i == 0 || column == 0) return false;
    bool ok = false;
    row = ref.mid(i).toInt(&ok);
    column -= 1;
    row -= 1;
    return ok && row >= 0;
}

using Grid = std::vector<std::vector<QString>>;

QString GridText(const Grid& grid) {
    QString text;
    int lastRow = -1;
    for (int r = 0; r < static_cast<int>(grid.size()); ++r)
        for (const QString& cell : grid[r])
            if (!cell.isEmpty()) lastRow = r;
    for (int r = 0; r <= lastRow; ++r) {
        int lastColumn = -1;
        for (int c = 0; c < static_cast<int>(grid[r].size()); ++c)
            if (!grid[r][c].isEmpty()) lastColumn = c;
        for (int c = 0; c <= lastColumn; ++c) text += (c ? "\t" : "") + grid[r][c];
        text += "\n";
    }
    return text;
}

// The string table's entries at the indexes wanted (the text of all runs of each).
std::map<int, QString> SharedStrings(const QByteArray& xml, const std::map<int, QString>& wanted) {
    std::map<int, QString> strings;
    if (wanted.empty()) return strings;
    const int last = wanted.rbegin()->first;
    QXmlStreamReader reader(xml);
    int index = -1, depthInPhonetic = 0;
    bool inText = false;
    QString current;
    while (!reader.atEnd() && index <= last) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (reader.name() == u"si") current.clear(), ++index;
            else if (reader.name() == u"rPh") ++depthInPhonetic;
            else if (reader.name() == u"t") inText = depthInPhonetic == 0;
            break;
        case QXmlStreamReader::EndElement:
            if (reader.name() == u"si" && wanted.count(index)) strings[index] = current;
            else if (reader.name() == u"rPh") --depthInPhonetic;
            else if (reader.name() == u"t") inText = false;
            break;
        case QXmlStreamReader::Characters:
            if (inText && current.size() < kDocumentChars) current += reader.text();
            break;
        default:
            break;
        }
    }
    return strings;
}

// Excel: the top left cells of a sheet; shared strings are looked up afterwards.
Grid SheetCells(const QByteArray& xml, std::map<int, QString>& sharedWanted, std::map<std::pair<int, int>, int>& sharedAt) {
    Grid grid(kSheetRows, std::vector<QString>(kSheetColumns));
    QXmlStreamReader reader(xml);
    int row = -1, column = -1;
    QString type;
    bool inValue = false;
    QString value;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const auto attributes = reader.attributes();
            if (reader.name() == u"row") {
                bool ok = false;
                const int r = attributes.value("r").toInt(&ok);
                row = ok ? r - 1 : row + 1;
                column = -1;
                if (row >= kSheetRows) break;
            } else if (reader.name() == u"c") {
                int c = 0, r = 0;
                if (CellPosition(attributes.value("r"), c, r)) column = c, row = r;
                else ++column;
                type = attributes.value("t").toString();
                value.clear();
            } else if (reader.name() == u"v" || reader.name() == u"t") {
                inValue = true;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (reader.name() == u"v" || reader.name() == u"t") inValue = false;
            else if (reader.name() == u"c" && row >= 0 && row < kSheetRows && column >= 0 && column < kSheetColumns) {
                if (type == u"s") {
                    bool ok = false;
                    const int index = value.trimmed().toInt(&ok);
                    if (ok && index >= 0) {
                        sharedWanted[index];
                        sharedAt[{row, column}] = index;
                    }
                } else if (type == u"b") {
                    grid[row][column] = value == u"1" ? "TRUE" : "FALSE";
                } else {
                    grid[row][column] = value;
                }
            }
        } else if (token == QXmlStreamReader::Characters && inValue && value.size() < kDocumentChars) {
            value += reader.text();
        }
    }
    return grid;
}

// The first sheet's member: the workbook names its sheets in order, its relations say
// where each is stored.
QString FirstSheetMember(const Members& members) {
    QString id;
    if (auto it = members.find("xl/workbook.xml"); it != members.end()) {
        QXmlStreamReader reader(it->second);
        while (!reader.atEnd() && id.isEmpty())
            if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == u"sheet")
                for (const auto& attribute : reader.attributes())
                    if (attribute.name() == u"id") id = attribute.value().toString();
    }
    if (auto it = members.find("xl/_rels/workbook.xml.rels"); it != members.end() && !id.isEmpty()) {
        QXmlStreamReader reader(it->second);
        while (!reader.atEnd()) {
            if (reader.readNext() != QXmlStreamReader::StartElement || reader.name() != u"Relationship") continue;
            if (reader.attributes().value("Id") != id) continue;
            QString target = reader.attributes().value("Target").toString();
            if (target.startsWith('/')) return target.mid(1);
            return "xl/" + target;
        }
    }
    return "xl/worksheets/sheet1.xml";
}

// OpenDocument: content.xml's body, read by the kind of document it holds.
OfficeText OpenDocumentText(const QByteArray& xml) {
    QXmlStreamReader reader(xml);
    enum { Unknown, Text, Sheet, Slides } kind = Unknown;
    TextOut out(kDocumentChars * 4);
    Grid grid(kSheetRows, std::vector<QString>(kSheetColumns));
    int paragraphDepth = 0, tables = 0, row = -1, column = -1, rowRepeat = 1, columnRepeat = 1, slides = 0;
    QString cell;
    auto repeat = [](const QXmlStreamAttributes& attributes, const char* name) {
        const int count = attributes.value(name).toInt();
        return std::clamp(count, 1, kSheetColumns + kSheetRows);
    };
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        const QStringView name = reader.name();
        if (token == QXmlStreamReader::StartElement) {
            const auto attributes = reader.attributes();
            if (kind == Unknown) {
                if (name == u"text" && reader.prefix() == u"office") kind = Text;
                else if (name == u"spreadsheet") kind = Sheet;
                else if (name == u"presentation") kind = Slides;
                continue;
            }
            if (name == u"p" || name == u"h") ++paragraphDepth;
            else if (paragraphDepth && name == u"s") out.Add(QString(std::clamp(repeat(attributes, "text:c"), 1, 20), ' '));
            else if (paragraphDepth && name == u"tab") out.Add(u"\t");
            else if (paragraphDepth && name == u"line-break") out.Break();
            if (kind == Sheet) {
                if (name == u"table" && ++tables > 1) break;
                if (name == u"table-row") ++row, column = -1, rowRepeat = repeat(attributes, "table:number-rows-repeated");
                if (name == u"table-cell" || name == u"covered-table-cell") {
                    ++column;
                    columnRepeat = repeat(attributes, "table:number-columns-repeated");
                    cell.clear();
                }
                if (row >= kSheetRows) break;
            } else if (kind == Slides && name == u"page" && ++slides > kSlides) {
                break;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if ((name == u"p" || name == u"h") && paragraphDepth) {
                --paragraphDepth;
                if (kind == Sheet) cell += "\n";
                else out.Break();
            }
            if (kind == Sheet && (name == u"table-cell" || name == u"covered-table-cell")) {
                while (cell.endsWith('\n')) cell.chop(1);
                for (int i = 0; i < columnRepeat && row < kSheetRows; ++i) {
                    if (column >= 0 && column < kSheetColumns) grid[row][column] = cell;
                    if (i + 1 < columnRepeat) ++column;
                }
            }
            if (kind == Sheet && name == u"table-row" && rowRepeat > 1 && row >= 0 && row < kSheetRows) {
                // A repeated row is the same row again (often an empty run to the sheet's end).
                for (int i = 1; i < rowRepeat && row + 1 < kSheetRows; ++i, ++row) grid[row + 1] = grid[row];
            }
            if (kind == Slides && name == u"page") out.Break();
        } else if (token == QXmlStreamReader::Characters && paragraphDepth) {
            if (kind == Sheet) {
                if (cell.size() < kDocumentChars) cell += reader.text();
            } else {
                out.Add(reader.text());
            }
        }
        if (kind == Text && out.full()) break;
    }
    OfficeText result;
    if (kind == Unknown) {
        result.status = reader.hasError() ? OfficeTextStatus::Unreadable : OfficeTextStatus::NotOffice;
        return result;
    }
    result.status = OfficeTextStatus::Ok;
    result.text = kind == Sheet ? GridText(grid) : out.text();
    if (kind == Text) result.text.truncate(kDocumentChars);
    return result;
}

int SlideNumber(const QString& member) {
    static const QRegularExpression slide("^ppt/slides/slide(\\d+)\\.xml$");
    const auto match = slide.match(member);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

}  // namespace

OfficeText ExtractOfficeText(const QByteArray& bytes) {
    OfficeText result;
    Members members;
    QStringList names;
    const QStringList fixed = {"word/document.xml", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
                               "ppt/presentation.xml", "content.xml"};
    if (!ReadMembers(bytes, [&](const QString& name) { return fixed.contains(name); }, members, &names))
        return result;
    if (auto it = members.find("word/document.xml"); it != members.end()) {
        TextOut out(kDocumentChars);
        if (RunsText(it->second, out)) result.status = OfficeTextStatus::Ok;
        result.text = out.text();
        return result;
    }
    if (members.count("xl/workbook.xml")) {
        const QString sheet = FirstSheetMember(members);
        Members parts;
        ReadMembers(bytes, [&](const QString& name) { return name == sheet || name == "xl/sharedStrings.xml"; }, parts);
        if (!parts.count(sheet)) return result;
        std::map<int, QString> wanted;
        std::map<std::pair<int, int>, int> sharedAt;
        Grid grid = SheetCells(parts[sheet], wanted, sharedAt);
        const auto strings = SharedStrings(parts["xl/sharedStrings.xml"], wanted);
        for (const auto& [at, index] : sharedAt)
            if (auto it = strings.find(index); it != strings.end()) grid[at.first][at.second] = it->second;
        result.status = OfficeTextStatus::Ok;
        result.text = GridText(grid);
        return result;
    }
    if (members.count("ppt/presentation.xml")) {
        std::vector<std::pair<int, QString>> slides;
        for (const QString& name : names)
            if (const int number = SlideNumber(name); number > 0) slides.emplace_back(number, name);
        std::sort(slides.begin(), slides.end());
        if (slides.size() > kSlides) slides.resize(kSlides);
        const int lastSlide = slides.empty() ? 0 : slides.back().first;
        Members parts;
        ReadMembers(bytes, [&](const QString& name) {
            const int number = SlideNumber(name);
            return number > 0 && number <= lastSlide;
        }, parts);
        TextOut out(kDocumentChars * 8);
        for (const auto& [number, name] : slides) {
            if (!parts.count(name)) continue;
            RunsText(parts[name], out);
            out.Break();  // an empty line after each slide
        }
        result.status = OfficeTextStatus::Ok;
        result.text = out.text();
        return result;
    }
    if (auto it = members.find("content.xml"); it != members.end()) return OpenDocumentText(it->second);
    result.status = OfficeTextStatus::NotOffice;
    return result;
}

}  // namespace kestrune::preview
